#include "tool/sources/imap_folder.h"

#include <curl/curl.h>
#include <iconv.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "tool/sources/email.h"
#include "tool/sources/gmime_support.h"

namespace kaldo::tool {

namespace {

// `text` from one character set to another with iconv; false when it is
// not valid in `from` (glibc knows IMAP's modified UTF-7 as UTF-7-IMAP).
bool recode(const char* to, const char* from, const std::string& text, std::string* out) {
  iconv_t recoder = iconv_open(to, from);
  if (recoder == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input = text;
  char* in = input.data();
  std::size_t in_left = input.size();
  std::string output(4 * text.size() + 16, '\0');
  char* put = output.data();
  std::size_t out_left = output.size();
  std::size_t done = iconv(recoder, &in, &in_left, &put, &out_left);
  if (done != static_cast<std::size_t>(-1)) done = iconv(recoder, nullptr, nullptr, &put, &out_left);
  iconv_close(recoder);
  if (done == static_cast<std::size_t>(-1) || in_left != 0) return false;
  output.resize(output.size() - out_left);
  *out = std::move(output);
  return true;
}

bool all_ascii(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

struct curl_url_release {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// One part of a parsed URL, percent-decoded where asked; empty when absent.
std::string part(CURLU* url, CURLUPart which, unsigned flags = 0) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, flags) != CURLUE_OK || value == nullptr) return {};
  std::string text(value);
  curl_free(value);
  return text;
}

class imap_folder_source final : public source {
 public:
  imap_folder_source(std::string input, source_settings settings)
      : input_(std::move(input)), settings_(std::move(settings)) {}

  void run(message_sink& sink) override {
    std::string error;
    if (!read(sink, &error)) sink.skipped({input_, {}, error, true, true});
  }

 private:
  bool read(message_sink& sink, std::string* error) {
    imap_url url;
    imap_security security;
    if (!parse_imap_url(input_, &url, error) ||
        !imap_password(settings_.mailbox, &security.password, error)) {
      return false;
    }
    security.ca_file = settings_.mailbox.ca_file;
    security.timeout = settings_.mailbox.timeout;
    std::unique_ptr<imap_client> client = imap_client::open(url.endpoint, security, error);
    char separator = 0;
    std::uint32_t uidvalidity = 0;
    std::vector<std::uint32_t> uids;
    std::vector<imap_client::email_size> sizes;
    if (!client || !client->separator_of(url.folder, &separator, error) ||
        !client->examine(url.folder, &uidvalidity, error) || !client->uids(1, uids, error) ||
        !client->sizes(uids, sizes, error)) {
      return false;
    }
    std::uint64_t total = 0;
    for (const auto& email : sizes) total += email.bytes;
    sink.sized(total);
    const std::string name = imap_name_part(url.folder_utf8, separator);
    const std::string key = url.folder_utf8 + "/" + std::to_string(uidvalidity) + "/";
    use_gmime();
    for (const std::vector<std::uint32_t>& batch : imap_batches(sizes, imap_batch_emails, imap_batch_bytes)) {
      if (sink.stopping()) return true;
      const auto each = [&](std::uint32_t uid, std::string_view bytes) {
        email_place place;
        place.source = name + "." + std::to_string(uid) + ".eml";
        place.sms_name = place.source;
        message_origin origin;
        origin.channel = "imap";
        origin.key = key + std::to_string(uid);
        origin.display_name = place.source;
        origin.path = place.source;
        place.origin = std::move(origin);
        gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
        read_email_stream(stream.get(), place, sink);
        sink.advanced(bytes.size());
      };
      if (!client->fetch(batch, each, error)) return false;
    }
    client->logout();
    return true;
  }

  std::string input_;
  source_settings settings_;
};

std::string refusal(const std::string& input, const source_settings& settings) {
  imap_url url;
  std::string error;
  std::string password;
  if (!parse_imap_url(input, &url, &error) || !imap_password(settings.mailbox, &password, &error)) {
    return error;
  }
  if (!settings.mailbox.ca_file.empty() && !std::ifstream(settings.mailbox.ca_file)) {
    return "cannot read the CA file " + settings.mailbox.ca_file;
  }
  return {};
}

}  // namespace

std::vector<std::vector<std::uint32_t>> imap_batches(const std::vector<imap_client::email_size>& emails,
                                                     std::size_t most_emails, std::uint64_t most_bytes) {
  std::vector<std::vector<std::uint32_t>> batches;
  std::uint64_t bytes = 0;
  for (const auto& email : emails) {
    if (batches.empty() || batches.back().size() >= most_emails || bytes + email.bytes > most_bytes) {
      batches.emplace_back();
      bytes = 0;
    }
    batches.back().push_back(email.uid);
    bytes += email.bytes;
  }
  return batches;
}

bool is_imap_url(std::string_view input) {
  const auto starts = [&](std::string_view scheme) {
    if (input.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(input[i])) != scheme[i]) return false;
    }
    return true;
  };
  return starts("imap://") || starts("imaps://");
}

