#include "input/sbd_reader.h"

#include "decode/message_layout.h"
#include "input/file_bytes.h"

namespace kaldo::detail {

namespace {

constexpr std::size_t max_modem_id_digits = 15;

}  // namespace

bool read_sbd_payload(const std::string& file_name, sbd_payload& payload) {
  // One byte more than the largest message tells a file too long for any.
  return read_file_bytes(file_name, max_message_size + 1, payload.bytes,
                         payload.length);
}

std::string modem_id_from_file_name(std::string_view file_name) {
  std::string id;
  bool collecting = false;
  for (std::size_t i = file_name.size(); i-- > 0;) {
    const char c = file_name[i];
    if (c == '_') {
      collecting = true;
    } else if (c == '\\' || c == '/') {
      break;
    } else if (collecting) {
      if (c >= '0' && c <= '9' && id.size() < max_modem_id_digits) {
        id.insert(id.begin(), c);
      } else {
        id.clear();
        collecting = false;
      }
    }
  }
  return id;
}

}  // namespace kaldo::detail
