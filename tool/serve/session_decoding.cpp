#include "tool/serve/session_decoding.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "kaldo/kaldo.h"
#include "tool/display_text.h"
#include "tool/fleet_builder.h"
#include "tool/message_outcome.h"
#include "tool/serve/session_message.h"

namespace kaldo::tool::serve {
namespace {

// How the log and the positions' `source` name each channel.
struct channel_name {
  std::string_view channel;
  std::string_view via;
};
constexpr channel_name channel_names[] = {
    {"directip", "DirectIP"},
    {"rockblock", "webhook"},
    {"imap", "IMAP"},
};

std::string_view via_of(std::string_view channel) {
  for (const auto& row : channel_names) {
    if (row.channel == channel) return row.via;
  }
  return channel;
}

stored_status stored_status_of(message_status status) {
  switch (status) {
    case message_status::converted: return stored_status::converted;
    case message_status::not_position_report: return stored_status::not_position_report;
    case message_status::failed:
    case message_status::duplicate: break;
  }
  return stored_status::failed;
}

bool valid_utf8(std::string_view bytes) { return path_to_utf8(bytes) == bytes; }

}  // namespace

std::string stored_text(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  return valid_utf8(bytes) ? std::string(bytes) : latin1_to_utf8(bytes);
}

decoded_session decode_session(const received_message& message, int century) {
  decoded_session result;
  if (!message.payload) {
    result.status = stored_status::no_payload;
    return result;
  }
  const std::string channel = stored_text(message.channel);
  const found_message found = session_payload(
      session_origin(channel, via_of(channel), message.imei, message.momsn, message.session_time),
      *message.payload);
  const kaldo::saved_message saved = read_found_message(found);
  if (saved.refusal) {
    result.status = stored_status::failed;
    result.error = stored_text(error_line(*saved.refusal));
    return result;
  }
  kaldo::settings how;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%02d", century);
  how.century = digits;
  const kaldo::decoded_message decoded = kaldo::decode_message(saved.view(), saved.with_modem_id(how));
  result.status = stored_status_of(status_of(decoded.result));
  if (result.status == stored_status::failed) result.error = stored_text(error_line(decoded.error));
  // The builder names the unit as every output does ("No ModemID" when the
  // message names none, Latin-1 ids as UTF-8) and drops a report the
  // message repeats.
  fleet_builder builder;
  builder.add(decoded, {display_name_of(found.origin), ""});
  result.points = builder.finish().points;
  // GDAL takes text as C strings: an id is stored, and looked up, as far
  // as its first NUL.
  for (track_point& point : result.points) point.modem_id.resize(std::strlen(point.modem_id.c_str()));
  return result;
}

}  // namespace kaldo::tool::serve
