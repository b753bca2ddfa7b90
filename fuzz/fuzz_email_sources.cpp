// kaldo's e-mail sources over arbitrary bytes, read as one e-mail and as an
// mbox: which e-mails carry .sbd attachments, their extraction through
// GMime, the raw bytes of an SMS e-mail, and the conversion that follows.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kaldo/kaldo.h"
#include "tool/output_names.h"
#include "tool/sources/email.h"
#include "tool/sources/mbox.h"

using namespace kaldo::tool;

namespace {

class checking_sink final : public message_sink {
 public:
  explicit checking_sink(std::size_t input_size) : input_size_(input_size) {}

  void found(found_message message) override {
    if (message.kind == kaldo::encoding::sbd_payload) {
      if (message.bytes.size() > kept_payload_bytes) __builtin_trap();
      if (message.full_length < message.bytes.size()) __builtin_trap();
      if (!message.origin.part || message.origin.part->empty()) __builtin_trap();
    } else if (message.bytes.size() > 2 * input_size_ + 2) {
      __builtin_trap();  // CR LF restored at most doubles the bytes
    }
    const std::string file = clean_file_name(message.name);
    if (file.empty() || file.find('/') != std::string::npos) __builtin_trap();
    kaldo::settings how;
    how.format = 1 + static_cast<int>(message.bytes.size() % 10);
    const kaldo::saved_message saved = read_found_message(message);
    if (saved.ok()) kaldo::convert_message(saved.view(), saved.with_modem_id(how));
  }
  void skipped(skipped_input input) override {
    if (input.reason.empty()) __builtin_trap();
  }

 private:
  std::size_t input_size_;
};

// Everything a reading hands on, to compare two readings of one mbox.
class recording_sink final : public message_sink {
 public:
  void found(found_message m) override {
    log.push_back("found " + std::to_string(m.origin.index.value_or(0)) + " " + m.origin.part.value_or("-") +
                  " " + m.name + " " + std::to_string(m.full_length) + " " + m.bytes);
  }
  void skipped(skipped_input s) override {
    log.push_back("skipped " + std::to_string(s.index.value_or(0)) + " " + s.reason);
  }
  void advanced(std::uint64_t bytes) override { read += bytes; }
  std::vector<std::string> log;
  std::uint64_t read = 0;
};

// No NUL byte, and no line longer than the 998 bytes mail allows.
bool is_mail_text(const std::uint8_t* data, std::size_t size) {
  std::size_t line = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) return false;
    line = data[i] == '\n' ? 0 : line + 1;
    if (line > 998) return false;
  }
  return true;
}

recording_sink read_mbox_bytes(const std::uint8_t* data, std::size_t size,
                               const mbox_pieces* pieces) {
  recording_sink sink;
  gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
      reinterpret_cast<const char*>(data), size));
  if (pieces != nullptr) {
    read_mbox_in_pieces(stream.get(), "fuzz.mbox", sink, *pieces);
  } else {
    read_mbox_stream(stream.get(), "fuzz.mbox", sink);
  }
  return sink;
}

// Whether one parser reading the whole mbox gives what it gives with `pad`
// empty lines in front, which no e-mail takes in but which move every byte
// to another place in GMime's reads.
bool same_when_moved(const std::uint8_t* data, std::size_t size, const recording_sink& whole,
                     std::size_t pad) {
  std::vector<std::uint8_t> moved(pad, '\n');
  moved.insert(moved.end(), data, data + size);
  const recording_sink again = read_mbox_bytes(moved.data(), moved.size(), nullptr);
  return again.log == whole.log && again.read == whole.read + pad;
}

// Whether what GMime makes of the mbox depends on where its reads fall.
// Some malformed headers (a field name with blanks in it, for one) are
// taken in one way or another depending on where a read of GMime's ends,
// so that a few bytes more in front of the mbox change the e-mails it
// finds; for such an mbox there is no one reading to compare pieces with.
bool depends_on_read_places(const std::uint8_t* data, std::size_t size, const recording_sink& whole) {
  std::vector<std::size_t> pads = {1, 2, 3, 5, 8, 13, 21, 64, 100, 333, 1000, 2047, 4095};
  // Each e-mail moved to where a piece would start it.
  for (std::size_t at = 0; at + 6 <= size && pads.size() < 64; ++at) {
    if (data[at] == '\n' && std::memcmp(data + at + 1, "From ", 5) == 0) {
      pads.push_back(4096 - (at + 1) % 4096);
    }
  }
  for (const std::size_t pad : pads) {
    if (!same_when_moved(data, size, whole, pad)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  use_gmime();
  checking_sink sink(size);
  {
    // A copy: GMime's memory stream may not own the fuzzer's buffer.
    gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
        reinterpret_cast<const char*>(data), size));
    email_place place;
    place.source = "fuzz.eml";
    place.sms_name = "fuzz.eml";
    place.local_line_ends = size % 2 == 1;
    read_email_stream(stream.get(), place, sink);
  }
  {
    gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
        reinterpret_cast<const char*>(data), size));
    read_mbox_stream(stream.get(), "fuzz.mbox", sink);
  }
  // Read in pieces (one e-mail a piece, or the rest from the stream once a
  // piece grows past a few hundred bytes), an mbox gives exactly what one
  // parser over the whole of it gives: for mail as mail programs write it.
  // With NUL bytes, lines longer than mail allows or malformed headers,
  // what GMime makes of a header can depend on where its reads happen to
  // fall, even with one parser, so there is no one answer to compare with.
  if (!is_mail_text(data, size)) return 0;
  const recording_sink whole = read_mbox_bytes(data, size, nullptr);
  const mbox_pieces settings[] = {{1, 32u << 20}, {1, 300}};
  for (const mbox_pieces& pieces : settings) {
    const recording_sink in_pieces = read_mbox_bytes(data, size, &pieces);
    if ((in_pieces.log != whole.log || in_pieces.read != whole.read) &&
        !depends_on_read_places(data, size, whole)) {
      __builtin_trap();
    }
  }
  return 0;
}
