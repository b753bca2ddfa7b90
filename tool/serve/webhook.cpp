#include "tool/serve/webhook.h"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "tool/serve/session_message.h"
#include "tool/utc_text.h"

namespace kaldo::tool::serve {

namespace {

using read = parsed<webhook_message, webhook_problem>;
using fields_read = parsed<std::map<std::string, std::string>, webhook_problem>;
using token_read = parsed<token_claims, token_problem>;
using verdict = parsed<bool, token_problem>;

// The fields the providers send; a token that claims one of them vouches
// for it being in the body.
constexpr std::array<std::string_view, 9> provider_fields = {
    "imei", "momsn", "transmit_time", "iridium_latitude", "iridium_longitude",
    "iridium_cep", "data", "serial", "device_type"};
constexpr std::string_view token_field = "JWT";

bool is_provider_field(std::string_view name) {
  return std::find(provider_fields.begin(), provider_fields.end(), name) != provider_fields.end();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool all_digits(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), is_digit); }

// Text from the request as it may stand in a one-line reason: printable
// ASCII, and not too much of it.
std::string shown(std::string_view text) {
  constexpr std::size_t most = 40;
  std::string out;
  for (char c : text.substr(0, most)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  if (text.size() > most) out += "...";
  return out;
}

// One name or value of a form body or a query: "+" is a space there, and
// %XX the byte XX.
std::optional<std::string> form_decoded(std::string_view text) {
  if (text.empty()) return std::string();  // a length of 0 would make libcurl look for a NUL
  if (text.size() > INT_MAX) return std::nullopt;
  std::string spaced(text);
  std::replace(spaced.begin(), spaced.end(), '+', ' ');
  int length = 0;
  char* decoded = curl_easy_unescape(nullptr, spaced.data(), static_cast<int>(spaced.size()), &length);
  if (decoded == nullptr) return std::nullopt;
  std::string out(decoded, static_cast<std::size_t>(length));
  curl_free(decoded);
  return out;
}

fields_read form_fields(std::string_view text) {
  std::map<std::string, std::string> fields;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('&'), text.size());
    const std::string_view pair = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (pair.empty()) continue;
    const std::size_t equals = std::min(pair.find('='), pair.size());
    std::optional<std::string> name = form_decoded(pair.substr(0, equals));
    std::optional<std::string> value = form_decoded(pair.substr(std::min(equals + 1, pair.size())));
    if (!name || !value) return fields_read::refused(webhook_problem::bad_body, "a form field that cannot be decoded");
    if (fields.count(*name) != 0) {
      return fields_read::refused(webhook_problem::bad_body, "field " + shown(*name) + " given twice");
    }
    fields.emplace(std::move(*name), std::move(*value));
  }
  return fields_read::accepted(std::move(fields));
}

fields_read json_fields(std::string_view text) {
  using json = nlohmann::json;
  // The library keeps the last of two equal keys; a body that names a
  // field twice means two things at once, and is refused instead.
  std::set<std::string> names;
  std::optional<std::string> repeated;
  const json::parser_callback_t callback = [&](int depth, json::parse_event_t event, json& value) {
    if (event == json::parse_event_t::key && depth == 1 && !names.insert(value.get<std::string>()).second) {
      repeated = value.get<std::string>();
    }
    return true;
  };
  const json body = json::parse(text.begin(), text.end(), callback, false);
  if (body.is_discarded() || !body.is_object()) {
    return fields_read::refused(webhook_problem::bad_body, "a body that is not one JSON object");
  }
  if (repeated) return fields_read::refused(webhook_problem::bad_body, "field " + shown(*repeated) + " given twice");
  std::map<std::string, std::string> fields;
  for (const auto& [name, value] : body.items()) {
    if (value.is_string()) {
      fields.emplace(name, value.get<std::string>());
    } else if (value.is_number() || value.is_boolean()) {
      fields.emplace(name, value.dump());
    } else if (!value.is_null() && (is_provider_field(name) || name == token_field)) {
      return fields_read::refused(webhook_problem::bad_body, "field " + name + " is not a string or a number");
    }
    // Objects and arrays under names the providers do not use are nothing
    // this receiver reads, so they are left out.
  }
  return fields_read::accepted(std::move(fields));
}

