// A satellite session's message as a receiver hands it on: its origin, and
// its payload under the name the single-file program would give the same
// payload saved as "<imei>_<momsn>.sbd", so that the library reads it
// exactly as it reads that file. DirectIP and the webhooks both build on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tool/found_message.h"
#include "tool/message_origin.h"

namespace kaldo::tool::serve {

// Whether `text` is an IMEI as the sessions carry it: 15 ASCII digits.
bool is_imei(std::string_view text);

// `via` names the channel for people ("DirectIP"). The key is
// "<imei>/<momsn>/<session time>", the same on every channel, so that one
// message delivered twice, or by two channels, can be told as one.
message_origin session_origin(std::string channel, std::string_view via, const std::string& imei,
                              std::uint32_t momsn, std::int64_t session_time);

// `origin` is one that session_origin made: its IMEI and MOMSN name the
// payload.
found_message session_payload(message_origin origin, std::string_view payload);

}  // namespace kaldo::tool::serve
