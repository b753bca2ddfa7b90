#include "tool/suggestions.h"

#include <algorithm>
#include <cctype>

namespace kaldo::tool {

namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool is_number(std::string_view word) {
  if (word.starts_with('-')) word.remove_prefix(1);
  return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
    return std::isdigit(c) || c == '.';
  });
}

std::string unknown(const std::string& who, const char* what, const std::string& word,
                    const std::vector<std::string>& known) {
  std::string text = who + ": unknown " + what + " '" + word + "'";
  if (auto meant = closest_word(word, known)) return text + " (did you mean '" + *meant + "'?)";
  return text + "; see --help";
}

}  // namespace

std::optional<std::string> closest_word(std::string_view word, const std::vector<std::string>& candidates) {
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = edit_distance(word, candidate);
    if (!best || distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  // Two edits, or a third of a longer word: a slip of the fingers rather
  // than another word.
  const std::size_t allowed = std::max<std::size_t>(2, word.size() / 3);
  if (best && best_distance <= allowed) return best;
  return std::nullopt;
}

std::optional<std::string> unknown_word(const CLI::App& app, const std::vector<std::string>& words) {
  const CLI::App* command = nullptr;
  for (const std::string& word : words) {
    if (word == "--") break;
    if (command == nullptr) {
      if (word.starts_with('-')) continue;  // --help, --version: CLI11's
      std::vector<std::string> names;
      for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        names.push_back(sub->get_name());
        if (sub->get_name() == word) command = sub;
      }
      if (command == nullptr) return unknown(app.get_name(), "subcommand", word, names);
      continue;
    }
    if (!word.starts_with('-') || word == "-" || is_number(word)) continue;
    const bool long_name = word.starts_with("--");
    const std::string name = long_name ? word.substr(2, word.find('=') - 2) : word.substr(1, 1);
    std::vector<std::string> known = {"--help"};
    bool found = long_name ? name == "help" : name == "h";
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& lname : option->get_lnames()) {
        known.push_back("--" + lname);
        found = found || (long_name && lname == name);
      }
      for (const std::string& sname : option->get_snames()) {
        known.push_back("-" + sname);
        found = found || (!long_name && sname == name);
      }
    }
    if (!found) {
      return unknown(app.get_name() + " " + command->get_name(), "option",
                     long_name ? "--" + name : word, known);
    }
  }
  return std::nullopt;
}

}  // namespace kaldo::tool
