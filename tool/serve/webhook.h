// The body of the service providers' RockBLOCK-style webhook,
// `POST /webhooks/rockblock`: one satellite message, form-encoded or JSON,
// with its fields as text; and the checks that tell a genuine delivery from
// a forged one (the JSON body's RS256 token, the URL's shared token).
// Pure functions over bytes; the HTTP side lives elsewhere.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "tool/found_message.h"
#include "tool/message_origin.h"
#include "tool/serve/parsed.h"

namespace kaldo::tool::serve {

inline constexpr std::string_view webhook_path = "/webhooks/rockblock";
// No genuine body comes near this; a larger one is answered 413 unread.
inline constexpr std::size_t max_webhook_body_bytes = 64 * 1024;
inline constexpr std::size_t webhook_max_payload_bytes = 1960;

enum class webhook_problem {
  none,
  body_too_large,  // HTTP 413; every other problem is a 400
  bad_body,        // JSON that is not one object, a field given twice
  no_imei,
  bad_imei,        // not 15 digits
  no_momsn,
  bad_momsn,       // not a number from 0 to 65535
  no_transmit_time,
  bad_transmit_time,
  data_not_hex,
  data_odd_length,
  payload_too_long,  // over 1960 bytes
  bad_location,      // a latitude, longitude or CEP that is not a number in range
};

int http_status(webhook_problem problem);

struct webhook_message {
  std::string imei;
  std::uint32_t momsn = 0;
  std::int64_t transmit_time = 0;  // Unix seconds, UTC
  std::string payload;             // the bytes of `data`; empty when none came
  std::optional<double> latitude;   // decimal degrees
  std::optional<double> longitude;
  std::optional<double> cep_km;
  std::optional<std::string> serial;
  std::optional<std::string> device_type;
  std::optional<std::string> jwt;   // JSON bodies' signed token
  // Every field of the body as text (decoded, JSON numbers as JSON writes
  // them), the token aside: what the token's claims must repeat.
  std::map<std::string, std::string> fields;

  std::chrono::sys_seconds transmit_instant() const {
    return std::chrono::sys_seconds{std::chrono::seconds{transmit_time}};
  }
};

// The body as the request's Content-Type says (JSON, or
// application/x-www-form-urlencoded); with another or none, a body that
// starts with "{" is read as JSON and any other as a form.
parsed<webhook_message, webhook_problem> parse_webhook_body(std::string_view body,
                                                            std::string_view content_type);

// "24-05-17 12:30:05" (as the providers write it) or ISO 8601 UTC
// ("2024-05-17T12:30:05Z", fractions of a second dropped): Unix seconds.
std::optional<std::int64_t> parse_transmit_time(std::string_view text);

// Channel "rockblock", keyed by IMEI, MOMSN and transmit time.
message_origin webhook_origin(const webhook_message& message);

// The payload as the single-file program reads "<imei>_<momsn>.sbd";
// empty when the body carried no data.
std::optional<found_message> webhook_found_message(const webhook_message& message);

enum class token_problem {
  none,
  malformed,        // not three base64url parts, or a part that is not JSON
  not_rs256,        // a header naming another algorithm ("none", "HS256", ...)
  bad_key,          // the configured key is not an RSA public key in PEM
  bad_signature,
  claims_mismatch,  // signed, but not for this body
};

// A token's claims: string claims as they are, numbers and booleans as
// JSON writes them; objects and arrays left out.
using token_claims = std::map<std::string, std::string>;

// The claims of `token` once its RS256 signature verifies with the RSA
// public key `public_key_pem` ("BEGIN PUBLIC KEY"). Whatever algorithm the
// token names, only RS256 is ever tried, and any other name is refused.
parsed<token_claims, token_problem> verify_rs256(std::string_view token, std::string_view public_key_pem);

// Whether the claims vouch for the body: every field of the body is a
// claim of the same text, and no field the providers send is claimed but
// missing from the body.
parsed<bool, token_problem> claims_match(const token_claims& claims, const webhook_message& message);

// verify_rs256 on the body's own token, then claims_match.
parsed<bool, token_problem> check_webhook_token(const webhook_message& message, std::string_view public_key_pem);

// The value of `name` in the query of a request target
// ("/webhooks/rockblock?token=..."), percent-decoded; empty when it is
// not there or given twice.
std::optional<std::string> query_parameter(std::string_view target, std::string_view name);

// Whether a secret sent by a client is the configured one, in a time that
// tells nothing of where they differ, nor of the secret's length.
bool same_secret(std::string_view given, std::string_view expected);

}  // namespace kaldo::tool::serve
