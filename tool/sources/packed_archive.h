// Archives and compressed files, unpacked with libarchive as they are read;
// nothing is unpacked to disk but what waits for its turn.
//
// A compressed file (.gz, .bz2, .xz) is the file it holds, named without
// that suffix: x.sbd.gz is read as the file x.sbd, box.mbox.gz as the mbox
// box.mbox; what it holds is known by that name or its first bytes, as a
// file of a folder is. Messages and reports name the compressed file.
//
// A zip or tar archive (.zip, .tar, .tar.gz, .tgz, .tar.bz2, .tbz2, .tbz,
// .tar.xz, .txz; or a compressed file that holds one) is read as the
// folder it unpacks to: its files in the order the walk reads that folder
// (name order, a Maildir folder as one), each read as a file of a folder
// and named "archive.zip!path/in/archive". An archive inside an archive is
// passed over, saying so; links in an archive are not followed.
//
// Name order whatever the order of the archive, in bounded memory: a first
// pass lists the names (as a folder is listed, names only), a second reads
// the files in turn. A file met before its turn waits in a temporary file
// when it is small; a larger one is read on a later pass.
//
// A broken archive costs itself only: it is reported, with its name and
// the reason, as unreadable, after whatever it held before the break.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tool/sources/source.h"

namespace kaldo::tool {

// Whether `name` (a file name) is that of an archive or a compressed file.
bool names_packed_file(std::string_view name);

struct packed_limits {
  // A file met before its turn waits in a temporary file up to this size;
  // a larger one is read on a later pass over the archive.
  std::uint64_t waiting_file_bytes = 8u << 20;
};

// Hands on the messages of every file in the archive or compressed file at
// `path`; its progress is the compressed bytes read.
void read_packed_file(const std::string& path, message_sink& sink, const packed_limits& limits = {});

}  // namespace kaldo::tool
