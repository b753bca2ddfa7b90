// Files and folders: the inputs given by path. A folder is walked in name
// order, following symbolic links; each file is read by the reader its
// name or first bytes call for (.sbd, .eml, mbox, archive), each Maildir
// folder as one.
#pragma once

#include <memory>
#include <string>

#include "tool/sources/byte_stream.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

// A file of an archive, read as the archive unpacks it.
struct unpacked_file {
  std::string path;  // how reports name it: "fleet.zip!unit1/x.sbd"
  std::string name;  // its own name: "x.sbd"
  byte_stream& bytes;
};

// Reads `file` with the reader its name or first bytes call for, as a file
// of a folder is read; an archive in it is passed over, saying so. Hands
// on nothing of bytes that fail (file.bytes.failure() says why, for the
// caller to report), but what was read before of an mbox.
void read_unpacked_file(const unpacked_file& file, message_sink& sink);

std::unique_ptr<source> open_files_and_folders(const std::string& path,
                                               const source_settings& settings);

}  // namespace kaldo::tool
