// A subcommand of the kaldo program: its name, one line on what it does,
// and how it is set up on the command line. main.cpp holds the table.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace kaldo::tool {

// Declares the subcommand's options on `command` and returns what runs it
// once they are parsed: the exit status of the run.
using subcommand_setup = std::function<int()> (*)(CLI::App& command);

struct subcommand {
  const char* name;
  const char* description;
  subcommand_setup setup;
};

}  // namespace kaldo::tool
