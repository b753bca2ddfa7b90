#include "tool/run.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

#include "tool/display_text.h"
#include "tool/interrupt.h"
#include "tool/ordered_pipeline.h"
#include "tool/output_names.h"
#include "tool/progress.h"
#include "tool/report.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

namespace {

// A message travels through the pipeline by pointer: the item is large,
// and is moved at every step.
using run_job = std::variant<std::unique_ptr<run_item>, skipped_input>;

// Reads the message as the single-file program reads its saved file and
// asks the library for what the command needs.
void work_on(run_item& item, const kaldo::settings& how, run_work& work) {
  message_outcome& outcome = item.outcome;
  outcome.number = item.number;
  const kaldo::saved_message saved = read_found_message(item.message);
  // The outcome takes the origin over: one copy per message fewer.
  outcome.origin = std::move(item.message.origin);
  outcome.modem_id = saved.modem_id;
  if (outcome.status == message_status::duplicate) {
    work.worked(item);
    return;
  }
  if (saved.refusal) {
    outcome.status = message_status::failed;
    outcome.error = error_line(*saved.refusal);
    item.printed = kaldo::printed(*saved.refusal);
  } else if (work.call() == library_call::convert_text) {
    const kaldo::conversion conversion = kaldo::convert_message(saved.view(), saved.with_modem_id(how));
    outcome.status = status_of(conversion.result);
    if (outcome.status == message_status::failed) outcome.error = error_line(conversion.text);
    // The id the output names: a message may carry its own in its tail.
    if (conversion.converted()) outcome.modem_id = conversion.known_modem_id.value_or("");
    item.printed = conversion.printed();
  } else {
    item.decoded = kaldo::decode_message(saved.view(), saved.with_modem_id(how));
    outcome.status = status_of(item.decoded.result);
    if (outcome.status == message_status::failed) outcome.error = error_line(item.decoded.error);
    // The id the points carry: a message may bring its own in its tail.
    if (item.decoded.result == kaldo::outcome::converted) {
      outcome.modem_id = item.decoded.known_modem_id.value_or("");
    }
  }
  work.worked(item);
}

// Numbers each message as it is found and queues it. Sources that hand
// messages on from several threads take turns here, so numbers follow the
// order in which messages are queued.
class queueing_sink final : public message_sink {
 public:
  queueing_sink(ordered_pipeline<run_job, run_job>& pipeline, run_work& work,
                std::atomic<std::uint64_t>& bytes_read, progress_line& progress, const std::atomic<bool>& stop)
      : pipeline_(pipeline), work_(work), bytes_read_(bytes_read), progress_(progress), stop_(stop) {}

  bool stopping() const override { return stop_ || ending_ || interrupt_signal() != 0; }

  void found(found_message message) override {
    // What a source still hands on after the run stopped is not read.
    if (stopping()) return;
    std::lock_guard lock(mutex_);
    auto item = std::make_unique<run_item>();
    item->number = ++messages_;
    item->message = std::move(message);
    output_namer::decision naming = namer_.name(item->message, item->number);
    if (naming.duplicate_of) {
      item->outcome.status = message_status::duplicate;
      item->outcome.duplicate_of = naming.duplicate_of;
    }
    item->file_name = std::move(naming.file_name);
    work_.found(*item);
    const std::size_t weight = item->message.bytes.size() + 256;
    pipeline_.push(std::move(item), weight);
  }
  void skipped(skipped_input input) override {
    if (stopping()) return;
    // Nothing after an input that ends the run is read, even before the
    // run loop learns of it.
    if (input.ends_run) ending_ = true;
    std::lock_guard lock(mutex_);
    pipeline_.push(std::move(input), 256);
  }
  void advanced(std::uint64_t bytes) override { bytes_read_ += bytes; }
  void sized(std::uint64_t bytes) override { progress_.add_total_bytes(bytes); }

 private:
  std::mutex mutex_;
  ordered_pipeline<run_job, run_job>& pipeline_;
  run_work& work_;
  std::atomic<std::uint64_t>& bytes_read_;
  progress_line& progress_;
  const std::atomic<bool>& stop_;
  std::atomic<bool> ending_{false};
  output_namer namer_;
  std::uint64_t messages_ = 0;
};

}  // namespace

// A century: exactly two decimal digits.
static const CLI::Validator& century_digits() {
  static const CLI::Validator validator(
      [](std::string& text) -> std::string {
        const bool digits = text.size() == 2 && std::isdigit(static_cast<unsigned char>(text[0])) &&
                            std::isdigit(static_cast<unsigned char>(text[1]));
        return digits ? std::string() : "the century is two digits, such as 19 or 20";
      },
      "MC");
  return validator;
}

void add_century_option(CLI::App& command, std::string& century) {
  command.add_option("--century", century, "Two digits put before two-digit years (default 20)")
      ->check(century_digits());
}

