// What the receivers' parsers return: the value read, or why the input was
// refused. The reason is one line, fit for a log and for the text of an
// HTTP error answer; the problem is for code that acts on the kind.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace kaldo::tool::serve {

template <class T, class Problem>
struct parsed {
  std::optional<T> value;
  Problem problem{};   // Problem::none when `value` is set
  std::string reason;  // empty when `value` is set

  explicit operator bool() const { return value.has_value(); }

  static parsed accepted(T v) { return {std::move(v), Problem::none, {}}; }
  static parsed refused(Problem p, std::string why) { return {std::nullopt, p, std::move(why)}; }
};

}  // namespace kaldo::tool::serve
