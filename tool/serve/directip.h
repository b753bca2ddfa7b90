// The gateway's DirectIP Mobile-Originated messages, as `kaldo serve`
// receives them over TCP: one frame a connection, answered with a
// confirmation. Pure functions over bytes; the socket side lives elsewhere.
//
// A frame: protocol revision (1 byte, always 1), the length of the rest
// (2 bytes), then Information Elements, each an id (1 byte), a length
// (2 bytes) and that many bytes. Every integer is big-endian.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tool/found_message.h"
#include "tool/message_origin.h"
#include "tool/serve/parsed.h"

namespace kaldo::tool::serve {

// What the socket side reads before it knows a frame's length, and the
// most a frame can be whatever its prefix says.
inline constexpr std::size_t directip_prefix_bytes = 3;
inline constexpr std::size_t directip_max_frame_bytes = directip_prefix_bytes + 0xFFFF;
inline constexpr std::size_t directip_max_payload_bytes = 1960;

// The whole frame sent back once the message is safe (or could not be
// taken): revision 1, length 4, a confirmation element of one byte.
inline constexpr std::string_view directip_confirm_success{"\x01\x00\x04\x05\x00\x01\x01", 7};
inline constexpr std::string_view directip_confirm_failure{"\x01\x00\x04\x05\x00\x01\x00", 7};

enum class mo_problem {
  none,
  short_prefix,        // fewer than 3 bytes: not even a revision and length
  other_revision,      // a protocol revision other than 1
  length_mismatch,     // more or fewer bytes than the frame's length says
  element_overrun,     // an element runs past the end of the message
  no_header,
  two_headers,
  header_size,         // a header of other than 28 bytes
  imei_not_digits,     // an IMEI of other than 15 ASCII digits
  two_payloads,
  payload_size,        // an empty payload, or one over 1960 bytes
  two_locations,
  location_size,       // a location of other than 11 bytes
  location_out_of_range,
};

// The session status of the header: 0, 1 and 2 are sessions that
// succeeded; 10 and up, sessions that failed (no payload then).
std::string_view session_status_text(std::uint8_t status);

struct mo_location {
  double latitude = 0;   // decimal degrees, south negative
  double longitude = 0;  // decimal degrees, west negative
  std::uint32_t cep_km = 0;  // radius of the circle the unit is likely in
};

struct mo_message {
  std::uint32_t cdr_reference = 0;  // the gateway's call detail record
  std::string imei;                 // 15 ASCII digits
  std::uint8_t session_status = 0;
  std::uint16_t momsn = 0;
  std::uint16_t mtmsn = 0;
  std::uint32_t session_time = 0;   // Unix seconds, UTC
  std::optional<std::string> payload;  // 1 to 1960 bytes
  std::optional<mo_location> location;

  std::chrono::sys_seconds session_instant() const {
    return std::chrono::sys_seconds{std::chrono::seconds{session_time}};
  }
  bool session_succeeded() const { return session_status <= 2; }
};

// The whole size of the frame that starts with `first_bytes` (3 + its
// length), from its first 3 bytes alone; refused for fewer bytes or
// another revision, so that the socket side reads no further.
parsed<std::size_t, mo_problem> directip_frame_length(std::string_view first_bytes);

// One whole frame, exactly as many bytes as its length says.
parsed<mo_message, mo_problem> parse_directip_frame(std::string_view frame);

// Channel "directip", keyed by IMEI, MOMSN and session time.
message_origin directip_origin(const mo_message& message);

// The payload as the single-file program reads "<imei>_<momsn>.sbd";
// empty for a session without one (a failed session, a mailbox check).
std::optional<found_message> directip_found_message(const mo_message& message);

}  // namespace kaldo::tool::serve
