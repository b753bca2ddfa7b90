#include "tool/sources/email.h"

#include <array>
#include <memory>
#include <vector>

#include "kaldo/names.h"

namespace kaldo::tool {

namespace {

// Deeper nesting than any mail program writes; a hostile e-mail stops here.
constexpr int max_nesting = 64;

void collect_sbd_parts(GMimeObject* object, int depth, std::vector<GMimePart*>& parts) {
  if (object == nullptr || depth > max_nesting) return;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) {
      collect_sbd_parts(g_mime_multipart_get_part(multipart, i), depth + 1, parts);
    }
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* forwarded = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (forwarded != nullptr) {
      collect_sbd_parts(g_mime_message_get_mime_part(forwarded), depth + 1, parts);
    }
  } else if (GMIME_IS_PART(object)) {
    GMimePart* part = GMIME_PART(object);
    const char* name = g_mime_part_get_filename(part);
    if (name != nullptr && kaldo::file_kind_of(name) == kaldo::file_kind::sbd_attachment) {
      parts.push_back(part);
    }
  }
}

bool decodes(GMimeContentEncoding encoding) {
  return encoding == GMIME_CONTENT_ENCODING_BASE64 ||
         encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
         encoding == GMIME_CONTENT_ENCODING_UUENCODE;
}

// Reads `stream` to its end, keeping no more than `keep` bytes and
// counting them all. False on a read error.
bool read_head(GMimeStream* stream, std::size_t keep, std::string& bytes,
               std::uint64_t& length) {
  std::array<char, 64 * 1024> buffer;
  bytes.clear();
  length = 0;
  for (;;) {
    const ssize_t got = g_mime_stream_read(stream, buffer.data(), buffer.size());
    // A file stream with bounds answers -1, not 0, when read at its end: a
    // part of an e-mail file that is empty is empty, not unreadable.
    if (got < 0 && stream->bound_end != -1 && stream->position >= stream->bound_end) break;
    if (got < 0) return false;
    if (got == 0) break;
    if (bytes.size() < keep) {
      bytes.append(buffer.data(), std::min<std::size_t>(keep - bytes.size(), got));
    }
    length += static_cast<std::uint64_t>(got);
    if (g_mime_stream_eos(stream)) break;
  }
  return true;
}

gobject_ptr<GMimeStream> filtered(GMimeStream* source, GMimeFilter* filter) {
  gobject_ptr<GMimeStream> stream(g_mime_stream_filter_new(source));
  g_mime_stream_filter_add(GMIME_STREAM_FILTER(stream.get()), filter);
  g_object_unref(filter);
  return stream;
}

message_origin origin_of(const email_place& place, std::optional<std::string> part = {}) {
  if (!place.origin) return file_origin(place.source, place.index, std::move(part));
  message_origin origin = *place.origin;
  if (part) {
    origin.key.append("!").append(*part);
    origin.display_name.append("!").append(*part);
    origin.part = std::move(part);
  }
  return origin;
}

bool read_attachment(GMimePart* part, const email_place& place, message_sink& sink) {
  const std::string name = g_mime_part_get_filename(part);
  found_message message;
  message.origin = origin_of(place, name);
  message.name = name;
  message.kind = kaldo::encoding::sbd_payload;
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  GMimeStream* encoded = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
  if (encoded != nullptr) {
    g_mime_stream_reset(encoded);
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    gobject_ptr<GMimeStream> decoded;
    GMimeStream* stream = encoded;
    if (decodes(encoding)) {
      decoded = filtered(encoded, g_mime_filter_basic_new(encoding, FALSE));
      stream = decoded.get();
    }
    if (!read_head(stream, kept_payload_bytes, message.bytes, message.full_length)) {
      sink.skipped({place.source, place.index, "cannot read an attachment", true});
      return false;
    }
  }
  sink.found(std::move(message));
  return true;
}

}  // namespace

