#include "tool/serve/directip.h"

#include <algorithm>
#include <cstdio>

#include "tool/serve/session_message.h"

namespace kaldo::tool::serve {

namespace {

using read = parsed<mo_message, mo_problem>;

constexpr std::uint8_t header_id = 0x01;
constexpr std::uint8_t payload_id = 0x02;
constexpr std::uint8_t location_id = 0x03;
constexpr std::size_t header_bytes = 28;
constexpr std::size_t imei_digits = 15;
// Published tables give 20 bytes; every gateway sends 11.
constexpr std::size_t location_bytes = 11;

// Big-endian unsigned integer of `n` bytes at `at`; the caller has checked
// that they are there.
std::uint32_t big_endian(std::string_view bytes, std::size_t at, std::size_t n) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::string element_name(std::uint8_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", id);
  return text;
}

std::string bytes_text(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

read read_header(std::string_view contents) {
  if (contents.size() != header_bytes) {
    return read::refused(mo_problem::header_size, "an MO header of " + bytes_text(contents.size()) +
                                                      " (it is always " + bytes_text(header_bytes) + ")");
  }
  mo_message message;
  message.cdr_reference = big_endian(contents, 0, 4);
  message.imei.assign(contents.substr(4, imei_digits));
  if (!is_imei(message.imei)) {
    return read::refused(mo_problem::imei_not_digits, "an IMEI that is not 15 digits");
  }
  message.session_status = static_cast<std::uint8_t>(contents[19]);
  message.momsn = static_cast<std::uint16_t>(big_endian(contents, 20, 2));
  message.mtmsn = static_cast<std::uint16_t>(big_endian(contents, 22, 2));
  message.session_time = big_endian(contents, 24, 4);
  return read::accepted(std::move(message));
}

parsed<mo_location, mo_problem> read_location(std::string_view contents) {
  using result = parsed<mo_location, mo_problem>;
  if (contents.size() != location_bytes) {
    return result::refused(mo_problem::location_size, "an MO location of " + bytes_text(contents.size()) +
                                                          " (it is " + bytes_text(location_bytes) + ")");
  }
  const auto flags = static_cast<unsigned char>(contents[0]);
  const std::uint32_t lat_degrees = big_endian(contents, 1, 1);
  const std::uint32_t lat_thousandths = big_endian(contents, 2, 2);
  const std::uint32_t lon_degrees = big_endian(contents, 4, 1);
  const std::uint32_t lon_thousandths = big_endian(contents, 5, 2);
  // Minutes are given in thousandths: 60000 and up is no minute.
  const double latitude = lat_degrees + lat_thousandths / 60000.0;
  const double longitude = lon_degrees + lon_thousandths / 60000.0;
  if (lat_thousandths >= 60000 || lon_thousandths >= 60000 || latitude > 90 || longitude > 180) {
    return result::refused(mo_problem::location_out_of_range,
                           "an MO location outside -90..90 degrees of latitude or -180..180 of longitude");
  }
  mo_location location;
  location.latitude = (flags & 0x02) ? -latitude : latitude;
  location.longitude = (flags & 0x01) ? -longitude : longitude;
  location.cep_km = big_endian(contents, 7, 4);
  return result::accepted(location);
}

}  // namespace

std::string_view session_status_text(std::uint8_t status) {
  switch (status) {
    case 0: return "completed";
    case 1: return "completed, but the MT message queued was too large to send";
    case 2: return "completed, but the location was poor";
    case 10: return "timed out";
    case 12: return "failed: the MO message was too large";
    case 13: return "failed: the RF link was lost";
    case 14: return "failed: a protocol anomaly";
    case 15: return "failed: the IMEI is prohibited";
    default: return "an unknown session status";
  }
}

parsed<std::size_t, mo_problem> directip_frame_length(std::string_view first_bytes) {
  using result = parsed<std::size_t, mo_problem>;
  if (first_bytes.size() < directip_prefix_bytes) {
    return result::refused(mo_problem::short_prefix,
                           "a frame of " + bytes_text(first_bytes.size()) + ", too short for its revision and length");
  }
  const auto revision = static_cast<unsigned char>(first_bytes[0]);
  if (revision != 1) {
    return result::refused(mo_problem::other_revision,
                           "protocol revision " + std::to_string(revision) + " (only revision 1 is read)");
  }
  return result::accepted(directip_prefix_bytes + big_endian(first_bytes, 1, 2));
}

parsed<mo_message, mo_problem> parse_directip_frame(std::string_view frame) {
  const parsed<std::size_t, mo_problem> length = directip_frame_length(frame);
  if (!length) return read::refused(length.problem, length.reason);
  if (frame.size() != *length.value) {
    return read::refused(mo_problem::length_mismatch, "a frame that says it holds " + bytes_text(*length.value) +
                                                          " in all but has " + std::to_string(frame.size()));
  }

  std::optional<mo_message> header;
  std::optional<std::string> payload;
  std::optional<mo_location> location;
  std::string_view rest = frame.substr(directip_prefix_bytes);
  while (!rest.empty()) {
    if (rest.size() < 3) {
      return read::refused(mo_problem::element_overrun,
                           "an element whose id and length run past the end of the message");
    }
    const auto id = static_cast<std::uint8_t>(rest[0]);
    const std::size_t size = big_endian(rest, 1, 2);
    if (size > rest.size() - 3) {
      return read::refused(mo_problem::element_overrun, "element " + element_name(id) + " of " + bytes_text(size) +
                                                            " runs past the end of the message (" +
                                                            bytes_text(rest.size() - 3) + " left)");
    }
    const std::string_view contents = rest.substr(3, size);
    rest.remove_prefix(3 + size);
    switch (id) {
      case header_id: {
        if (header) return read::refused(mo_problem::two_headers, "two MO headers in one message");
        read one = read_header(contents);
        if (!one) return one;
        header = std::move(one.value);
        break;
      }
      case payload_id:
        if (payload) return read::refused(mo_problem::two_payloads, "two MO payloads in one message");
        if (contents.empty() || contents.size() > directip_max_payload_bytes) {
          return read::refused(mo_problem::payload_size, "an MO payload of " + bytes_text(contents.size()) +
                                                             " (1 to 1960 are sent)");
        }
        payload.emplace(contents);
        break;
      case location_id: {
        if (location) return read::refused(mo_problem::two_locations, "two MO locations in one message");
        parsed<mo_location, mo_problem> one = read_location(contents);
        if (!one) return read::refused(one.problem, one.reason);
        location = one.value;
        break;
      }
      default:
        // Elements of later revisions of the protocol (and the
        // confirmation's own id) carry nothing this reader needs.
        break;
    }
  }
  if (!header) return read::refused(mo_problem::no_header, "a message without an MO header");
  header->payload = std::move(payload);
  header->location = location;
  return read::accepted(std::move(*header));
}

message_origin directip_origin(const mo_message& message) {
  return session_origin("directip", "DirectIP", message.imei, message.momsn, message.session_time);
}

std::optional<found_message> directip_found_message(const mo_message& message) {
  if (!message.payload) return std::nullopt;
  return session_payload(directip_origin(message), *message.payload);
}

}  // namespace kaldo::tool::serve
