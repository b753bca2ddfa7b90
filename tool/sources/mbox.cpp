#include "tool/sources/mbox.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "tool/paths.h"
#include "tool/sources/email.h"
#include "tool/sources/mbox_cuts.h"

namespace kaldo::tool {

namespace {

// Where the e-mails parsed next sit in the mbox.
struct mbox_position {
  std::uint64_t emails_before = 0;  // counts the index on
  bool at_file_start = true;
};

struct parse_outcome {
  std::uint64_t emails = 0;
  bool broken = false;  // a broken e-mail ended the reading of the mbox
};

// Parses, with one parser, the e-mails of `stream` from its position on
// that start before offset `stop` (-1: all of them).
parse_outcome parse_emails(GMimeStream* stream, std::int64_t stop, const mbox_position& at,
                           const std::string& path, message_sink& sink) {
  use_gmime();
  gobject_ptr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MBOX);
  // Parts stay in the stream and are read from it when decoded, so a large
  // attachment never sits in memory twice.
  g_mime_parser_set_persist_stream(parser.get(), TRUE);
  const std::string name = last_path_component(path);
  parse_outcome outcome;
  std::int64_t done = g_mime_parser_tell(parser.get());
  while (!g_mime_parser_eos(parser.get())) {
    if (stop >= 0 && g_mime_parser_tell(parser.get()) >= stop) break;
    gobject_ptr<GMimeMessage> email(g_mime_parser_construct_message(parser.get(), nullptr));
    const std::uint64_t index = at.emails_before + outcome.emails + 1;
    if (!email) {
      if ((at.at_file_start && outcome.emails == 0) || !g_mime_parser_eos(parser.get())) {
        sink.skipped({path, index, "broken e-mail: the mbox cannot be read on from here", true});
        outcome.broken = true;
      }
      break;
    }
    ++outcome.emails;
    email_place place;
    place.source = path;
    place.index = index;
    place.sms_name = name + "." + std::to_string(index) + ".eml";
    place.local_line_ends = true;
    const std::int64_t begin = g_mime_parser_get_headers_begin(parser.get());
    const std::int64_t end = g_mime_parser_tell(parser.get());
    read_parsed_email(email.get(), stream, begin, end, place, sink);
    if (end > done) {
      sink.advanced(static_cast<std::uint64_t>(end - done));
      done = end;
    }
  }
  return outcome;
}

// The e-mails in `bytes` that start before offset `stop` in it (-1: all),
// parsed in memory. Takes over `bytes`.
parse_outcome parse_in_memory(GByteArray* bytes, std::int64_t stop, const mbox_position& at,
                              const std::string& path, message_sink& sink) {
  gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(bytes));
  return parse_emails(stream.get(), stop, at, path, sink);
}

// Whether a line that starts with "From " begins before `end` in `data`
// (which holds at least five bytes past `end`).
bool from_line_before(const guint8* data, std::size_t end) {
  for (std::size_t line = 0; line < end;) {
    if (std::memcmp(data + line, "From ", 5) == 0) return true;
    const void* next = std::memchr(data + line, '\n', end - line);
    if (next == nullptr) return false;
    line = static_cast<std::size_t>(static_cast<const guint8*>(next) - data) + 1;
  }
  return false;
}

}  // namespace

bool looks_like_mbox(std::string_view head) { return head.starts_with("From "); }

void read_mbox(const std::string& path, message_sink& sink) {
  std::string error;
  gobject_ptr<GMimeStream> file = open_file_stream(path, &error);
  if (!file) {
    sink.skipped({path, {}, "cannot read: " + error, true});
    return;
  }
  read_mbox_in_pieces(file.get(), path, sink);
}

void read_mbox_in_pieces(GMimeStream* stream, const std::string& path, message_sink& sink,
                         const mbox_pieces& pieces) {
  use_gmime();
  mbox_cut_finder finder;
  std::vector<std::uint64_t> cuts;
  std::array<char, 256 * 1024> buffer;
  // The bytes from offset `begin` on, read and not yet parsed, and the cuts
  // in them.
  std::int64_t begin = 0;
  GByteArray* piece = g_byte_array_new();
  mbox_position at;
  for (;;) {
    if (sink.stopping()) {
      g_byte_array_unref(piece);
      return;
    }
    const ssize_t got = g_mime_stream_read(stream, buffer.data(), buffer.size());
    // A read error ends the reading as the end of the file would.
    if (got <= 0) break;
    g_byte_array_append(piece, reinterpret_cast<const guint8*>(buffer.data()),
                        static_cast<guint>(got));
    finder.feed(buffer.data(), static_cast<std::size_t>(got), cuts);

    // Parse a piece up to each cut past the piece size whose "From " line
    // is whole in memory: the parser sees that line end the e-mail before
    // it, as it would reading on.
    for (const std::uint64_t cut : cuts) {
      const auto in_piece = static_cast<std::int64_t>(cut) - begin;
      if (in_piece <= 0 || static_cast<std::uint64_t>(in_piece) < pieces.bytes) continue;
      const std::size_t held = piece->len;
      if (std::memchr(piece->data + in_piece, '\n', held - in_piece) == nullptr) break;
      // Bytes before the first "From " line are no e-mail: the first piece
      // must hold that line, or its parser would read on past its end.
      if (at.at_file_start && !from_line_before(piece->data, static_cast<std::size_t>(in_piece))) {
        continue;
      }
      GByteArray* rest = g_byte_array_new();
      g_byte_array_append(rest, piece->data + in_piece, static_cast<guint>(held - in_piece));
      const parse_outcome outcome = parse_in_memory(piece, in_piece, at, path, sink);
      piece = rest;
      if (outcome.broken) {
        g_byte_array_unref(piece);
        return;
      }
      at.emails_before += outcome.emails;
      at.at_file_start = false;
      begin += in_piece;
    }
    std::erase_if(cuts, [&](std::uint64_t cut) { return static_cast<std::int64_t>(cut) <= begin; });
    if (piece->len > pieces.most_bytes) {
      // An e-mail larger than any piece: the rest of the file is parsed
      // from the file itself, its parts left there.
      g_byte_array_unref(piece);
      g_mime_stream_set_bounds(stream, begin, -1);
      if (g_mime_stream_reset(stream) != 0) {
        sink.skipped({path, {}, "cannot read: cannot seek in the file", true});
        return;
      }
      parse_emails(stream, -1, at, path, sink);
      return;
    }
  }
  parse_in_memory(piece, -1, at, path, sink);
}

void read_mbox_stream(GMimeStream* stream, const std::string& path, message_sink& sink) {
  parse_emails(stream, -1, {}, path, sink);
}

}  // namespace kaldo::tool
