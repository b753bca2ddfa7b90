// A small file system that fills up, for tests of what kaldo does on a full
// disk: a tmpfs mounted in a forked child that has a mount namespace of its
// own, so that nothing else sees it and it goes with the child. Takes root.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace kaldo::tool::testing {

inline constexpr std::size_t tmpfs_page = 4096;  // what tmpfs counts in

// Runs `body` in a forked child with a tmpfs of 64 MB at `mountpoint`, and
// gives back what it returned; empty, with the reason in `*unavailable`,
// when no tmpfs could be mounted.
std::optional<std::string> in_own_tmpfs(const std::string& mountpoint, const std::function<std::string()>& body,
                                        std::string* unavailable);

// From `body`: makes the tmpfs at `mountpoint` hold what it holds and
// `room` pages more.
bool leave_room(const std::string& mountpoint, std::size_t room);

}  // namespace kaldo::tool::testing
