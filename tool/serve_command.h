// kaldo serve: receives messages as they are sent (DirectIP from the
// gateway, webhooks from the providers), stores each one with its
// positions, and confirms it only once it is committed.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace kaldo::tool {

std::function<int()> setup_serve_command(CLI::App& command);

}  // namespace kaldo::tool
