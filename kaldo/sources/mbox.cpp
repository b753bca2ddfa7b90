#include "kaldo/sources/mbox.h"

#include "kaldo/sources/email.h"
#include "kaldo/paths.h"

namespace kaldo::tool {

bool looks_like_mbox(std::string_view head) { return head.starts_with("From "); }

void read_mbox(const std::string& path, message_sink& sink) {
  std::string error;
  gobject_ptr<GMimeStream> file = open_file_stream(path, &error);
  if (!file) {
    sink.skipped({path, {}, "cannot read: " + error, true});
    return;
  }
  read_mbox_stream(file.get(), path, sink);
}

void read_mbox_stream(GMimeStream* stream, const std::string& path, message_sink& sink) {
  use_gmime();
  GMimeStream* file = stream;
  gobject_ptr<GMimeParser> parser(g_mime_parser_new_with_stream(file));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MBOX);
  // Parts stay in the file and are read from it when decoded, so a large
  // attachment never sits in memory.
  g_mime_parser_set_persist_stream(parser.get(), TRUE);
  const std::string name = last_path_component(path);
  std::uint64_t index = 0;
  std::int64_t done = 0;
  while (!g_mime_parser_eos(parser.get())) {
    gobject_ptr<GMimeMessage> email(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!email) {
      if (index == 0 || !g_mime_parser_eos(parser.get())) {
        sink.skipped({path, index + 1, "broken e-mail: the mbox cannot be read on from here", true});
      }
      break;
    }
    ++index;
    email_place place;
    place.source = path;
    place.index = index;
    place.sms_name = name + "." + std::to_string(index) + ".eml";
    place.local_line_ends = true;
    const std::int64_t begin = g_mime_parser_get_headers_begin(parser.get());
    const std::int64_t end = g_mime_parser_tell(parser.get());
    read_parsed_email(email.get(), file, begin, end, place, sink);
    if (end > done) {
      sink.advanced(static_cast<std::uint64_t>(end - done));
      done = end;
    }
  }
}

}  // namespace kaldo::tool
