// DirectIP MO frames built element by element, as the gateway sends them.
#pragma once

#include <cstdint>
#include <string>

namespace kaldo::tool::serve::frames {

inline std::string u16(std::size_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
inline std::string u32(std::uint32_t v) { return u16(v >> 16) + u16(v & 0xFFFF); }
inline std::string element(int id, const std::string& contents) {
  return static_cast<char>(id) + u16(contents.size()) + contents;
}
inline std::string frame(const std::string& elements, int revision = 1) {
  return static_cast<char>(revision) + u16(elements.size()) + elements;
}

inline const std::string imei = "300234010123450";
// MOMSN 42 unless given, MTMSN 7, session at 2024-05-17 12:30:05 UTC;
// `extra` bytes past the 28 of a header.
inline std::string header(int status = 0, const std::string& imei_text = imei, const std::string& extra = "",
                          std::uint16_t momsn = 42) {
  return element(0x01, u32(987654) + imei_text + static_cast<char>(status) + u16(momsn) + u16(7) +
                           u32(1715949005) + extra);
}
inline std::string payload(const std::string& bytes = "hello") { return element(0x02, bytes); }
inline std::string location(int flags = 0, int lat = 33, int lat_thousandths = 45000, int lon = 117,
                            int lon_thousandths = 30000, std::uint32_t cep = 5) {
  return element(0x03, static_cast<char>(flags) + std::string(1, static_cast<char>(lat)) + u16(lat_thousandths) +
                           static_cast<char>(lon) + u16(lon_thousandths) + u32(cep));
}

}  // namespace kaldo::tool::serve::frames
