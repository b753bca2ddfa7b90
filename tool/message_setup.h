// From a found message to the library's call: the bytes to convert or
// decode and the settings, with the modem id found the way
// Kaldo_Command_Line finds it (the attachment's or file's name, or the
// SMS e-mail's Subject line). Shared by every subcommand, so that each
// reads a message exactly as the single-file program does.
#pragma once

#include <optional>
#include <string>

#include "tool/found_message.h"
#include "kaldo/kaldo.h"

namespace kaldo::tool {

class prepared_message {
 public:
  // `found` must outlive this object; `how` gives the format and century.
  prepared_message(const found_message& found, const kaldo::settings& how);
  prepared_message(const prepared_message&) = delete;
  prepared_message& operator=(const prepared_message&) = delete;

  // When set, the message cannot be decoded at all, and this is every
  // byte Kaldo_Command_Line prints for it ("Cannot Open File.\r\n",
  // "Error:Invalid Format").
  const std::optional<std::string>& refusal() const { return refusal_; }
  // The message to hand to kaldo::convert_message or kaldo::decode_message.
  kaldo::message message() const;
  const kaldo::settings& settings() const { return settings_; }

 private:
  const found_message& found_;
  kaldo::settings settings_;
  std::string sms_text_;  // an SMS e-mail's message text
  std::optional<std::string> refusal_;
};

}  // namespace kaldo::tool
