// DirectIP MO frames over arbitrary bytes, read as `kaldo serve` reads a
// connection: the length from the first three bytes, then that many bytes
// as one frame, and a payload on to the library as a received message.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kaldo/kaldo.h"
#include "tool/serve/directip.h"

using namespace kaldo::tool;
using namespace kaldo::tool::serve;

namespace {

void check_read(const parsed<mo_message, mo_problem>& read, std::string_view frame) {
  if (!read) {
    if (read.problem == mo_problem::none || read.reason.empty()) __builtin_trap();
    if (read.reason.find('\n') != std::string::npos) __builtin_trap();
    return;
  }
  const mo_message& message = *read.value;
  const auto length = directip_frame_length(frame);
  if (!length || *length.value != frame.size()) __builtin_trap();
  if (message.imei.size() != 15) __builtin_trap();
  if (message.payload && (message.payload->empty() || message.payload->size() > directip_max_payload_bytes)) {
    __builtin_trap();
  }
  if (message.location &&
      (std::fabs(message.location->latitude) > 90 || std::fabs(message.location->longitude) > 180)) {
    __builtin_trap();
  }
  const std::optional<found_message> found = directip_found_message(message);
  if (found.has_value() != message.payload.has_value()) __builtin_trap();
  if (!found) return;
  if (found->name != message.imei + "_" + std::to_string(message.momsn) + ".sbd") __builtin_trap();
  const kaldo::saved_message saved = read_found_message(*found);
  if (!saved.ok() || saved.modem_id != message.imei || saved.bytes != *message.payload) __builtin_trap();
  kaldo::settings how;
  how.format = 1 + static_cast<int>(frame.size() % 10);
  kaldo::convert_message(saved.view(), saved.with_modem_id(how));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy, so that a read past the frame's end is caught.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  check_read(parse_directip_frame(bytes), bytes);
  // What a connection hands over: the frame its prefix announces, with
  // whatever came after it left unread.
  const auto length = directip_frame_length(bytes);
  if (length && *length.value > directip_max_frame_bytes) __builtin_trap();
  if (length && *length.value < size) {
    const std::string frame = bytes.substr(0, *length.value);
    check_read(parse_directip_frame(frame), frame);
  }
  return 0;
}
