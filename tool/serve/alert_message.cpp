#include "tool/serve/alert_message.h"

#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cstdio>

#include "tool/utc_text.h"

namespace kaldo::tool::serve {
namespace {

// Environment entries are C strings: a NUL would end one early.
std::string without_nul(std::string text) {
  if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

}  // namespace

std::string shortest_number(double value) {
  std::array<char, 32> text{};
  const auto [end, failed] = std::to_chars(text.data(), text.data() + text.size(), value + 0.0);
  if (failed != std::errc()) return "0";
  return std::string(text.data(), end);
}

std::string alert_key(const track_point& point) {
  // The time and the numbers never hold a '/': read from the right, the
  // key is unambiguous whatever the modem id holds.
  return point.modem_id + "/" + utc_iso8601(point.position.time) + "/" +
         shortest_number(point.position.latitude) + "/" + shortest_number(point.position.longitude);
}

std::string alert_json(const track_point& point) {
  const kaldo::position& p = point.position;
  nlohmann::ordered_json report;
  report["modem_id"] = point.modem_id;
  report["time"] = utc_iso8601(p.time);
  report["latitude"] = p.latitude;
  report["longitude"] = p.longitude;
  report["altitude_m"] = p.altitude_m;
  report["speed_kmh"] = p.speed_kmh;
  report["course_deg"] = p.course_deg;
  report["vertical_velocity_ms"] =
      p.vertical_velocity_ms ? nlohmann::ordered_json(*p.vertical_velocity_ms) : nullptr;
  report["satellites"] = p.satellites;
  report["fix"] = kaldo::to_string(p.fix);
  report["emergency"] = p.emergency ? 1 : 0;
  report["message_type"] = point.message_type;
  report["source"] = point.source;
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<std::string> alert_environment(const std::string& modem_id, const std::string& time,
                                           double latitude, double longitude) {
  return {"KALDO_MODEM_ID=" + without_nul(modem_id), "KALDO_TIME=" + without_nul(time),
          "KALDO_LATITUDE=" + shortest_number(latitude),
          "KALDO_LONGITUDE=" + shortest_number(longitude)};
}

std::string idempotency_key(const std::string& key) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_Digest(key.data(), key.size(), digest.data(), &length, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", digest[i]);
    hex += byte;
  }
  return hex;
}

std::chrono::seconds alert_backoff(int failures) {
  constexpr std::chrono::seconds longest{300};
  if (failures < 1) return std::chrono::seconds{0};
  // 2^9 s is past the ceiling already; no shift beyond it.
  if (failures > 9) return longest;
  return std::min(std::chrono::seconds{1LL << (failures - 1)}, longest);
}

}  // namespace kaldo::tool::serve
