// The modem id scan of SBD file names over arbitrary names.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "input/sbd_reader.h"

using namespace kaldo::detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string id =
      modem_id_from_file_name(std::string_view(reinterpret_cast<const char*>(data), size));
  if (id.size() > 15) __builtin_trap();
  for (char c : id) {
    if (c < '0' || c > '9') __builtin_trap();
  }
  return 0;
}
