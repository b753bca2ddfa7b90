#include "tool/serve/mailbox_email.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <functional>

#include "tool/serve/session_message.h"
#include "tool/sources/email.h"
#include "tool/sources/gmime_support.h"

namespace kaldo::tool::serve {
namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

template <class Number>
std::optional<Number> number_at_start(std::string_view text) {
  Number value{};
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (failure != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// "<imei>_<momsn>.sbd", the name the gateway gives, after any folders.
bool read_attachment_name(std::string_view name, std::string* imei, std::optional<std::uint32_t>* momsn) {
  if (const auto slash = name.find_last_of("/\\"); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string extension(name.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension != "sbd") return false;
  const std::string_view stem = name.substr(0, dot);
  const auto cut = stem.find('_');
  const std::string_view first = stem.substr(0, cut);
  if (is_imei(first)) *imei = std::string(first);
  if (cut != std::string_view::npos && all_digits(stem.substr(cut + 1))) {
    *momsn = number_at_start<std::uint32_t>(stem.substr(cut + 1));
  }
  return true;
}

// "Thu Jun 20 14:38:55 2024" (UTC).
std::optional<std::int64_t> session_time_text(std::string_view text) {
  const std::string copy(trimmed(text));
  std::tm when{};
  const char* end = strptime(copy.c_str(), "%a %b %d %H:%M:%S %Y", &when);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return static_cast<std::int64_t>(timegm(&when));
}

// "Lat = 51.12345 Long = -1.23456"
void unit_location(std::string_view text, received_message& message) {
  const auto lat = text.find("Lat =");
  const auto lon = text.find("Long =");
  if (lat == std::string_view::npos || lon == std::string_view::npos) return;
  const auto latitude = number_at_start<double>(trimmed(text.substr(lat + 5)));
  const auto longitude = number_at_start<double>(trimmed(text.substr(lon + 6)));
  if (latitude && longitude && std::abs(*latitude) <= 90 && std::abs(*longitude) <= 180) {
    message.iridium_latitude = latitude;
    message.iridium_longitude = longitude;
  }
}

struct body_line {
  std::string_view label;  // up to and with the colon or equals sign
  std::function<void(std::string_view value, received_message&, service_body&)> read;
};

const std::vector<body_line>& body_lines() {
  static const std::vector<body_line> lines = {
      {"MOMSN:", [](std::string_view v, received_message&, service_body& b) {
         b.momsn = number_at_start<std::uint32_t>(trimmed(v));
       }},
      {"MTMSN:", [](std::string_view v, received_message& m, auto&) {
         if (auto n = number_at_start<std::uint16_t>(trimmed(v))) m.mtmsn = *n;
       }},
      {"Time of Session (UTC):", [](std::string_view v, received_message&, service_body& b) {
         b.session_time = session_time_text(v);
       }},
      // "00 - Transfer OK"
      {"Session Status:", [](std::string_view v, received_message& m, auto&) {
         if (auto n = number_at_start<int>(trimmed(v))) m.session_status = *n;
       }},
      {"Unit Location:", [](std::string_view v, received_message& m, auto&) { unit_location(v, m); }},
      {"CEPradius =", [](std::string_view v, received_message& m, auto&) {
         if (auto n = number_at_start<double>(trimmed(v)); n && *n >= 0) m.iridium_cep_km = *n;
       }},
  };
  return lines;
}

// Collects the attachments the e-mail reader finds.
class attachment_sink final : public message_sink {
 public:
  void found(found_message message) override { found_.push_back(std::move(message)); }
  void skipped(skipped_input input) override { skipped_.push_back(std::move(input.reason)); }
  std::vector<found_message> found_;
  std::vector<std::string> skipped_;
};

std::string text_of(GMimeObject* part) {
  if (part == nullptr || !GMIME_IS_TEXT_PART(part)) return {};
  char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
  if (text == nullptr) return {};
  std::string copy(text);
  g_free(text);
  return copy;
}

}  // namespace

service_body read_service_body(std::string_view body, received_message& message) {
  service_body said;
  while (!body.empty()) {
    const auto end = body.find('\n');
    std::string_view line = trimmed(body.substr(0, end));
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
    for (const body_line& known : body_lines()) {
      // "Unit Location: Lat = ... Long = ..." and "CEPradius = 4" may share a line.
      if (const auto at = line.find(known.label); at != std::string_view::npos) {
        std::string_view value = line.substr(at + known.label.size());
        if (known.label != "Unit Location:") value = value.substr(0, value.find("  "));
        known.read(value, message, said);
      }
    }
  }
  return said;
}

email_messages read_mailbox_email(std::string_view bytes, const mailbox_place& place,
                                  std::chrono::sys_time<std::chrono::milliseconds> received_at) {
  use_gmime();
  email_messages result;
  gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  gobject_ptr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  gobject_ptr<GMimeMessage> email(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!email) {
    result.none_because = "not an e-mail GMime can read";
    return result;
  }
  attachment_sink sink;
  email_place where;
  where.source = place.folder + "." + std::to_string(place.uid) + ".eml";
  where.sms_name = where.source;
  read_parsed_email(email.get(), stream.get(), 0, -1, where, sink);

  received_message common;
  common.channel = "imap";
  common.received_at = received_at;
  common.mailbox = place;
  common.peer = where.source;
  const service_body body = read_service_body(text_of(g_mime_message_get_body(email.get())), common);
  std::optional<std::int64_t> session_time = body.session_time;
  if (!session_time) {
    if (GDateTime* date = g_mime_message_get_date(email.get())) session_time = g_date_time_to_unix(date);
  }
  std::string subject_imei;
  if (const char* subject = g_mime_message_get_subject(email.get())) {
    const std::string_view text(subject);
    if (const auto at = text.find("Unit:"); at != std::string_view::npos) {
      const std::string_view digits = trimmed(text.substr(at + 5)).substr(0, 15);
      if (is_imei(digits)) subject_imei = std::string(digits);
    }
  }

  // An e-mail without attachments comes as an SMS e-mail, which the store
  // does not take.
  std::vector<const found_message*> payloads;
  bool any_attachment = false;
  for (const found_message& found : sink.found_) {
    if (found.kind != kaldo::encoding::sbd_payload) continue;
    any_attachment = true;
    if (!found.unreadable) payloads.push_back(&found);
  }
  if (payloads.empty()) {
    result.none_because = any_attachment ? "no readable .sbd attachment" : "no .sbd attachment";
    return result;
  }
  // The body's lines describe one session: with several attachments each
  // keeps only what its own name says.
  const bool one = payloads.size() == 1;
  for (const found_message* found : payloads) {
    received_message message = one ? common : received_message{};
    if (!one) {
      message.channel = common.channel;
      message.received_at = received_at;
      message.mailbox = place;
      message.peer = common.peer;
    }
    std::optional<std::uint32_t> momsn;
    read_attachment_name(found->origin.part.value_or(found->name), &message.imei, &momsn);
    if (message.imei.empty()) message.imei = subject_imei;
    if (!momsn && one) momsn = body.momsn;
    if (message.imei.empty() || !momsn || !session_time) {
      result.messages.clear();
      result.none_because = std::string("the attachment ") + found->name + " has no " +
                            (message.imei.empty() ? "IMEI" : !momsn ? "MOMSN" : "time of session") +
                            " in its name or the e-mail";
      return result;
    }
    message.momsn = *momsn;
    message.session_time = *session_time;
    message.payload = found->bytes;
    result.messages.push_back(std::move(message));
  }
  return result;
}

}  // namespace kaldo::tool::serve
