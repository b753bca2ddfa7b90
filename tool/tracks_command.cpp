#include "tool/tracks_command.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "kaldo/kaldo.h"
#include "tool/fleet_builder.h"
#include "tool/interrupt.h"
#include "tool/run.h"
#include "tool/tracks_summary.h"

namespace kaldo::tool {

namespace {

// The outputs' texts name the destination themselves (a connection
// string without its password).
int refuse(const std::string& error) {
  std::fprintf(stderr, "kaldo tracks: %s\n", error.c_str());
  return 2;
}

// The distinct points of every message, in input order, written to the
// destination once all are read. A message's outcome is final only then.
class fleet_work final : public run_work {
 public:
  fleet_work(fleet_output& output, fleet_builder& builder, const tracks_options& options)
      : output_(output), builder_(builder), options_(options) {}

  library_call call() const override { return library_call::decode_values; }

  void sized(std::uint64_t input_bytes) override {
    // The inputs' size bounds their reports (28 bytes each at least): room
    // for the points is made once rather than grown a million times.
    builder_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(input_bytes / 28, 4'000'000)));
  }

  void delivered(run_item& item) override {
    const message_origin& origin = item.outcome.origin;
    builder_.add(item.decoded, {origin.path, origin.part.value_or(std::string())});
    if (item.message.done) waiting_.emplace_back(std::move(item.message.done), item.outcome);
  }

  int finish(const run_summary& summary, bool whole) override {
    built_ = builder_.finish();
    // Nothing read is nothing to write: the destination stays as it was
    // rather than becoming an empty one. A run that stopped early leaves
    // it as it was too, rather than as if the inputs had ended there.
    std::string error;
    // Only a write that failed on its own is this command's to tell; the
    // run loop tells of an interrupt or a run that found nothing.
    bool write_failed = false;
    if (!whole) {
      error = "the run stopped before every input was read";
    } else if (summary.totals().messages == 0) {
      error = "no input held a tracker message";
    } else {
      written_ = output_.write(built_, &error);
      write_failed = !written_ && interrupt_signal() == 0;
    }
    for (auto& [done, outcome] : waiting_) {
      if (!written_) {
        outcome.status = message_status::failed;
        outcome.error = error;
        outcome.output_not_written = true;
      }
      done(outcome);
    }
    waiting_.clear();
    return write_failed ? refuse(error) : 0;
  }

  std::string summary_text() const override {
    const tracks_outcome outcome{options_.destination, output_.appends(), options_.valid_only,
                                 written_};
    std::string text = tracks_summary_text(builder_.counts(), built_, outcome);
    if (written_ && !output_.note().empty()) text += output_.note() + "\n";
    return text;
  }

 private:
  fleet_output& output_;
  fleet_builder& builder_;
  const tracks_options& options_;
  fleet built_;
  bool written_ = false;
  std::vector<std::pair<message_done, message_outcome>> waiting_;
};

}  // namespace

int run_tracks(const tracks_options& options) {
  std::string error;
  // The destination is opened first: a wrong one costs no input's reading.
  output_options with_inputs = options.output;
  with_inputs.inputs = options.run.inputs;
  auto output = open_fleet_output(options.destination, with_inputs, &error);
  if (!output) return refuse(error);
  std::vector<track_point> stored;
  if (!output->read_stored(&stored, &error)) return refuse(error);
  fleet_builder builder(options.valid_only);
  for (track_point& point : stored) builder.add_stored(std::move(point));
  stored = {};

  run_setup setup;
  setup.command = "kaldo tracks";
  setup.how.century = options.run.century;
  setup.size_first = true;
  fleet_work work(*output, builder, options);
  return run_messages(options.run, setup, work);
}

std::function<int()> setup_tracks_command(CLI::App& command) {
  auto options = std::make_shared<tracks_options>();
  add_run_options(command, options->run, "Messages decoded at once (default: one per core)");
  command.add_flag("--valid-only", options->valid_only,
                   "Keep only reports with a 2d, 3d or valid fix");
  command.add_option("--driver", options->output.driver,
                     "A GDAL vector driver by name: for a destination the ending does not tell, or instead of the one the "
                     "ending picks (KML: a .kml with typed fields and no time stamps)");
  command.add_flag("--verbose", options->output.verbose,
                   "Show GDAL's own messages in full on stderr (debug ones too with CPL_DEBUG=ON); "
                   "by default a failure says the first line of GDAL's last one");
  command.add_option("--tiles", options->output.tiles_url,
                     "Map page (.html): the tile server, {z}/{x}/{y} style");
  command.add_flag("--with-source", options->output.with_source,
                   "Map page (.html): show each point's input path and attachment");
  command.add_option("-o,--output", options->destination,
                     "Where the layers go: .gpkg (default), .gpx, .kml, .geojson, .json, .csv, "
                     ".fgb, .shp, PG:..., .html")
      ->required();
  add_run_inputs(command, options->run);
  return [options] { return run_tracks(*options); };
}

}  // namespace kaldo::tool
