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
  explicit ogr_fleet_output(std::unique_ptr<ogr_session> session) : session_(std::move(session)) {}

  bool appends() const override { return session_->appending(); }
  bool read_stored(std::vector<track_point>* points, std::string* error) override {
    return session_->read_stored(points, error);
  }
  bool write(const fleet& fleet, std::string* error) override {
    const layout_writer writer = layout_writer_for(session_->output().layout);
    if (writer == nullptr) {
      *error = "cannot write " + session_->shown() + ": no writer for its layout";
      return false;
    }
    gdal_messages messages(session_->verbose());
    return writer(*session_, fleet, error) && session_->finish(error);
  }

 private:
  std::unique_ptr<ogr_session> session_;
};

}  // namespace

output_kind ogr_output_kind() {
  return {.name = "GDAL layers",
          .claims = {},  // it takes every destination no other kind claims
          .open = [](const std::string& destination, const output_options& options,
                     std::string* error) -> std::unique_ptr<fleet_output> {
            const auto output = ogr_output_for(destination, options.driver, error);
            if (!output) return nullptr;
            auto session = ogr_session::open(destination, *output, options.verbose, error);
            if (session == nullptr) return nullptr;
            session->set_inputs(options.inputs);
            return std::make_unique<ogr_fleet_output>(std::move(session));
          }};
}

}  // namespace kaldo::tool
