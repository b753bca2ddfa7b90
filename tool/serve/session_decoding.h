// A received message decoded as the store keeps it, before its transaction
// begins: what became of it and the points of its reports. The payload is
// read and decoded exactly as the single-file program reads and decodes
// the same bytes saved as "<imei>_<momsn>.sbd", and its reports become
// points exactly as `kaldo tracks` makes them by default (valid fix or
// not), so that the store and an archive run agree point for point.
#pragma once

#include <string>
#include <vector>

#include "tool/fleet.h"
#include "tool/serve/store.h"

namespace kaldo::tool::serve {

struct decoded_session {
  stored_status status = stored_status::failed;
  std::string error;               // failed: why, one line of valid UTF-8
  std::vector<track_point> points;  // distinct within the message, in report order
};

// `century` is that of the reports' two-digit years (20: 2000-2099).
decoded_session decode_session(const received_message& message, int century);

// The text the store keeps of network or message bytes: valid UTF-8 as it
// is, anything else byte by byte as Latin-1; cut at a NUL byte, since GDAL
// takes text as C strings and would cut it there anyway.
std::string stored_text(std::string_view bytes);

}  // namespace kaldo::tool::serve
