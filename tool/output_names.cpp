#include "tool/output_names.h"

namespace kaldo::tool {

namespace {

// Longer names than this are cut: with a suffix and ".txt" the result stays
// within the 255 bytes every common file system allows.
constexpr std::size_t max_name_bytes = 200;

// Two independent 64-bit hashes (FNV-1a with different offsets, in one
// pass) make a false match of two different texts too unlikely to matter.
constexpr std::uint64_t fnv_prime = 0x100000001b3ull;

}  // namespace

std::string clean_file_name(std::string_view name) {
  const std::size_t cut = name.find_last_of("/\\");
  if (cut != std::string_view::npos) name.remove_prefix(cut + 1);
  std::string clean(name.substr(0, max_name_bytes));
  for (char& c : clean) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '_';
  }
  if (clean.empty() || clean == "." || clean == "..") clean = "_" + clean;
  return clean;
}

output_namer::fingerprint output_namer::of(std::string_view text, std::uint64_t seed) {
  std::uint64_t a = 0xcbf29ce484222325ull ^ seed;
  std::uint64_t b = 0x84222325cbf29ce4ull + seed;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    a = (a ^ byte) * fnv_prime;
    b = (b ^ byte) * fnv_prime;
  }
  return {a, b};
}

output_namer::decision output_namer::name(const found_message& message, std::uint64_t number) {
  decision result;
  const std::string base = clean_file_name(message.name);
  const fingerprint name = of(base);
  if (!message.unreadable) {
    // Same name, same bytes, same length: the same message delivered again.
    fingerprint bytes = of(message.bytes, message.full_length);
    const fingerprint key{bytes.a ^ (name.a * 31), bytes.b ^ (name.b * 37)};
    const auto [first, inserted] = seen_.try_emplace(key, number);
    if (!inserted) {
      result.duplicate_of = first->second;
      return result;
    }
  }
  // 0: the plain name is yet to be tried; then 2, 3, ...
  std::uint64_t& next = next_suffix_[name];
  std::string candidate;
  for (;;) {
    candidate = next == 0 ? base + ".txt" : base + "." + std::to_string(next) + ".txt";
    next = next == 0 ? 2 : next + 1;
    if (taken_.insert(of(candidate)).second) break;
  }
  result.file_name = std::move(candidate);
  return result;
}

}  // namespace kaldo::tool
