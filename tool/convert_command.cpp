#include "tool/convert_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <variant>

#include "tool/display_text.h"
#include "kaldo/kaldo.h"
#include "tool/message_outcome.h"
#include "tool/message_setup.h"
#include "tool/ordered_pipeline.h"
#include "tool/output_names.h"
#include "tool/paths.h"
#include "tool/progress.h"
#include "tool/report.h"
#include "tool/sources/source.h"
#include "tool/summary.h"

namespace kaldo::tool {

namespace {

struct convert_job {
  std::uint64_t number = 0;  // of a message, from 1
  std::variant<found_message, skipped_input> input;
  output_namer::decision naming;
};

using convert_result = std::variant<message_outcome, skipped_input>;

bool write_output(const std::string& path, const std::string& text, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t put = ::write(fd, text.data() + written, text.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    written += static_cast<std::size_t>(put);
  }
  if (::close(fd) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

// Where each format prints the modem id in its header, by format index:
// between the marker and the end of its line or element.
struct id_place {
  std::string_view before;
  std::string_view after;
};
constexpr id_place id_places[10] = {
    {"<ID>", "</ID>"}, {"ModemID=", "\r\n"}, {"", "\r\n"}, {"ModemID=", "\r\n"}, {"", "\r\n"},
    {"<ID>", "</ID>"}, {"ModemID=", "\r\n"}, {"", "\r\n"}, {"ModemID=", "\r\n"}, {"", "\r\n"},
};

std::optional<std::string> modem_id_printed(int format, std::string_view text) {
  if (format < 1 || format > 10) return std::nullopt;
  const id_place& place = id_places[format - 1];
  const std::size_t start = text.find(place.before);
  if (start == std::string_view::npos) return std::nullopt;
  const std::size_t begin = start + place.before.size();
  const std::size_t end = text.find(place.after, begin);
  if (end == std::string_view::npos) return std::nullopt;
  std::string id(text.substr(begin, end - begin));
  if (id == "No ModemID") return std::string();
  return id;
}

message_outcome convert_one(const found_message& found, const output_namer::decision& naming,
                            std::uint64_t number, const kaldo::settings& how,
                            const std::string& output_folder) {
  message_outcome outcome;
  outcome.number = number;
  outcome.source = found.source;
  outcome.index = found.index;
  outcome.part = found.part;
  const prepared_message prepared(found, how);
  outcome.modem_id = prepared.settings().modem_id;
  if (naming.duplicate_of) {
    outcome.status = message_status::duplicate;
    outcome.duplicate_of = naming.duplicate_of;
    return outcome;
  }
  std::string printed;
  if (prepared.refusal()) {
    printed = *prepared.refusal();
    outcome.status = message_status::failed;
    outcome.error = error_line(printed);
  } else {
    const kaldo::message msg = prepared.message();
    kaldo::conversion conversion = kaldo::convert_message(msg, prepared.settings());
    outcome.status = status_of(conversion.result);
    if (outcome.status == message_status::failed) outcome.error = error_line(conversion.text);
    printed = conversion.printed();
    if (conversion.converted()) {
      // The id the output names: a message may carry its own in its tail.
      if (auto printed_id = modem_id_printed(how.format, conversion.text)) {
        outcome.modem_id = std::move(*printed_id);
      }
    }
  }
  const std::string path = join_path(output_folder, naming.file_name);
  std::string error;
  if (!write_output(path, printed, &error)) {
    outcome.status = message_status::failed;
    outcome.error = "cannot write the output file: " + error;
    outcome.output_not_written = true;
    return outcome;
  }
  outcome.output = path;
  return outcome;
}

// Names each message as it is found, in input order, and queues it.
class naming_sink final : public message_sink {
 public:
  naming_sink(ordered_pipeline<convert_job, convert_result>& pipeline, std::atomic<std::uint64_t>& bytes_read)
      : pipeline_(pipeline), bytes_read_(bytes_read) {}

  void found(found_message message) override {
    convert_job job;
    job.number = ++messages_;
    job.naming = namer_.name(message, job.number);
    const std::size_t weight = message.bytes.size() + 256;
    job.input = std::move(message);
    pipeline_.push(std::move(job), weight);
  }
  void skipped(skipped_input input) override {
    convert_job job;
    job.input = std::move(input);
    pipeline_.push(std::move(job), 256);
  }
  void advanced(std::uint64_t bytes) override { bytes_read_ += bytes; }

 private:
  ordered_pipeline<convert_job, convert_result>& pipeline_;
  std::atomic<std::uint64_t>& bytes_read_;
  output_namer namer_;
  std::uint64_t messages_ = 0;
};

bool output_folder_ready(const std::string& folder, std::string* error) {
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code) {
    *error = code.message();
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

int run_convert(const convert_options& options) {
  std::string error;
  if (!output_folder_ready(options.output_folder, &error)) {
    std::fprintf(stderr, "kaldo convert: cannot write to the output folder %s: %s\n",
                 path_to_utf8(options.output_folder).c_str(), error.c_str());
    return 2;
  }
  std::unique_ptr<run_report> report;
  if (!options.report_path.empty()) {
    report = run_report::create(options.report_path, &error);
    if (!report) {
      std::fprintf(stderr, "kaldo convert: cannot write the report %s: %s\n",
                   path_to_utf8(options.report_path).c_str(), error.c_str());
      return 2;
    }
  }

  kaldo::settings how;
  how.format = options.format;
  how.century = options.century;
  const unsigned jobs = options.jobs > 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());

  run_summary summary;
  progress_line progress(stderr, !options.quiet);
  std::atomic<std::uint64_t> bytes_read{0};
  std::thread sizing;
  if (progress.shown()) {
    sizing = std::thread([&] { progress.set_total_bytes(total_input_bytes(options.inputs)); });
  }
  {
    ordered_pipeline<convert_job, convert_result> pipeline(
        jobs,
        [&](convert_job& job) -> convert_result {
          if (auto* skipped = std::get_if<skipped_input>(&job.input)) return std::move(*skipped);
          return convert_one(std::get<found_message>(job.input), job.naming, job.number, how,
                             options.output_folder);
        },
        [&](convert_result& result) {
          if (auto* outcome = std::get_if<message_outcome>(&result)) {
            summary.add(*outcome);
            if (report) report->add(*outcome);
          } else {
            const auto& skipped = std::get<skipped_input>(result);
            summary.add(skipped);
            if (report) report->add(skipped);
          }
          progress.update(summary.totals().messages, bytes_read.load());
        });
    naming_sink sink(pipeline, bytes_read);
    // A rerun into a folder among the inputs must not read its own outputs.
    walk_inputs(options.inputs, sink, {options.output_folder});
    pipeline.finish();
  }
  if (sizing.joinable()) sizing.join();
  progress.finish();

  int status = summary.exit_status();
  if (report && !report->finish(summary, &error)) {
    std::fprintf(stderr, "kaldo convert: cannot write the report %s: %s\n",
                 path_to_utf8(options.report_path).c_str(), error.c_str());
    status = 2;
  }
  if (!options.quiet) std::fputs(summary.text().c_str(), stderr);
  return status;
}

std::function<int()> setup_convert_command(CLI::App& command) {
  auto options = std::make_shared<convert_options>();
  command.add_option("--format", options->format, "Output format, 1 to 10 (as Kaldo_Command_Line)")
      ->required()
      ->check(CLI::Range(1, 10));
  command.add_option("--century", options->century, "Two digits put before two-digit years (default 20)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            const bool digits = text.size() == 2 && std::isdigit(static_cast<unsigned char>(text[0])) &&
                                std::isdigit(static_cast<unsigned char>(text[1]));
            return digits ? std::string() : "the century is two digits, such as 19 or 20";
          },
          "MC"));
  command.add_option("--jobs,-j", options->jobs, "Messages converted at once (default: one per core)")
      ->check(CLI::Range(1u, 1024u));
  command.add_option("--report", options->report_path, "Write a JSON report of every message here");
  command.add_flag("--quiet,-q", options->quiet, "No progress line and no summary");
  command.add_option("-o,--output", options->output_folder, "Folder for the output files")->required();
  command.add_option("inputs", options->inputs,
                     ".sbd and .eml files, folders, mbox files and Maildir folders")
      ->required();
  return [options] { return run_convert(*options); };
}

}  // namespace kaldo::tool
