// Service e-mails written for the tests: a text body and .sbd attachments
// in base64, CR LF line ends, as they arrive over IMAP.
#pragma once

#include <glib.h>

#include <string>
#include <utility>
#include <vector>

namespace kaldo::tool::testing {

// `date` "": a fixed one; "-": no Date header.
inline std::string service_email(const std::vector<std::pair<std::string, std::string>>& attachments,
                                 const std::string& body, const std::string& date = "",
                                 const std::string& subject = "SBD Msg From Unit: 300234010123450") {
  std::string email = "From: sbdservice@example.net\r\nTo: fleet@example.org\r\nSubject: " + subject + "\r\n";
  if (date != "-") email += "Date: " + (date.empty() ? std::string("Thu, 20 Jun 2024 14:40:00 +0000") : date) + "\r\n";
  email += "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n--b0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + body + "\r\n";
  for (const auto& [name, payload] : attachments) {
    gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(payload.data()), payload.size());
    email += "--b0\r\nContent-Type: application/x-zip-compressed; name=\"" + name +
             "\"\r\nContent-Disposition: attachment; filename=\"" + name +
             "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + encoded + "\r\n";
    g_free(encoded);
  }
  return email + "--b0--\r\n";
}

}  // namespace kaldo::tool::testing
