#include "tool/display_text.h"

#include <glib.h>

#include <memory>

namespace kaldo::tool {

namespace {

struct g_free_release {
  void operator()(char* text) const { g_free(text); }
};
using g_text = std::unique_ptr<char, g_free_release>;

}  // namespace

std::string latin1_to_utf8(std::string_view bytes) {
  gsize written = 0;
  g_text text(g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                        "ISO-8859-1", nullptr, &written, nullptr));
  // Every byte is a Latin-1 character, so only a missing converter fails.
  if (!text) return path_to_utf8(bytes);
  return std::string(text.get(), written);
}

std::string path_to_utf8(std::string_view bytes) {
  if (g_utf8_validate_len(bytes.data(), bytes.size(), nullptr)) return std::string(bytes);
  g_text text(g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size())));
  return std::string(text.get());
}

}  // namespace kaldo::tool
