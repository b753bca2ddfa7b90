// The SMS e-mail parser: a tracker report received by SMS, saved as an
// e-mail. The Subject line carries the modem id as the digits directly
// before its first "@"; the body after the first blank line carries the
// message text. Nothing else of the e-mail is interpreted (no transfer
// encoding, no multi-part structure).
//
// E-mails are read with CR LF line ends; one without a CR LF blank line but
// with a bare LF one was saved with bare line feeds and is read the same
// way with "\n" in place of "\r\n".
#pragma once

#include <string>
#include <string_view>

namespace kaldo::detail {

class Q7RV_WMP_email_report {
 public:
  static constexpr int cannot_open = -1;
  static constexpr int invalid_format = -3;

  // Reads and parses the file: 0, cannot_open, or invalid_format when the
  // file has no blank line at all.
  int parse_file(const std::string& file_name);
  // Parses e-mail content already in memory: 0 or invalid_format.
  int parse_content(std::string_view content);

  std::string get_modem_id() const { return modem_id; }
  std::string get_message() const { return message; }

  // Position of the first `pattern` that begins at or after `start`, or -1.
  static long find_text(std::string_view text, std::string_view pattern,
                        long start);
  // The text of the first line that begins with `start_marker`, up to
  // `end_marker` (the line end). A match on the very first line includes
  // the marker; a later one does not.
  static std::string text_between(std::string_view text,
                                  std::string_view start_marker,
                                  std::string_view end_marker);

 private:
  std::string modem_id;
  std::string message;
};

// The modem id of a Subject text: the digits directly before its first "@",
// "UNKNOWN" without an "@".
std::string modem_id_from_subject(std::string_view subject);

}  // namespace kaldo::detail