// The URL itself is never repeated in an error: it could hold a password.
bool parse_imap_url(const std::string& text, imap_url* url, std::string* error) {
  std::unique_ptr<CURLU, curl_url_release> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
    *error = "not an IMAP URL (imap://USER@HOST[:PORT]/FOLDER)";
    return false;
  }
  if (!part(parsed.get(), CURLUPART_PASSWORD).empty()) {
    *error = "an IMAP URL must not hold a password (it would show in the list of processes): use "
             "--imap-password-file or KALDO_IMAP_PASSWORD";
    return false;
  }
  if (!part(parsed.get(), CURLUPART_OPTIONS).empty() || !part(parsed.get(), CURLUPART_QUERY).empty() ||
      !part(parsed.get(), CURLUPART_FRAGMENT).empty()) {
    *error = "an IMAP URL names a user, a host, a port and a folder, nothing else";
    return false;
  }
  url->endpoint.tls = part(parsed.get(), CURLUPART_SCHEME) == "imaps";
  url->endpoint.user = part(parsed.get(), CURLUPART_USER, CURLU_URLDECODE);
  url->endpoint.host = part(parsed.get(), CURLUPART_HOST);
  if (url->endpoint.host.size() > 2 && url->endpoint.host.front() == '[') {
    url->endpoint.host = url->endpoint.host.substr(1, url->endpoint.host.size() - 2);
  }
  const std::string port = part(parsed.get(), CURLUPART_PORT);
  url->endpoint.port = port.empty() ? (url->endpoint.tls ? 993 : 143)
                                    : static_cast<std::uint16_t>(std::strtoul(port.c_str(), nullptr, 10));
  if (url->endpoint.user.empty() || url->endpoint.host.empty()) {
    *error = "an IMAP URL needs a user and a host (imap://USER@HOST/FOLDER)";
    return false;
  }
  std::string folder = part(parsed.get(), CURLUPART_PATH, CURLU_URLDECODE);
  if (folder.starts_with("/")) folder.erase(0, 1);
  if (folder.empty()) folder = "INBOX";
  if (!imap_folder_names(folder, &url->folder, &url->folder_utf8)) {
    *error = "the folder of an IMAP URL is neither UTF-8 nor the server's own name";
    return false;
  }
  return true;
}

bool imap_folder_names(const std::string& folder, std::string* server_name, std::string* utf8) {
  // As the server names it (ASCII, valid modified UTF-7), or else UTF-8.
  // A name the server gave survives decoding and encoding again unchanged
  // (glibc's decoder drops an unfinished "&..." without a word).
  std::string again;
  if (all_ascii(folder) && recode("UTF-8", "UTF-7-IMAP", folder, utf8) &&
      recode("UTF-7-IMAP", "UTF-8", *utf8, &again) && again == folder) {
    *server_name = folder;
    return true;
  }
  if (recode("UTF-7-IMAP", "UTF-8", folder, server_name)) {
    *utf8 = folder;
    return true;
  }
  return false;
}

bool imap_password(const mailbox_access& access, std::string* password, std::string* error) {
  if (!access.password_file.empty()) {
    std::ifstream file(access.password_file, std::ios::binary);
    if (!file) {
      *error = "cannot read the IMAP password file " + access.password_file;
      return false;
    }
    std::getline(file, *password);
    if (password->ends_with('\r')) password->pop_back();
  } else if (const char* from_environment = std::getenv("KALDO_IMAP_PASSWORD")) {
    *password = from_environment;
  }
  if (password->empty()) {
    *error = "an IMAP folder needs a password: --imap-password-file FILE or KALDO_IMAP_PASSWORD";
    return false;
  }
  return true;
}

std::string imap_name_part(const std::string& folder_utf8, char separator) {
  std::string name = folder_utf8;
  for (char& c : name) {
    if ((separator != 0 && c == separator) || c == '/' || c == '\\') c = '_';
  }
  return name;
}

source_kind imap_folder_kind() {
  return {"IMAP folder", is_imap_url,
          [](const std::string& input, const source_settings& settings) -> std::unique_ptr<source> {
            return std::make_unique<imap_folder_source>(input, settings);
          },
          refusal};
}

}  // namespace kaldo::tool
