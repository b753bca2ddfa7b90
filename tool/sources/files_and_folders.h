// Files and folders: the inputs given by path. A folder is walked in name
// order, following symbolic links; each file is read by the reader its
// name or first bytes call for (.sbd, .eml, mbox), each Maildir folder as
// one.
#pragma once

#include <memory>
#include <string>

#include "tool/sources/source.h"

namespace kaldo::tool {

std::unique_ptr<source> open_files_and_folders(const std::string& path,
                                               const source_settings& settings);

}  // namespace kaldo::tool