// Which reading the request's Content-Type asks for: JSON (true), a form
// (false), or neither.
std::optional<bool> names_json(std::string_view content_type) {
  std::string type(content_type.substr(0, content_type.find(';')));
  type.erase(std::remove_if(type.begin(), type.end(), [](char c) { return c == ' ' || c == '\t'; }), type.end());
  std::transform(type.begin(), type.end(), type.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  if (type == "application/json" || type.ends_with("+json")) return true;
  if (type == "application/x-www-form-urlencoded") return false;
  return std::nullopt;
}

bool looks_like_json(std::string_view body) {
  const std::size_t first = body.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && body[first] == '{';
}

std::optional<unsigned> number_at(std::string_view text, std::size_t at, std::size_t n) {
  if (at + n > text.size()) return std::nullopt;
  const std::string_view part = text.substr(at, n);
  if (!all_digits(part)) return std::nullopt;
  unsigned value = 0;
  std::from_chars(part.data(), part.data() + part.size(), value);
  return value;
}

std::optional<std::int64_t> unix_seconds(int year, std::string_view text, std::size_t month_at, std::size_t clock_at) {
  using namespace std::chrono;
  const auto month_number = number_at(text, month_at, 2);
  const auto day_number = number_at(text, month_at + 3, 2);
  const auto hours_number = number_at(text, clock_at, 2);
  const auto minutes_number = number_at(text, clock_at + 3, 2);
  const auto seconds_number = number_at(text, clock_at + 6, 2);
  if (!month_number || !day_number || !hours_number || !minutes_number || !seconds_number) return std::nullopt;
  const auto at = utc_instant(year, *month_number, *day_number, *hours_number, *minutes_number, *seconds_number);
  if (!at) return std::nullopt;
  return at->time_since_epoch().count();
}

std::optional<double> decimal(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::string> hex_bytes(std::string_view hex) {
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
    if (error != std::errc{} || end != hex.data() + i + 2) return std::nullopt;
    bytes += static_cast<char>(value);
  }
  return bytes;
}

read message_from_fields(std::map<std::string, std::string> fields) {
  auto field = [&fields](std::string_view name) -> const std::string* {
    const auto found = fields.find(std::string(name));
    return found == fields.end() ? nullptr : &found->second;
  };
  webhook_message message;
  if (const std::string* token = field(token_field)) {
    message.jwt = *token;
    fields.erase(std::string(token_field));
  }

  const std::string* imei = field("imei");
  if (imei == nullptr) return read::refused(webhook_problem::no_imei, "no imei");
  if (!is_imei(*imei)) {
    return read::refused(webhook_problem::bad_imei, "an imei that is not 15 digits: " + shown(*imei));
  }
  message.imei = *imei;

  const std::string* momsn = field("momsn");
  if (momsn == nullptr) return read::refused(webhook_problem::no_momsn, "no momsn");
  const std::optional<unsigned> momsn_number = momsn->size() <= 5 ? number_at(*momsn, 0, momsn->size()) : std::nullopt;
  if (!momsn_number || *momsn_number > 0xFFFF) {
    return read::refused(webhook_problem::bad_momsn, "a momsn that is not a number from 0 to 65535: " + shown(*momsn));
  }
  message.momsn = *momsn_number;

  const std::string* time = field("transmit_time");
  if (time == nullptr) return read::refused(webhook_problem::no_transmit_time, "no transmit_time");
  const std::optional<std::int64_t> seconds = parse_transmit_time(*time);
  if (!seconds) {
    return read::refused(webhook_problem::bad_transmit_time,
                         "a transmit_time that is neither YY-MM-DD HH:MM:SS nor ISO 8601 UTC: " + shown(*time));
  }
  message.transmit_time = *seconds;

  if (const std::string* data = field("data")) {
    if (!std::all_of(data->begin(), data->end(), is_hex_digit)) {
      return read::refused(webhook_problem::data_not_hex, "data that is not hexadecimal");
    }
    if (data->size() % 2 != 0) {
      return read::refused(webhook_problem::data_odd_length, "data of an odd number of hexadecimal digits");
    }
    if (data->size() / 2 > webhook_max_payload_bytes) {
      return read::refused(webhook_problem::payload_too_long, "a payload of " + std::to_string(data->size() / 2) +
                                                                  " bytes (at most 1960 are sent)");
    }
    message.payload = *hex_bytes(*data);
  }

  const struct {
    std::string_view name;
    std::optional<double>& value;
    double low, high;
  } places[] = {{"iridium_latitude", message.latitude, -90, 90},
                {"iridium_longitude", message.longitude, -180, 180},
                {"iridium_cep", message.cep_km, 0, HUGE_VAL}};
  for (const auto& place : places) {
    const std::string* text = field(place.name);
    if (text == nullptr || text->empty()) continue;
    place.value = decimal(*text);
    if (!place.value || *place.value < place.low || *place.value > place.high) {
      return read::refused(webhook_problem::bad_location,
                           "an " + std::string(place.name) + " that is not a number in range: " + shown(*text));
    }
  }
  if (const std::string* serial = field("serial")) message.serial = *serial;
  if (const std::string* type = field("device_type")) message.device_type = *type;
  message.fields = std::move(fields);
  return read::accepted(std::move(message));
}

// base64url without padding, as tokens carry it: its alphabet and padding
// are made base64's, and OpenSSL decodes that.
std::optional<std::string> base64url_decoded(std::string_view text) {
  if (text.size() % 4 == 1 || text.size() > INT_MAX - 3) return std::nullopt;
  std::string base64;
  base64.reserve(text.size() + 3);
  for (char c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c);
    if (!plain && c != '-' && c != '_') return std::nullopt;
    base64 += c == '-' ? '+' : c == '_' ? '/' : c;
  }
  const std::size_t padding = (4 - text.size() % 4) % 4;
  base64.append(padding, '=');
  std::string bytes(base64.size() / 4 * 3, '\0');
  // Whole groups of four in, three bytes each out: the padding's zero
  // bytes are then cut.
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(base64.data()),
                                     static_cast<int>(base64.size()));
  if (length < 0 || static_cast<std::size_t>(length) != bytes.size()) return std::nullopt;
  bytes.resize(bytes.size() - padding);
  return bytes;
}

