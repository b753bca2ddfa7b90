#include "tool/outputs/ogr_fleet_output.h"

#include <utility>

#include "tool/outputs/ogr_layout_writer.h"
#include "tool/outputs/ogr_outputs.h"
#include "tool/outputs/ogr_session.h"

namespace kaldo::tool {
namespace {

// The writer of each layout: a new layout is a row here and a file of its
// own beside the others.
layout_writer layout_writer_for(layer_layout layout) {
  static constexpr std::pair<layer_layout, layout_writer> writers[] = {
      {layer_layout::both_layers, write_both_layers},
      {layer_layout::layer_per_file, write_layer_per_file},
      {layer_layout::gpx_tracks, write_gpx_tracks},
      {layer_layout::kml_folders, write_kml_folders},
  };
  for (const auto& [known, writer] : writers) {
    if (known == layout) return writer;
  }
  return nullptr;
}

class ogr_fleet_output final : public fleet_output {
 public:
  ogr_fleet_output(std::unique_ptr<ogr_session> session, bool driver_named)
      : session_(std::move(session)), driver_named_(driver_named) {}

  bool appends() const override { return session_->appending(); }
  bool read_stored(std::vector<track_point>* points, std::string* error) override {
    return session_->read_stored(points, error);
  }
  bool write(const fleet& fleet, std::string* error) override {
    const ogr_output& chosen = session_->output();
    if (!driver_named_ && chosen.most_points != 0 && fleet.points.size() > chosen.most_points &&
        !session_->appending()) {
      const auto larger = ogr_output_for(session_->path(), chosen.larger_driver, error);
      if (!larger) return false;
      note_ = session_->shown() + ": " + std::to_string(fleet.points.size()) + " points, more than the " +
              std::to_string(chosen.most_points) + " given to GDAL's " + chosen.driver +
              " driver (it holds the whole file in memory): written with GDAL's " + larger->driver +
              " driver instead";
      session_->use_output(*larger);
    }
    const layout_writer writer = layout_writer_for(session_->output().layout);
    if (writer == nullptr) {
      *error = "cannot write " + session_->shown() + ": no writer for its layout";
      return false;
    }
    gdal_messages messages(session_->verbose());
    return writer(*session_, fleet, error) && session_->finish(error);
  }

  std::string note() const override { return note_; }

 private:
  std::unique_ptr<ogr_session> session_;
  bool driver_named_;
  std::string note_;
};

}  // namespace

std::unique_ptr<fleet_output> open_ogr_fleet_output(const std::string& destination, const ogr_output& output,
                                                    const output_options& options, std::string* error) {
  auto session = ogr_session::open(destination, output, options.verbose, error);
  if (session == nullptr) return nullptr;
  session->set_inputs(options.inputs);
  return std::make_unique<ogr_fleet_output>(std::move(session), !options.driver.empty());
}

output_kind ogr_output_kind() {
  return {.name = "GDAL layers",
          .claims = {},  // it takes every destination no other kind claims
          .open = [](const std::string& destination, const output_options& options,
                     std::string* error) -> std::unique_ptr<fleet_output> {
            const auto output = ogr_output_for(destination, options.driver, error);
            if (!output) return nullptr;
            return open_ogr_fleet_output(destination, *output, options, error);
          }};
}

}  // namespace kaldo::tool
