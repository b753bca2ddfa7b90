// kaldo's e-mail sources over arbitrary bytes, read as one e-mail and as an
// mbox: which e-mails carry .sbd attachments, their extraction through
// GMime, the raw bytes of an SMS e-mail, and the conversion that follows.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kaldo/kaldo.h"
#include "kaldo/message_setup.h"
#include "kaldo/output_names.h"
#include "kaldo/sources/email.h"
#include "kaldo/sources/mbox.h"

using namespace kaldo::tool;

namespace {

class checking_sink final : public message_sink {
 public:
  explicit checking_sink(std::size_t input_size) : input_size_(input_size) {}

  void found(found_message message) override {
    if (message.kind == kaldo::encoding::sbd_payload) {
      if (message.bytes.size() > kept_payload_bytes) __builtin_trap();
      if (message.full_length < message.bytes.size()) __builtin_trap();
      if (!message.part || message.part->empty()) __builtin_trap();
    } else if (message.bytes.size() > 2 * input_size_ + 2) {
      __builtin_trap();  // CR LF restored at most doubles the bytes
    }
    const std::string file = clean_file_name(message.name);
    if (file.empty() || file.find('/') != std::string::npos) __builtin_trap();
    kaldo::settings how;
    how.format = 1 + static_cast<int>(message.bytes.size() % 10);
    const prepared_message prepared(message, how);
    if (!prepared.refusal()) kaldo::convert_message(prepared.message(), prepared.settings());
  }
  void skipped(skipped_input input) override {
    if (input.reason.empty()) __builtin_trap();
  }

 private:
  std::size_t input_size_;
};

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
  return 0;
}