std::optional<nlohmann::json> json_object(std::string_view base64url) {
  const std::optional<std::string> text = base64url_decoded(base64url);
  if (!text) return std::nullopt;
  nlohmann::json value = nlohmann::json::parse(*text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

struct openssl_free {
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// RSASSA-PKCS1-v1_5 with SHA-256 of `signed_text`, and nothing else,
// whatever the key or the token would allow.
token_read rs256_verifies(std::string_view signed_text, const std::string& signature, std::string_view public_key_pem) {
  if (public_key_pem.size() > INT_MAX) return token_read::refused(token_problem::bad_key, "a public key file too large");
  std::unique_ptr<BIO, openssl_free> pem(BIO_new_mem_buf(public_key_pem.data(), static_cast<int>(public_key_pem.size())));
  std::unique_ptr<EVP_PKEY, openssl_free> key(pem ? PEM_read_bio_PUBKEY(pem.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_is_a(key.get(), "RSA") != 1) {
    ERR_clear_error();
    return token_read::refused(token_problem::bad_key, "the configured key is not an RSA public key in PEM");
  }
  std::unique_ptr<EVP_MD_CTX, openssl_free> context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* key_context = nullptr;
  const bool verified =
      context && EVP_DigestVerifyInit(context.get(), &key_context, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(key_context, RSA_PKCS1_PADDING) == 1 &&
      EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                       reinterpret_cast<const unsigned char*>(signed_text.data()), signed_text.size()) == 1;
  ERR_clear_error();  // a failed verification leaves its reasons queued on this thread
  if (!verified) {
    return token_read::refused(token_problem::bad_signature,
                               "a token whose RS256 signature does not verify with the configured key");
  }
  return token_read::accepted({});
}

}  // namespace

int http_status(webhook_problem problem) {
  switch (problem) {
    case webhook_problem::none: return 200;
    case webhook_problem::body_too_large: return 413;
    default: return 400;
  }
}

std::optional<std::int64_t> parse_transmit_time(std::string_view text) {
  // YY-MM-DD HH:MM:SS, in this century.
  if (text.size() == 17 && text[2] == '-' && text[5] == '-' && text[8] == ' ' && text[11] == ':' && text[14] == ':') {
    const std::optional<unsigned> year = number_at(text, 0, 2);
    if (!year) return std::nullopt;
    return unix_seconds(2000 + static_cast<int>(*year), text, 3, 9);
  }
  // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+00:00)
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  std::string_view zone = text.substr(19);
  if (zone.starts_with('.')) {
    const std::size_t digits = std::find_if_not(zone.begin() + 1, zone.end(), is_digit) - (zone.begin() + 1);
    if (digits == 0) return std::nullopt;
    zone.remove_prefix(1 + digits);
  }
  if (zone != "Z" && zone != "+00:00") return std::nullopt;
  const std::optional<unsigned> year = number_at(text, 0, 4);
  if (!year) return std::nullopt;
  return unix_seconds(static_cast<int>(*year), text, 5, 11);
}

parsed<webhook_message, webhook_problem> parse_webhook_body(std::string_view body, std::string_view content_type) {
  if (body.size() > max_webhook_body_bytes) {
    return read::refused(webhook_problem::body_too_large, "a body of " + std::to_string(body.size()) +
                                                              " bytes (at most 65536 are read)");
  }
  const bool json = names_json(content_type).value_or(looks_like_json(body));
  fields_read fields = json ? json_fields(body) : form_fields(body);
  if (!fields) return read::refused(fields.problem, fields.reason);
  return message_from_fields(std::move(*fields.value));
}

message_origin webhook_origin(const webhook_message& message) {
  return session_origin("rockblock", "webhook", message.imei, message.momsn, message.transmit_time);
}

std::optional<found_message> webhook_found_message(const webhook_message& message) {
  if (message.payload.empty()) return std::nullopt;
  return session_payload(webhook_origin(message), message.payload);
}

parsed<token_claims, token_problem> verify_rs256(std::string_view token, std::string_view public_key_pem) {
  if (token.size() > max_webhook_body_bytes) {
    return token_read::refused(token_problem::malformed, "a token longer than any webhook body");
  }
  const std::size_t first_dot = token.find('.');
  const std::size_t second_dot = token.find('.', first_dot == std::string_view::npos ? token.size() : first_dot + 1);
  if (second_dot == std::string_view::npos || token.find('.', second_dot + 1) != std::string_view::npos) {
    return token_read::refused(token_problem::malformed, "a token that is not three parts joined by dots");
  }
  const std::optional<nlohmann::json> header = json_object(token.substr(0, first_dot));
  if (!header) return token_read::refused(token_problem::malformed, "a token header that is not base64url JSON");
  const auto algorithm = header->find("alg");
  if (algorithm == header->end() || !algorithm->is_string()) {
    return token_read::refused(token_problem::not_rs256, "a token header that names no algorithm");
  }
  if (algorithm->get<std::string>() != "RS256") {
    return token_read::refused(token_problem::not_rs256, "a token signed with " + shown(algorithm->get<std::string>()) +
                                                             " (only RS256 is accepted)");
  }
  const std::optional<std::string> signature = base64url_decoded(token.substr(second_dot + 1));
  if (!signature || signature->empty()) {
    return token_read::refused(token_problem::malformed, "a token signature that is not base64url");
  }
  token_read verified = rs256_verifies(token.substr(0, second_dot), *signature, public_key_pem);
  if (!verified) return verified;
  // Only now, signed by the provider, are the claims worth reading.
  const std::optional<nlohmann::json> payload = json_object(token.substr(first_dot + 1, second_dot - first_dot - 1));
  if (!payload) return token_read::refused(token_problem::malformed, "token claims that are not base64url JSON");
  token_claims claims;
  for (const auto& [name, value] : payload->items()) {
    if (value.is_string()) {
      claims.emplace(name, value.get<std::string>());
    } else if (value.is_number() || value.is_boolean()) {
      claims.emplace(name, value.dump());
    }
  }
  return token_read::accepted(std::move(claims));
}

parsed<bool, token_problem> claims_match(const token_claims& claims, const webhook_message& message) {
  for (const auto& [name, text] : message.fields) {
    const auto claim = claims.find(name);
    if (claim == claims.end()) {
      return verdict::refused(token_problem::claims_mismatch, "the token does not claim the body's " + shown(name));
    }
    if (claim->second != text) {
      return verdict::refused(token_problem::claims_mismatch, "the token's " + shown(name) + " is not the body's");
    }
  }
  for (std::string_view name : provider_fields) {
    if (claims.count(std::string(name)) != 0 && message.fields.count(std::string(name)) == 0) {
      return verdict::refused(token_problem::claims_mismatch,
                              "the token claims " + std::string(name) + " but the body has none");
    }
  }
  return verdict::accepted(true);
}

parsed<bool, token_problem> check_webhook_token(const webhook_message& message, std::string_view public_key_pem) {
  if (!message.jwt) return verdict::refused(token_problem::malformed, "a body without its JWT");
  const token_read claims = verify_rs256(*message.jwt, public_key_pem);
  if (!claims) return verdict::refused(claims.problem, claims.reason);
  return claims_match(*claims.value, message);
}

std::optional<std::string> query_parameter(std::string_view target, std::string_view name) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  fields_read fields = form_fields(target.substr(question + 1));
  if (!fields) return std::nullopt;
  const auto found = fields.value->find(std::string(name));
  if (found == fields.value->end()) return std::nullopt;
  return found->second;
}

bool same_secret(std::string_view given, std::string_view expected) {
  // Digests of equal length are compared, so that neither the secret's
  // length nor the first byte that differs shows in the time taken.
  std::array<unsigned char, EVP_MAX_MD_SIZE> given_digest{};
  std::array<unsigned char, EVP_MAX_MD_SIZE> expected_digest{};
  unsigned int given_length = 0;
  unsigned int expected_length = 0;
  const bool hashed =
      EVP_Digest(given.data(), given.size(), given_digest.data(), &given_length, EVP_sha256(), nullptr) == 1 &&
      EVP_Digest(expected.data(), expected.size(), expected_digest.data(), &expected_length, EVP_sha256(), nullptr) == 1;
  return hashed && given_length == expected_length &&
         CRYPTO_memcmp(given_digest.data(), expected_digest.data(), given_length) == 0;
}

}  // namespace kaldo::tool::serve