void add_run_options(CLI::App& command, run_options& options, const char* jobs_help) {
  add_century_option(command, options.century);
  command.add_option("--jobs,-j", options.jobs, jobs_help)->check(CLI::Range(1u, 1024u));
  command.add_option("--report", options.report_path, "Write a JSON report of every message here");
  command.add_flag("--quiet,-q", options.quiet, "No progress line and no summary");
  command.add_option("--imap-password-file", options.mailbox.password_file,
                     "The password of IMAP folders, on the file's first line (else from the "
                     "environment's KALDO_IMAP_PASSWORD)");
  command.add_option("--imap-ca-file", options.mailbox.ca_file,
                     "Trust the certificates of this PEM file for imaps:// and STARTTLS instead of "
                     "the system's store");
  command.add_option_function<unsigned>(
             "--imap-timeout", [&options](unsigned seconds) { options.mailbox.timeout = std::chrono::seconds(seconds); },
             "Give up on a mail server that does not answer within this many seconds "
                     "(default 30)")
      ->check(CLI::Range(1u, 3600u));
}

void add_run_inputs(CLI::App& command, run_options& options) {
  command.add_option("inputs", options.inputs,
                     ".sbd and .eml files, folders, mbox files, Maildir folders, archives (.zip, .tar, "
                     ".tar.gz, ...), compressed files (.gz, .bz2, .xz) and IMAP folders "
                     "(imap://USER@HOST[:PORT]/FOLDER, imaps://...)")
      ->required();
}

int run_messages(const run_options& options, const run_setup& setup, run_work& work) {
  const source_settings settings{setup.pass_over, options.mailbox};
  std::string error = input_refusal(options.inputs, settings);
  if (!error.empty()) {
    std::fprintf(stderr, "%s: %s\n", setup.command, error.c_str());
    return 2;
  }
  std::unique_ptr<run_report> report;
  const auto report_failed = [&] {
    std::fprintf(stderr, "%s: cannot write the report %s: %s\n", setup.command,
                 path_to_utf8(options.report_path).c_str(), error.c_str());
    return 2;
  };
  if (!options.report_path.empty()) {
    report = run_report::create(options.report_path, &error);
    if (!report) return report_failed();
  }
  const unsigned jobs = options.jobs > 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());

  std::atomic<bool> stop{false};
  std::string stopped;  // why, once the work asked to stop; UTF-8
  run_summary summary;
  progress_line progress(stderr, !options.quiet);
  std::atomic<std::uint64_t> bytes_read{0};
  std::thread sizing;
  if (setup.size_first) {
    // The walk reads no file.
    const std::uint64_t input_bytes = total_input_bytes(options.inputs);
    progress.set_total_bytes(input_bytes);
    work.sized(input_bytes);
  } else if (progress.shown()) {
    sizing = std::thread([&] { progress.set_total_bytes(total_input_bytes(options.inputs)); });
  }
  {
    ordered_pipeline<run_job, run_job> pipeline(
        jobs,
        [&](run_job& job) -> run_job {
          if (auto* item = std::get_if<std::unique_ptr<run_item>>(&job)) work_on(**item, setup.how, work);
          return std::move(job);
        },
        [&](run_job& job) {
          if (auto* held = std::get_if<std::unique_ptr<run_item>>(&job)) {
            run_item* item = held->get();
            if (item->stop_run && !stop) {
              stopped = latin1_to_utf8(item->outcome.error);
              stop = true;
            }
            summary.add(item->outcome);
            if (report) report->add(item->outcome);
            work.delivered(*item);
            if (item->message.done) item->message.done(item->outcome);
          } else {
            const auto& skipped = std::get<skipped_input>(job);
            if (skipped.ends_run && !stop) {
              stopped = path_to_utf8(skipped.path) + ": " + skipped.reason;
              stop = true;
            }
            summary.add(skipped);
            if (report) report->add(skipped);
          }
          progress.update(summary.totals().messages, summary.totals().failed, bytes_read.load());
        });
    queueing_sink sink(pipeline, work, bytes_read, progress, stop);
    walk_inputs(options.inputs, sink, settings);
    pipeline.finish();
  }
  if (sizing.joinable()) sizing.join();
  progress.finish();

  const int signal = interrupt_signal();
  const bool whole = signal == 0 && !stop;
  if (summary.totals().messages == 0 && whole) {
    std::fprintf(stderr, "%s: no input held a tracker message\n", setup.command);
  }
  int status = summary.exit_status();
  if (const int finished = work.finish(summary, whole)) status = finished;
  if (!stopped.empty()) {
    std::fprintf(stderr, "%s: stopped: %s\n", setup.command, stopped.c_str());
    status = 2;
  }
  // A signal during the work's finish counts as well: it left the
  // destination as it was.
  const int interrupted_by = interrupt_signal();
  if (interrupted_by != 0) status = 128 + interrupted_by;
  if (report) {
    run_report::ending end{interrupted_by != 0, stopped, status};
    if (!report->finish(summary, end, &error)) status = report_failed();
  }
  if (!options.quiet) {
    std::fputs(summary.text().c_str(), stderr);
    std::fputs(work.summary_text().c_str(), stderr);
  }
  if (interrupted_by != 0) std::fprintf(stderr, "%s: interrupted\n", setup.command);
  return status;
}

}  // namespace kaldo::tool
