#include "tool/sources/mbox.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
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
                           const std::string& path, const std::string& name, message_sink& sink) {
  use_gmime();
  gobject_ptr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MBOX);
  // Parts stay in the stream and are read from it when decoded, so a large
  // attachment never sits in memory twice.
  g_mime_parser_set_persist_stream(parser.get(), TRUE);
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
                              const std::string& path, const std::string& name, message_sink& sink) {
  gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(bytes));
  return parse_emails(stream.get(), stop, at, path, name, sink);
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


// The next bytes of an mbox: how many, 0 at its end, -1 on a read error.
using read_function = std::function<std::int64_t(char* buffer, std::size_t size)>;

// Reads the mbox whose bytes `read` hands out, in pieces. `seekable`, when
// set, is the stream `read` reads from: an e-mail too large for a piece is
// then parsed there. Otherwise (bytes that can be read only once) the
// piece that grew too large is moved to a temporary file, which takes the
// bytes that follow up to the first cut whose "From " line is whole, and
// is parsed as a piece of its own; the bytes past that cut start the next
// piece in memory.
void read_pieces(const read_function& read, GMimeStream* seekable, const std::string& path,
                 const std::string& name, message_sink& sink, const mbox_pieces& pieces) {
  use_gmime();
  mbox_cut_finder finder;
  std::vector<std::uint64_t> cuts;
  std::array<char, 256 * 1024> buffer;
  // The bytes from offset `begin` on, read and not yet parsed, and the cuts
  // in them: in `piece`, or in `spool` while an oversized e-mail is read.
  std::int64_t begin = 0;
  GByteArray* piece = g_byte_array_new();
  std::unique_ptr<spool_file> spool;
  std::int64_t offset = 0;         // of the next byte read
  std::int64_t last_newline = -1;  // offset of the last line feed read
  // At the file's start, whether a "From " line begins in the spool before
  // the cuts still ahead: the first piece must hold one (see below).
  bool from_line_seen = false;
  mbox_position at;
  std::string error;
  const auto release = [&] {
    if (piece != nullptr) g_byte_array_unref(piece);
    piece = nullptr;
  };
  for (;;) {
    if (sink.stopping()) {
      release();
      return;
    }
    const std::int64_t got = read(buffer.data(), buffer.size());
    // A read error ends the reading as the end of the file would.
    if (got <= 0) break;
    const std::int64_t chunk_at = offset;
    offset += got;
    finder.feed(buffer.data(), static_cast<std::size_t>(got), cuts);
    if (const void* newline = memrchr(buffer.data(), '\n', static_cast<std::size_t>(got))) {
      last_newline = chunk_at + (static_cast<const char*>(newline) - buffer.data());
    }

    if (!spool) {
      g_byte_array_append(piece, reinterpret_cast<const guint8*>(buffer.data()),
                          static_cast<guint>(got));
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
        const parse_outcome outcome = parse_in_memory(piece, in_piece, at, path, name, sink);
        piece = rest;
        if (outcome.broken) {
          release();
          return;
        }
        at.emails_before += outcome.emails;
        at.at_file_start = false;
        begin += in_piece;
      }
      std::erase_if(cuts, [&](std::uint64_t cut) { return static_cast<std::int64_t>(cut) <= begin; });
      if (piece->len <= pieces.most_bytes) continue;
      if (seekable != nullptr) {
        // An e-mail larger than any piece: the rest of the file is parsed
        // from the file itself, its parts left there.
        release();
        g_mime_stream_set_bounds(seekable, begin, -1);
        if (g_mime_stream_reset(seekable) != 0) {
          sink.skipped({path, {}, "cannot read: cannot seek in the file", true});
          return;
        }
        parse_emails(seekable, -1, at, path, name, sink);
        return;
      }
      spool = spool_file::create(&error);
      if (!spool || !spool->append(piece->data, piece->len, &error)) break;
      from_line_seen = !at.at_file_start;
      if (!from_line_seen) {
        const std::size_t first_cut = cuts.empty() ? piece->len : static_cast<std::size_t>(cuts.front() - begin);
        from_line_seen = piece->len >= 5 && from_line_before(piece->data, std::min<std::size_t>(first_cut, piece->len - 4));
      }
      release();
    } else if (!spool->append(buffer.data(), static_cast<std::size_t>(got), &error)) {
      break;
    }

    // The oversized e-mail ends at the first cut whose "From " line is
    // whole; the bytes from there on, fewer than a piece can hold, go
    // back to memory.
    std::int64_t end = -1;
    for (const std::uint64_t c : cuts) {
      const auto cut = static_cast<std::int64_t>(c);
      if (last_newline < cut) break;
      if (!from_line_seen) {
        from_line_seen = true;  // this cut's own line, before every later cut
        continue;
      }
      if (static_cast<std::uint64_t>(offset - cut) <= pieces.most_bytes) {
        end = cut;
        break;
      }
    }
    if (end < 0) continue;
    gobject_ptr<GMimeStream> stored = spool->stream(&error);
    if (!stored) break;
    const parse_outcome outcome = parse_emails(stored.get(), end - begin, at, path, name, sink);
    if (outcome.broken) return;
    at.emails_before += outcome.emails;
    at.at_file_start = false;
    const auto rest = static_cast<std::size_t>(offset - end);
    piece = g_byte_array_sized_new(static_cast<guint>(rest));
    g_byte_array_set_size(piece, static_cast<guint>(rest));
    if (spool->read_at(static_cast<std::uint64_t>(end - begin), reinterpret_cast<char*>(piece->data), rest) !=
        static_cast<std::int64_t>(rest)) {
      error = "cannot read a temporary file back";
      break;
    }
    spool.reset();
    begin = end;
    std::erase_if(cuts, [&](std::uint64_t cut) { return static_cast<std::int64_t>(cut) <= begin; });
  }
  if (!error.empty()) {
    release();
    sink.skipped({path, {}, "cannot read on past an oversized e-mail: " + error, true});
    return;
  }
  if (spool) {
    gobject_ptr<GMimeStream> stored = spool->stream(&error);
    if (!stored) {
      sink.skipped({path, {}, "cannot read on past an oversized e-mail: " + error, true});
      return;
    }
    parse_emails(stored.get(), -1, at, path, name, sink);
    return;
  }
  parse_in_memory(piece, -1, at, path, name, sink);
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
  const auto read = [stream](char* buffer, std::size_t size) -> std::int64_t {
    return g_mime_stream_read(stream, buffer, size);
  };
  read_pieces(read, stream, path, last_path_component(path), sink, pieces);
}

void read_mbox_unpacked(byte_stream& bytes, const std::string& path, const std::string& name,
                        message_sink& sink, const mbox_pieces& pieces) {
  const auto read = [&bytes](char* buffer, std::size_t size) { return bytes.read(buffer, size); };
  read_pieces(read, nullptr, path, name, sink, pieces);
}

void read_mbox_stream(GMimeStream* stream, const std::string& path, message_sink& sink) {
  parse_emails(stream, -1, {}, path, last_path_component(path), sink);
}

}  // namespace kaldo::tool
