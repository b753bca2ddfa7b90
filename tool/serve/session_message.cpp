#include "tool/serve/session_message.h"

#include <algorithm>
#include <chrono>

#include "tool/utc_text.h"

namespace kaldo::tool::serve {

bool is_imei(std::string_view text) {
  return text.size() == 15 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

message_origin session_origin(std::string channel, std::string_view via, const std::string& imei,
                              std::uint32_t momsn, std::int64_t session_time) {
  message_origin origin;
  origin.channel = std::move(channel);
  origin.key = imei + "/" + std::to_string(momsn) + "/" + std::to_string(session_time);
  const kaldo::utc_time time{std::chrono::seconds{session_time}};
  // The IMEI is checked to be digits before an origin is made, so the
  // name is UTF-8 as it stands.
  origin.display_name = imei + " MOMSN " + std::to_string(momsn) + " at " + utc_iso8601(time) +
                        " via " + std::string(via);
  origin.imei = imei;
  origin.momsn = momsn;
  origin.session_time = session_time;
  return origin;
}

found_message session_payload(message_origin origin, std::string_view payload) {
  found_message found;
  found.name = origin.imei.value_or("") + "_" + std::to_string(origin.momsn.value_or(0)) + ".sbd";
  found.origin = std::move(origin);
  found.kind = kaldo::encoding::sbd_payload;
  found.bytes.assign(payload.substr(0, kept_payload_bytes));
  found.full_length = payload.size();
  return found;
}

}  // namespace kaldo::tool::serve