bool read_parsed_email(GMimeMessage* email, GMimeStream* raw, std::int64_t begin,
                       std::int64_t end, const email_place& place, message_sink& sink) {
  std::vector<GMimePart*> parts;
  collect_sbd_parts(g_mime_message_get_mime_part(email), 0, parts);
  if (!parts.empty()) {
    bool all_read = true;
    for (GMimePart* part : parts) all_read = read_attachment(part, place, sink) && all_read;
    return all_read;
  }

  // An SMS e-mail: its raw bytes, as a saved .eml file holds them.
  const std::int64_t stored_end = end >= 0 ? end : g_mime_stream_length(raw);
  if (stored_end >= 0 && static_cast<std::uint64_t>(stored_end - begin) > max_sms_email_bytes) {
    sink.skipped({place.source, place.index, "an e-mail without .sbd attachments, too large for an SMS e-mail", false});
    return true;
  }
  found_message message;
  message.origin = origin_of(place);
  message.name = place.sms_name;
  message.kind = kaldo::encoding::sms_text;
  gobject_ptr<GMimeStream> range(g_mime_stream_substream(raw, begin, end));
  std::uint64_t length = 0;
  if (!read_head(range.get(), max_sms_email_bytes, message.bytes, length)) {
    sink.skipped({place.source, place.index, "cannot read the e-mail", true});
    return false;
  }
  // In an mbox the empty line before the next "From " line separates
  // e-mails; it is not part of the one before.
  if (place.index && message.bytes.ends_with("\n\n")) message.bytes.pop_back();
  if (place.local_line_ends) {
    gobject_ptr<GMimeStream> stored(g_mime_stream_mem_new_with_buffer(message.bytes.data(), message.bytes.size()));
    gobject_ptr<GMimeStream> wire = filtered(stored.get(), g_mime_filter_unix2dos_new(FALSE));
    if (!read_head(wire.get(), 2 * max_sms_email_bytes, message.bytes, length)) {
      sink.skipped({place.source, place.index, "cannot read the e-mail", true});
      return false;
    }
  }
  sink.found(std::move(message));
  return true;
}

void read_email_file(const email_place& place, message_sink& sink) {
  std::string error;
  gobject_ptr<GMimeStream> file = open_file_stream(place.source, &error);
  if (!file) {
    found_message message;
    message.origin = file_origin(place.source);
    message.name = place.sms_name;
    message.kind = kaldo::encoding::sms_text;
    message.unreadable = kaldo::read_refusal::cannot_read_email;
    sink.found(std::move(message));
    return;
  }
  read_email_stream(file.get(), place, sink);
}

void read_email_unpacked(byte_stream& bytes, const email_place& place, message_sink& sink) {
  use_gmime();
  // GMime parses from a stream it can seek in, and leaves the parts there:
  // memory for a small e-mail, a temporary file past held_email_bytes.
  GByteArray* held = g_byte_array_new();
  std::unique_ptr<spool_file> spool;
  std::string error;
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    const std::int64_t got = bytes.read(buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) {
      if (held != nullptr) g_byte_array_unref(held);
      return;
    }
    if (spool) {
      if (!spool->append(buffer.data(), static_cast<std::size_t>(got), &error)) break;
      continue;
    }
    g_byte_array_append(held, reinterpret_cast<const guint8*>(buffer.data()), static_cast<guint>(got));
    if (held->len > held_email_bytes) {
      spool = spool_file::create(&error);
      const bool moved = spool && spool->append(held->data, held->len, &error);
      g_byte_array_unref(held);
      held = nullptr;
      if (!moved) break;
    }
  }
  if (!error.empty()) {
    if (held != nullptr) g_byte_array_unref(held);
    sink.skipped({place.source, place.index, "cannot read a large e-mail: " + error, true});
    return;
  }
  gobject_ptr<GMimeStream> stream;
  if (spool) {
    stream = spool->stream(&error);
    if (!stream) {
      sink.skipped({place.source, place.index, "cannot read a large e-mail: " + error, true});
      return;
    }
  } else {
    // The stream takes over the bytes.
    stream.reset(g_mime_stream_mem_new_with_byte_array(held));
  }
  read_email_stream(stream.get(), place, sink);
}

void read_email_stream(GMimeStream* stream, const email_place& place, message_sink& sink) {
  use_gmime();
  gobject_ptr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  // Parts stay in the file and are read from it when decoded, so a large
  // attachment never sits in memory.
  g_mime_parser_set_persist_stream(parser.get(), TRUE);
  gobject_ptr<GMimeMessage> email(g_mime_parser_construct_message(parser.get(), nullptr));
  if (email) {
    read_parsed_email(email.get(), stream, 0, -1, place, sink);
    return;
  }
  // Not MIME at all: still what Kaldo_Command_Line reads as an SMS e-mail.
  gobject_ptr<GMimeMessage> empty(g_mime_message_new(FALSE));
  read_parsed_email(empty.get(), stream, 0, -1, place, sink);
}

}  // namespace kaldo::tool
