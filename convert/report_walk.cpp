#include "convert/report_walk.h"

#include <algorithm>

#include "decode/gsm_latin1.h"
#include "decode/message_layout.h"
#include "decode/report_fields.h"

namespace kaldo::detail {

std::string status_line(const gps_report_convert& record, status_line_kind kind) {
  const bool emergency = record.emergency != 0;
  switch (kind) {
    case status_line_kind::emergency_element:
      return emergency ? "<Emergency>1</Emergency>\r\n"
                       : "<Emergency>0</Emergency>\r\n";
    case status_line_kind::word_line:
      return emergency ? "Emergency\r\n" : "Normal\r\n";
    case status_line_kind::digit_line:
      return emergency ? "1\r\n" : "0\r\n";
    case status_line_kind::emergency_only:
      return emergency ? "Emergency\r\n" : "";
    case status_line_kind::none:
      break;
  }
  return {};
}

std::string missed_line(std::size_t count, std::size_t index) {
  if (count < 2 || count > 4 || index + 1 >= count) return {};
  return "Missed " + std::to_string(index + 1) + "\r\n";
}

const std::string& printed_modem_id(gps_report_convert& record) {
  if (record.modem_id.empty()) record.modem_id = "No ModemID";
  return record.modem_id;
}

std::string modem_id_line(gps_report_convert& record, modem_id_line_kind kind) {
  if (kind == modem_id_line_kind::bare_line) return record.modem_id + "\r\n";
  printed_modem_id(record);
  if (kind == modem_id_line_kind::id_element) {
    return "<ID>" + record.modem_id + "</ID>\r\n";
  }
  return "ModemID=" + record.modem_id + "\r\n";
}

void read_modem_id_from_tail(gps_report_convert& record,
                             const unsigned char* tail, std::size_t length) {
  const bool gsm = record.message_type == 103;
  const bool underscores_are_spaces = record.input_mode == 0 && !gsm;
  std::string id;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = tail[i];
    if (c == '\r' || c == '\0') break;
    if (underscores_are_spaces && c == '_') c = ' ';
    id += static_cast<char>(c);
  }
  record.modem_id = gsm ? gsm_to_latin1(id) : id;
}

void take_modem_id_from_message(gps_report_convert& record,
                                const unsigned char* work, std::size_t work_length) {
  if (!record.modem_id_in_message) return;
  const std::size_t tail = report_offset(work[1]);
  read_modem_id_from_tail(record, work + tail, work_length - tail);
}

void copy_report(gps_report_convert& record, const unsigned char* bytes) {
  auto& slot = record.message_type >= 3 ? record.raw_report_ext : record.raw_report;
  std::copy(bytes, bytes + report_size, slot.begin());
}

namespace {

// Reports are numbered from N - 1 down to 0 by one character each: the
// digits, then whatever follows "9" in code order.
void append_report_opening(output_text& body, std::size_t count, std::size_t index) {
  body += "<Report N=";
  body += static_cast<char>(static_cast<unsigned char>(48 + (count - 1 - index)));
  body += ">\r\n";
}

}  // namespace

int walk_reports(gps_report_convert& record, const unsigned char* work,
                 std::size_t work_length, std::string& out,
                 std::optional<std::string>* known_modem_id) {
  const output_format_entry& format = output_format_for(record.output_format);
  const bool gpsi = format.framing == report_framing::report_element;
  const std::size_t count = work[1];
  std::string header;
  // Reports are written into a small buffer and moved into the output a
  // few kilobytes at a time, so that a large message holds one large
  // buffer, not two: two of a hundred kilobytes, freed after every message,
  // would have the C library return them to the kernel and fault them in
  // again for the next.
  constexpr std::size_t flush_size = 8192;
  std::string text;
  text.reserve(count * 300 + 64);
  output_text body;
  body.reserve(std::min<std::size_t>(flush_size + 2048, count * 400 + 64));
  if (gpsi) header += "<GPSI>\r\n";

  const bool decoded = decode_each_report(record, work, [&](std::size_t i) {
    if (i == 0) body += status_line(record, format.status);
    if (gpsi) {
      append_report_opening(body, count, i);
      format.assembler(record, body);
      body += "</Report>\r\n";
    } else {
      if (format.framing == report_framing::missed_lines) {
        body += missed_line(count, i);
      }
      format.assembler(record, body);
    }
    if (body.size() >= flush_size) {
      text += body.view();
      body.clear();
    }
  });
  if (!decoded) {
    out = record.error_text;
    return -1;
  }
  if (gpsi) body += "</GPSI>";

  take_modem_id_from_message(record, work, work_length);
  if (known_modem_id != nullptr && !record.modem_id.empty()) *known_modem_id = record.modem_id;
  header += modem_id_line(record, format.modem_id_line);

  // An error recorded while the last report was written fails the message
  // too, and the user is told why.
  if (!record.error_text.empty()) {
    out = record.error_text;
    return -1;
  }
  text += body.view();
  text.insert(0, header);
  out = std::move(text);
  return 0;
}

}  // namespace kaldo::detail
