#include "tool/message_origin.h"

#include "tool/display_text.h"

namespace kaldo::tool {

std::string display_name_of(const message_origin& origin) {
  return origin.display_name.empty() ? path_to_utf8(origin.key) : origin.display_name;
}

message_origin file_origin(std::string path, std::optional<std::uint64_t> index,
                           std::optional<std::string> part) {
  message_origin origin;
  origin.channel = "file";
  origin.key = path;
  if (index) origin.key.append("#").append(std::to_string(*index));
  if (part) origin.key.append("!").append(*part);
  origin.path = std::move(path);
  origin.index = index;
  origin.part = std::move(part);
  return origin;
}

}  // namespace kaldo::tool
