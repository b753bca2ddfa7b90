// The SBD attachment reader: the raw payload of one satellite message, with
// the sending modem's id at the start of the file name (digits, then "_").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kaldo::detail {

struct sbd_payload {
  // The payload; for a file longer than any message can be, only its first
  // bytes, which are all that its classification needs.
  std::string bytes;
  std::uint64_t length = 0;  // the file's full length

  bool is_whole() const { return bytes.size() == length; }
};

// Reads `file_name`, keeping no more than one byte beyond the largest
// message. Returns false when the file cannot be opened or read.
bool read_sbd_payload(const std::string& file_name, sbd_payload& payload);

// The digits before the last underscore-led group of the name's last path
// component: scanned backwards from the end, an underscore starts
// collecting, and a non-digit (or a 16th digit) empties the id and stops
// collecting. A "\" or "/" ends the scan.
std::string modem_id_from_file_name(std::string_view file_name);

}  // namespace kaldo::detail
