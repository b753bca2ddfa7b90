#include "tool/tracks_command.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <variant>

#include "tool/display_text.h"
#include "tool/fleet_builder.h"
#include "kaldo/kaldo.h"
#include "tool/message_outcome.h"
#include "tool/message_setup.h"
#include "tool/ordered_pipeline.h"
#include "tool/progress.h"
#include "tool/report.h"
#include "tool/sources/source.h"
#include "tool/summary.h"
#include "tool/tracks_summary.h"

namespace kaldo::tool {

namespace {

// One decoded message on its way to the fleet, in input order.
struct decoded_input {
  message_outcome outcome;
  kaldo::decoded_message decoded;
};

using tracks_job = std::variant<found_message, skipped_input>;
using tracks_result = std::variant<decoded_input, skipped_input>;

// Numbered later, in input order, as the results are delivered.
decoded_input decode_one(const found_message& found, const kaldo::settings& how) {
  decoded_input result;
  message_outcome& outcome = result.outcome;
  outcome.source = found.source;
  outcome.index = found.index;
  outcome.part = found.part;
  const prepared_message prepared(found, how);
  outcome.modem_id = prepared.settings().modem_id;
  if (prepared.refusal()) {
    outcome.status = message_status::failed;
    outcome.error = error_line(*prepared.refusal());
    return result;
  }
  result.decoded = kaldo::decode_message(prepared.message(), prepared.settings());
  outcome.status = status_of(result.decoded.result);
  if (outcome.status == message_status::failed) outcome.error = error_line(result.decoded.error);
  if (result.decoded.result == kaldo::outcome::converted) {
    // The id the points carry: a message may bring its own in its tail.
    outcome.modem_id =
        result.decoded.modem_id == "No ModemID" ? std::string() : result.decoded.modem_id;
  }
  return result;
}

// Queues every message and skipped input as the walk finds them.
class queueing_sink final : public message_sink {
 public:
  queueing_sink(ordered_pipeline<tracks_job, tracks_result>& pipeline,
                std::atomic<std::uint64_t>& bytes_read)
      : pipeline_(pipeline), bytes_read_(bytes_read) {}

  void found(found_message message) override {
    const std::size_t weight = message.bytes.size() + 256;
    pipeline_.push(std::move(message), weight);
  }
  void skipped(skipped_input input) override { pipeline_.push(std::move(input), 256); }
  void advanced(std::uint64_t bytes) override { bytes_read_ += bytes; }

 private:
  ordered_pipeline<tracks_job, tracks_result>& pipeline_;
  std::atomic<std::uint64_t>& bytes_read_;
};

// The sinks' texts name the destination themselves (a connection
// string without its password).
int refuse(const std::string& error) {
  std::fprintf(stderr, "kaldo tracks: %s\n", error.c_str());
  return 2;
}

int refuse_report(const std::string& path, const std::string& error) {
  return refuse("cannot write the report " + path_to_utf8(path) + ": " + error);
}

}  // namespace

int run_tracks(const tracks_options& options) {
  std::string error;
  // The destination is opened first: a wrong one costs no input's reading.
  auto sink = open_fleet_output(options.destination, options.output, &error);
  if (!sink) return refuse(error);
  std::vector<track_point> stored;
  if (!sink->read_stored(&stored, &error)) {
    return refuse(error);
  }
  fleet_builder builder(options.valid_only);
  for (track_point& point : stored) builder.add_stored(std::move(point));
  stored = {};

  std::unique_ptr<run_report> report;
  if (!options.report_path.empty()) {
    report = run_report::create(options.report_path, &error);
    if (!report) return refuse_report(options.report_path, error);
  }

  kaldo::settings how;
  how.century = options.century;
  const unsigned jobs =
      options.jobs > 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());

  run_summary summary;
  progress_line progress(stderr, !options.quiet);
  std::atomic<std::uint64_t> bytes_read{0};
  // The inputs' size bounds their reports (28 bytes each at least): room
  // for the points is made once rather than grown a million times. The walk
  // reads no file.
  const std::uint64_t input_bytes = total_input_bytes(options.inputs);
  progress.set_total_bytes(input_bytes);
  builder.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(input_bytes / 28, 4'000'000)));
  {
    std::uint64_t numbered = 0;
    ordered_pipeline<tracks_job, tracks_result> pipeline(
        jobs,
        [&](tracks_job& job) -> tracks_result {
          if (auto* skipped = std::get_if<skipped_input>(&job)) return std::move(*skipped);
          return decode_one(std::get<found_message>(job), how);
        },
        [&](tracks_result& result) {
          if (auto* input = std::get_if<decoded_input>(&result)) {
            input->outcome.number = ++numbered;
            summary.add(input->outcome);
            if (report) report->add(input->outcome);
            builder.add(input->decoded,
                        {input->outcome.source, input->outcome.part.value_or(std::string())});
          } else {
            const auto& skipped = std::get<skipped_input>(result);
            summary.add(skipped);
            if (report) report->add(skipped);
          }
          progress.update(summary.totals().messages, bytes_read.load());
        });
    queueing_sink walker(pipeline, bytes_read);
    walk_inputs(options.inputs, walker);
    pipeline.finish();
  }
  progress.finish();

  const fleet built = builder.finish();
  int status = summary.exit_status();
  if (!sink->write(built, &error)) status = refuse(error);
  if (report && !report->finish(summary, &error)) status = refuse_report(options.report_path, error);
  if (!options.quiet) {
    std::fputs(summary.text().c_str(), stderr);
    const tracks_outcome outcome{options.destination, sink->appends(), options.valid_only};
    std::fputs(tracks_summary_text(builder.counts(), built, outcome).c_str(), stderr);
  }
  return status;
}

std::function<int()> setup_tracks_command(CLI::App& command) {
  auto options = std::make_shared<tracks_options>();
  command.add_option("--century", options->century,
                     "Two digits put before two-digit years (default 20)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            const bool digits = text.size() == 2 &&
                                std::isdigit(static_cast<unsigned char>(text[0])) &&
                                std::isdigit(static_cast<unsigned char>(text[1]));
            return digits ? std::string() : "the century is two digits, such as 19 or 20";
          },
          "MC"));
  command.add_option("--jobs,-j", options->jobs,
                     "Messages decoded at once (default: one per core)")
      ->check(CLI::Range(1u, 1024u));
  command.add_flag("--valid-only", options->valid_only,
                   "Keep only reports with a 2d, 3d or valid fix");
  command.add_option("--report", options->report_path, "Write a JSON report of every message here");
  command.add_flag("--quiet,-q", options->quiet, "No progress line and no summary");
  command.add_option("--driver", options->output.driver,
                     "A GDAL vector driver by name, for a destination the ending does not tell");
  command.add_option("--tiles", options->output.tiles_url,
                     "Map page (.html): the tile server, {z}/{x}/{y} style");
  command.add_flag("--with-source", options->output.with_source,
                   "Map page (.html): show each point's input path and attachment");
  command.add_option("-o,--output", options->destination,
                     "Where the layers go: .gpkg (default), .gpx, .kml, .geojson, .json, .csv, "
                     ".fgb, .shp, PG:..., .html")
      ->required();
  command.add_option("inputs", options->inputs,
                     ".sbd and .eml files, folders, mbox files and Maildir folders")
      ->required();
  return [options] { return run_tracks(*options); };
}

}  // namespace kaldo::tool
