// The output file of each message: the message's own name, cleaned of any
// path (an attachment's name is whatever the sender wrote), with ".txt";
// a name already taken gets ".2", ".3", ... before ".txt" in input order,
// and a message seen before under the same name with the same bytes is a
// duplicate and gets no file of its own.
//
// Names are handed out in input order by one thread, so every run over
// the same inputs, whatever its parallelism, writes the same files. Only
// fingerprints of the names and messages are kept, not the texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "tool/found_message.h"

namespace kaldo::tool {

// `name` as one safe file name: its last path component ("/" and "\"
// both end one), control bytes replaced with "_", at most 200 bytes, and
// never empty, "." or "..".
std::string clean_file_name(std::string_view name);

class output_namer {
 public:
  struct decision {
    std::string file_name;  // empty for a duplicate
    // The number (from 1, in input order) of the message this one repeats.
    std::optional<std::uint64_t> duplicate_of;
  };

  // Names message number `number`; call in input order.
  decision name(const found_message& message, std::uint64_t number);

 private:
  struct fingerprint {
    std::uint64_t a, b;
    bool operator==(const fingerprint&) const = default;
  };
  struct fingerprint_hash {
    std::size_t operator()(const fingerprint& f) const { return f.a ^ (f.b * 0x9e3779b97f4a7c15ull); }
  };
  static fingerprint of(std::string_view text, std::uint64_t seed = 0);

  std::unordered_set<fingerprint, fingerprint_hash> taken_;
  std::unordered_map<fingerprint, std::uint64_t, fingerprint_hash> next_suffix_;
  std::unordered_map<fingerprint, std::uint64_t, fingerprint_hash> seen_;
};

}  // namespace kaldo::tool
