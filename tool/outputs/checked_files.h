// Files GDAL writes with every write checked.
//
// GDAL's text drivers (GPX, KML, GeoJSON among them) write through VSI
// file handles and drop what a short write, a failed flush or a failed
// close returns: on a full disk they leave a cut file and report success.
// A file opened under checked_path() goes through a VSI handler of ours
// that passes every call on to GDAL's own handler for plain files and
// keeps the first failure of each file it wrote, with errno's text, for
// the session to ask about once the dataset is closed.
#pragma once

#include <optional>
#include <string>

namespace kaldo::tool {

// `path` (a plain file path) as GDAL is to be given it so that its writes
// are checked. Installs the handler on first use.
std::string checked_path(const std::string& path);

struct write_failure {
  std::string path;    // the plain path of the file
  std::string reason;  // errno's text: "No space left on device"
};

// The first failed write, flush, truncation or close of a file under
// `folder` (a plain path) since the failures there were last forgotten.
std::optional<write_failure> write_failure_under(const std::string& folder);

// Forgets the failures of the files under `folder`.
void forget_write_failures_under(const std::string& folder);

}  // namespace kaldo::tool
