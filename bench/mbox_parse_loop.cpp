// The floor for kaldo convert on an mbox: GMime's parser run over the file
// the way kaldo runs it (mbox format, parts left in the file), each e-mail
// built and freed, nothing else read or decoded. One thread, or THREADS
// threads each parsing its share of the e-mails, to show how parsing
// scales. With OUTPUT_FOLDER, a file of 282 bytes (a one-report message in
// format 7) is also written there for every e-mail.
//   mbox_parse_loop MBOX [THREADS [OUTPUT_FOLDER]]
#include <gmime/gmime.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

struct share {
  gint64 begin = 0;
  gint64 stop = -1;  // the e-mails starting before this offset; -1: all
  long emails = 0;
};

const char* output_folder = nullptr;

void write_output(long number) {
  static const std::string text(282, 'x');
  const std::string name = std::string(output_folder) + "/" + std::to_string(number) + ".txt";
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  if (::write(fd, text.data(), text.size()) < 0) std::perror(name.c_str());
  ::close(fd);
}

void parse(const char* path, share& part) {
  GMimeStream* stream = g_mime_stream_fs_open(path, O_RDONLY, 0, nullptr);
  if (stream == nullptr) return;
  g_mime_stream_set_bounds(stream, part.begin, -1);
  g_mime_stream_reset(stream);
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_mime_parser_set_format(parser, GMIME_FORMAT_MBOX);
  g_mime_parser_set_persist_stream(parser, TRUE);
  while (!g_mime_parser_eos(parser)) {
    if (part.stop >= 0 && g_mime_parser_tell(parser) >= part.stop) break;
    GMimeMessage* email = g_mime_parser_construct_message(parser, nullptr);
    if (email == nullptr) break;
    ++part.emails;
    g_object_unref(email);
    if (output_folder != nullptr) write_output(part.begin * 1000 + part.emails);
  }
  g_object_unref(parser);
  g_object_unref(stream);
}

// Offsets where a "From " line follows an empty line, about evenly apart.
std::vector<gint64> cuts(const char* path, unsigned count) {
  std::vector<gint64> found;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return found;
  std::string bytes;
  char buffer[1 << 16];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  std::fclose(file);
  for (unsigned i = 1; i < count; ++i) {
    const std::size_t at = bytes.find("\n\nFrom ", bytes.size() / count * i);
    if (at != std::string::npos) found.push_back(static_cast<gint64>(at + 2));
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: mbox_parse_loop MBOX [THREADS [OUTPUT_FOLDER]]\n");
    return 2;
  }
  const unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
  if (argc > 3) output_folder = argv[3];
  g_mime_init();
  std::vector<share> parts(1);
  for (const gint64 cut : cuts(argv[1], threads)) {
    parts.back().stop = cut;
    parts.push_back({cut, -1, 0});
  }
  std::vector<std::thread> running;
  for (share& part : parts) running.emplace_back(parse, argv[1], std::ref(part));
  long emails = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    running[i].join();
    emails += parts[i].emails;
  }
  std::printf("%ld e-mails\n", emails);
  return 0;
}
