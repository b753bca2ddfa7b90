// Paths as byte strings: POSIX file names are bytes, not text, and a
// message's path is kept exactly as found until it is shown.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kaldo::tool {

// "b.sbd" of "a/b.sbd"; the whole text when it has no "/".
std::string last_path_component(std::string_view path);

// `folder` + "/" + `name`, without doubling a "/" the folder ends with.
std::string join_path(std::string_view folder, std::string_view name);

// The names in `folder` but "." and "..", in byte order. False with the
// reason when the folder cannot be read.
bool list_folder(const std::string& folder, std::vector<std::string>& names,
                 std::string* error);

}  // namespace kaldo::tool
