// Telling a misspelt word from an unknown one: a subcommand or option
// typed almost right is named back with the one meant, rather than met
// with a complaint about something else that is missing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace kaldo::tool {

// The candidate closest to `word` by edit distance, when it is close
// enough to be what was meant.
std::optional<std::string> closest_word(std::string_view word, const std::vector<std::string>& candidates);

// Checks the words of a command line before CLI11 parses it: the first
// word that is not an option must name a subcommand of `app`, and every
// option after it one of that subcommand's. Returns the message for the
// first word that does not ("kaldo: unknown subcommand 'conver' (did you
// mean 'convert'?)"), or nothing.
std::optional<std::string> unknown_word(const CLI::App& app, const std::vector<std::string>& words);

}  // namespace kaldo::tool
