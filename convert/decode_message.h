// The one operation that turns a message into output text, and its first
// half, which the typed decoding shares.
//
// Input mode 0 gives the binary SBD payload; input mode 2 an SMS text whose
// first report is written in hexadecimal. The message is classified (remote
// update responses and chat messages are answered with a sentence), checked
// for its length and type, and its reports are walked in the record's
// output format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/gps_report_convert.h"

namespace kaldo::detail {

// The binary message whose reports are walked: the caller's bytes, or the
// conversion of an SMS text, owned here. It points into itself, so it is
// neither copied nor moved.
class message_work {
 public:
  message_work() = default;
  message_work(const message_work&) = delete;
  message_work& operator=(const message_work&) = delete;

  const unsigned char* bytes() const { return bytes_; }
  std::size_t size() const { return size_; }

  void refer_to(const unsigned char* bytes, std::size_t size) {
    bytes_ = bytes;
    size_ = size;
  }
  // The buffer an SMS text is converted into; refer_to it afterwards.
  std::string& converted() { return converted_; }

 private:
  const unsigned char* bytes_ = nullptr;
  std::size_t size_ = 0;
  std::string converted_;
};

// Classifies and checks a message. Returns 0 when its reports are to be
// walked from `work` (`record.message_type` is then set), or -1 with the
// text to print after "Error: " in `out`. Reads only bytes[0, length).
int open_message(gps_report_convert& record, const unsigned char* bytes,
                 std::size_t length, message_work& work, std::string& out);

// Returns 0 with the converted text in `out`, or -1 with the text to print
// after "Error: ". Reads only bytes[0, length).
int decode_message(gps_report_convert& record, const unsigned char* bytes,
                   std::size_t length, std::string& out);

// The answer for an SBD payload too long for any message, of which only
// the first `available` bytes were kept: a remote update response, or an
// invalid length.
int decode_oversized_payload(gps_report_convert& record,
                             const unsigned char* bytes, std::size_t available,
                             std::uint64_t length, std::string& out);

}  // namespace kaldo::detail
