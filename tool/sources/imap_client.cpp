#include "tool/sources/imap_client.h"

#include <arpa/inet.h>
#include <libetpan/idle.h>
#include <libetpan/mailimap.h>
#include <libetpan/mailimap_extension.h>
#include <libetpan/mailimap_socket.h>
#include <libetpan/mailimap_ssl.h>
#include <libetpan/mailstream.h>
#include <libetpan/mailstream_ssl.h>
#include <libetpan/uidplus.h>
#include <poll.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <utility>
#include <vector>

namespace kaldo::tool {

namespace {

template <class T, void (*release)(T*)>
struct releasing {
  void operator()(T* p) const {
    if (p != nullptr) release(p);
  }
};
using x509_ptr = std::unique_ptr<X509, releasing<X509, X509_free>>;
using store_ptr = std::unique_ptr<X509_STORE, releasing<X509_STORE, X509_STORE_free>>;
using store_ctx_ptr = std::unique_ptr<X509_STORE_CTX, releasing<X509_STORE_CTX, X509_STORE_CTX_free>>;

void free_chain(STACK_OF(X509)* chain) { sk_X509_free(chain); }
using chain_ptr = std::unique_ptr<STACK_OF(X509), releasing<STACK_OF(X509), free_chain>>;

bool is_ip_literal(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Names the server for TLS (SNI): servers that host many names pick the
// certificate by it.
void name_server(mailstream_ssl_context* context, void* host) {
  auto* name = static_cast<std::string*>(host);
  if (!is_ip_literal(*name)) mailstream_ssl_set_server_name(context, name->data());
}

// libetpan's TLS (GnuTLS on Debian) takes any certificate: the chain the
// server sent is checked here, against the system's store or the CA file,
// for this host name, before anything secret is sent.
bool verify_peer(mailstream* stream, const std::string& host, const std::string& ca_file,
                 std::string* error) {
  carray* sent = mailstream_get_certificate_chain(stream);
  std::vector<x509_ptr> certificates;
  if (sent != nullptr) {
    for (unsigned i = 0; i < carray_count(sent); ++i) {
      const auto* der = static_cast<MMAPString*>(carray_get(sent, i));
      const auto* bytes = reinterpret_cast<const unsigned char*>(der->str);
      certificates.emplace_back(d2i_X509(nullptr, &bytes, static_cast<long>(der->len)));
    }
    mailstream_certificate_chain_free(sent);
  }
  if (certificates.empty() || !certificates.front() ||
      std::any_of(certificates.begin(), certificates.end(), [](const x509_ptr& c) { return !c; })) {
    *error = "the server sent no readable certificate";
    return false;
  }
  store_ptr store(X509_STORE_new());
  const bool trusted = ca_file.empty() ? X509_STORE_set_default_paths(store.get()) == 1
                                       : X509_STORE_load_file(store.get(), ca_file.c_str()) == 1;
  if (!trusted) {
    *error = ca_file.empty() ? "cannot load the system's certificate store"
                             : "cannot read certificates from the CA file " + ca_file;
    return false;
  }
  chain_ptr intermediates(sk_X509_new_null());
  for (std::size_t i = 1; i < certificates.size(); ++i) sk_X509_push(intermediates.get(), certificates[i].get());
  store_ctx_ptr context(X509_STORE_CTX_new());
  X509_STORE_CTX_init(context.get(), store.get(), certificates.front().get(), intermediates.get());
  X509_VERIFY_PARAM* checks = X509_STORE_CTX_get0_param(context.get());
  X509_VERIFY_PARAM_set_purpose(checks, X509_PURPOSE_SSL_SERVER);
  const bool named = is_ip_literal(host) ? X509_VERIFY_PARAM_set1_ip_asc(checks, host.c_str()) == 1
                                         : X509_VERIFY_PARAM_set1_host(checks, host.data(), host.size()) == 1;
  if (!named) {
    *error = "cannot check the certificate against the host name " + host;
    return false;
  }
  if (X509_verify_cert(context.get()) != 1) {
    *error = std::string("the server's certificate is refused: ") +
             X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
    return false;
  }
  return true;
}

// The server's own words for a refusal where it gave some ("[AUTHENTICATIONFAILED]
// Authentication failed."), else libetpan's error.
std::string reason(mailimap* session, int code) {
  if (session->imap_response != nullptr && session->imap_response[0] != '\0') return session->imap_response;
  switch (code) {
    case MAILIMAP_ERROR_STREAM:
      return "the connection failed or did not answer in time";
    case MAILIMAP_ERROR_CONNECTION_REFUSED:
      return "the connection was refused";
    case MAILIMAP_ERROR_PARSE:
      return "an answer that is not IMAP";
    case MAILIMAP_ERROR_SSL:
      return "the TLS handshake failed";
    default:
      return "error " + std::to_string(code) + " of libetpan";
  }
}

// A set of UIDs in as few ranges as the batch allows.
mailimap_set* uid_set(const std::vector<std::uint32_t>& uids) {
  mailimap_set* set = mailimap_set_new_empty();
  for (std::size_t i = 0; i < uids.size();) {
    std::size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    mailimap_set_add_interval(set, uids[i], uids[j]);
    i = j + 1;
  }
  return set;
}

// UID FETCH of `uids` asking for the UID and `attribute` (taken); the
// answer goes to `*result`, for the caller to free.
int fetch_with_uid(mailimap* session, const std::vector<std::uint32_t>& uids, mailimap_fetch_att* attribute,
                   clist** result) {
  mailimap_set* set = uid_set(uids);
  mailimap_fetch_type* what = mailimap_fetch_type_new_fetch_att_list_empty();
  mailimap_fetch_type_new_fetch_att_list_add(what, mailimap_fetch_att_new_uid());
  mailimap_fetch_type_new_fetch_att_list_add(what, attribute);
  const int code = mailimap_uid_fetch(session, set, what, result);
  mailimap_fetch_type_free(what);
  mailimap_set_free(set);
  return code;
}

// Each static attribute of one FETCH answer.
template <typename Take>
void for_each_static(const mailimap_msg_att* attributes, Take take) {
  for (clistiter* item = clist_begin(attributes->att_list); item != nullptr; item = clist_next(item)) {
    const auto* attribute = static_cast<mailimap_msg_att_item*>(clist_content(item));
    if (attribute->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC) take(*attribute->att_data.att_static);
  }
}

}  // namespace

bool is_loopback_host(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr address;
  const std::string text(host);
  return inet_pton(AF_INET, text.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::unique_ptr<imap_client> imap_client::open(const imap_endpoint& endpoint,
                                               const imap_security& security, std::string* error,
                                               bool* login_refused) {
  if (login_refused != nullptr) *login_refused = false;
  // A server that drops the connection while a command is written would
  // end the process with SIGPIPE; libetpan then reports a failed write.
  std::signal(SIGPIPE, SIG_IGN);
  mailimap* session = mailimap_new(0, nullptr);
  if (session == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  std::unique_ptr<imap_client> client(new imap_client(session));
  mailimap_set_timeout(session, static_cast<time_t>(security.timeout.count()));
  std::string host = endpoint.host;
  const std::string where = endpoint.host + ":" + std::to_string(endpoint.port);
  const auto started = std::chrono::steady_clock::now();
  int code = endpoint.tls ? mailimap_ssl_connect_with_callback(session, host.c_str(), endpoint.port, name_server, &host)
                          : mailimap_socket_connect(session, host.c_str(), endpoint.port);
  if (code != MAILIMAP_NO_ERROR_NON_AUTHENTICATED && code != MAILIMAP_NO_ERROR_AUTHENTICATED) {
    const bool timed_out = std::chrono::steady_clock::now() - started >= security.timeout;
    *error = "cannot connect to " + where + ": " +
             (timed_out ? "no answer within " + std::to_string(security.timeout.count()) + " s"
                        : reason(session, code));
    return nullptr;
  }
  bool secured = endpoint.tls;
  if (!secured && !(security.plain_on_loopback && is_loopback_host(endpoint.host))) {
    code = mailimap_socket_starttls_with_callback(session, name_server, &host);
    if (code != MAILIMAP_NO_ERROR) {
      *error = "cannot secure the connection to " + where + " with STARTTLS (plain IMAP is for " +
               "loopback addresses only): " + reason(session, code);
      return nullptr;
    }
    secured = true;
  }
  if (secured && !verify_peer(session->imap_stream, endpoint.host, security.ca_file, error)) {
    *error = where + ": " + *error;
    return nullptr;
  }
  code = mailimap_login(session, endpoint.user.c_str(), security.password.c_str());
  if (code != MAILIMAP_NO_ERROR) {
    *error = "the login of " + endpoint.user + " at " + where + " failed: " + reason(session, code);
    if (login_refused != nullptr) *login_refused = code != MAILIMAP_ERROR_STREAM;
    return nullptr;
  }
  return client;
}

imap_client::~imap_client() { mailimap_free(session_); }

void imap_client::logout() { mailimap_logout(session_); }

bool imap_client::separator_of(const std::string& folder, char* separator, std::string* error) {
  clist* listed = nullptr;
  const int code = mailimap_list(session_, "", folder.c_str(), &listed);
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot list the folder " + folder + ": " + reason(session_, code);
    return false;
  }
  const bool found = clist_count(listed) > 0;
  if (found) *separator = static_cast<mailimap_mailbox_list*>(clist_content(clist_begin(listed)))->mb_delimiter;
  mailimap_list_result_free(listed);
  if (!found) *error = "the server has no folder " + folder;
  return found;
}

bool imap_client::examine(const std::string& folder, std::uint32_t* uidvalidity, std::string* error) {
  const int code = mailimap_examine(session_, folder.c_str());
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot open the folder " + folder + ": " + reason(session_, code);
    return false;
  }
  *uidvalidity = session_->imap_selection_info->sel_uidvalidity;
  return true;
}

bool imap_client::select(const std::string& folder, std::uint32_t* uidvalidity, std::string* error) {
  const int code = mailimap_select(session_, folder.c_str());
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot open the folder " + folder + ": " + reason(session_, code);
    return false;
  }
  *uidvalidity = session_->imap_selection_info->sel_uidvalidity;
  return true;
}

bool imap_client::uids(std::uint32_t first, std::vector<std::uint32_t>& found, std::string* error) {
  // 0 stands for "*": every UID from `first` on.
  mailimap_search_key* key = mailimap_search_key_new_uid(mailimap_set_new_interval(first, 0));
  clist* result = nullptr;
  const int code = mailimap_uid_search(session_, nullptr, key, &result);
  mailimap_search_key_free(key);
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot list the folder's e-mails: " + reason(session_, code);
    return false;
  }
  found.clear();
  for (clistiter* at = clist_begin(result); at != nullptr; at = clist_next(at)) {
    const std::uint32_t uid = *static_cast<std::uint32_t*>(clist_content(at));
    // "n:*" names the last UID even when it is below n.
    if (uid >= first) found.push_back(uid);
  }
  mailimap_search_result_free(result);
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return true;
}

bool imap_client::sizes(const std::vector<std::uint32_t>& uids, std::vector<email_size>& found,
                        std::string* error) {
  found.clear();
  if (uids.empty()) return true;
  clist* result = nullptr;
  const int code = fetch_with_uid(session_, uids, mailimap_fetch_att_new_rfc822_size(), &result);
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot list the sizes of the folder's e-mails: " + reason(session_, code);
    return false;
  }
  for (clistiter* at = clist_begin(result); at != nullptr; at = clist_next(at)) {
    email_size email;
    bool has_size = false;
    for_each_static(static_cast<mailimap_msg_att*>(clist_content(at)), [&](const mailimap_msg_att_static& value) {
      if (value.att_type == MAILIMAP_MSG_ATT_UID) email.uid = value.att_data.att_uid;
      if (value.att_type == MAILIMAP_MSG_ATT_RFC822_SIZE) {
        email.bytes = value.att_data.att_rfc822_size;
        has_size = true;
      }
    });
    if (email.uid != 0 && has_size) found.push_back(email);
  }
  mailimap_fetch_list_free(result);
  std::sort(found.begin(), found.end(), [](const email_size& a, const email_size& b) { return a.uid < b.uid; });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const email_size& a, const email_size& b) { return a.uid == b.uid; }),
              found.end());
  return true;
}

bool imap_client::fetch(const std::vector<std::uint32_t>& batch, const email_handler& each,
                        std::string* error) {
  if (batch.empty()) return true;
  clist* result = nullptr;
  // BODY.PEEK: reading leaves \Seen as it was.
  const int code =
      fetch_with_uid(session_, batch, mailimap_fetch_att_new_body_peek_section(mailimap_section_new(nullptr)), &result);
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot fetch e-mails: " + reason(session_, code);
    return false;
  }
  std::vector<std::pair<std::uint32_t, std::string_view>> emails;
  for (clistiter* at = clist_begin(result); at != nullptr; at = clist_next(at)) {
    std::uint32_t uid = 0;
    std::string_view bytes;
    bool has_body = false;
    for_each_static(static_cast<mailimap_msg_att*>(clist_content(at)), [&](const mailimap_msg_att_static& value) {
      if (value.att_type == MAILIMAP_MSG_ATT_UID) uid = value.att_data.att_uid;
      if (value.att_type == MAILIMAP_MSG_ATT_BODY_SECTION && value.att_data.att_body_section != nullptr) {
        const mailimap_msg_att_body_section* body = value.att_data.att_body_section;
        has_body = true;
        if (body->sec_body_part != nullptr) bytes = std::string_view(body->sec_body_part, body->sec_length);
      }
    });
    // A server may send unasked FETCH answers (flags changed by another
    // client): only those with a body are e-mails.
    if (uid != 0 && has_body) emails.emplace_back(uid, bytes);
  }
  std::stable_sort(emails.begin(), emails.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [uid, bytes] : emails) each(uid, bytes);
  mailimap_fetch_list_free(result);
  return true;
}

namespace {

// Sets `flag` (taken) on one UID, without the server echoing the flags.
int add_flag(mailimap* session, std::uint32_t uid, mailimap_flag* flag) {
  mailimap_flag_list* flags = mailimap_flag_list_new_empty();
  mailimap_flag_list_add(flags, flag);
  mailimap_store_att_flags* change = mailimap_store_att_flags_new_add_flags_silent(flags);
  mailimap_set* set = mailimap_set_new_single(uid);
  const int code = mailimap_uid_store(session, set, change);
  mailimap_set_free(set);
  mailimap_store_att_flags_free(change);
  return code;
}

}  // namespace

bool imap_client::offers(const char* name) {
  // Some servers tell their capabilities after the login only when asked.
  if (session_->imap_connection_info == nullptr || session_->imap_connection_info->imap_capability == nullptr) {
    mailimap_capability_data* data = nullptr;
    if (mailimap_capability(session_, &data) == MAILIMAP_NO_ERROR) mailimap_capability_data_free(data);
  }
  return mailimap_has_extension(session_, name) != 0;
}

bool imap_client::idle(std::chrono::milliseconds longest, int wake, std::string* error) {
  int code = mailimap_idle(session_);
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot wait in IDLE: " + reason(session_, code);
    return false;
  }
  // What the server sent with its go-ahead is read already and would never
  // make the socket readable.
  if (session_->imap_stream->read_buffer_len == 0) {
    pollfd watched[2] = {{mailimap_idle_get_fd(session_), POLLIN, 0}, {wake, POLLIN, 0}};
    ::poll(watched, wake >= 0 ? 2 : 1, static_cast<int>(longest.count()));
  }
  code = mailimap_idle_done(session_);
  if (code != MAILIMAP_NO_ERROR) {
    *error = "the connection failed in IDLE: " + reason(session_, code);
    return false;
  }
  return true;
}

bool imap_client::unseen_uids(std::uint32_t last, std::vector<std::uint32_t>& found, std::string* error) {
  found.clear();
  if (last == 0) return true;
  mailimap_search_key* key = mailimap_search_key_new_multiple_empty();
  mailimap_search_key_multiple_add(key, mailimap_search_key_new_uid(mailimap_set_new_interval(1, last)));
  // libetpan has no helper for a key without arguments: every other
  // argument of the key is empty.
  mailimap_search_key* unseen = mailimap_search_key_new(
      MAILIMAP_SEARCH_KEY_UNSEEN, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, /*larger*/ 0, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, /*smaller*/ 0, nullptr, nullptr, nullptr);
  mailimap_search_key_multiple_add(key, unseen);
  clist* result = nullptr;
  const int code = mailimap_uid_search(session_, nullptr, key, &result);
  mailimap_search_key_free(key);
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot list the folder's unread e-mails: " + reason(session_, code);
    return false;
  }
  for (clistiter* at = clist_begin(result); at != nullptr; at = clist_next(at)) {
    const std::uint32_t uid = *static_cast<std::uint32_t*>(clist_content(at));
    if (uid <= last) found.push_back(uid);
  }
  mailimap_search_result_free(result);
  std::sort(found.begin(), found.end());
  return true;
}

bool imap_client::move(std::uint32_t uid, const std::string& folder, std::string* error) {
  mailimap_set* set = mailimap_set_new_single(uid);
  int code = MAILIMAP_NO_ERROR;
  const char* step = "move";
  if (offers("MOVE")) {
    code = mailimap_uid_move(session_, set, folder.c_str());
  } else if (!offers("UIDPLUS")) {
    mailimap_set_free(set);
    *error = "the server offers neither MOVE nor UID EXPUNGE (UIDPLUS): an e-mail cannot be moved "
             "without also removing others marked deleted";
    return false;
  } else if ((code = mailimap_uid_copy(session_, set, folder.c_str())) != MAILIMAP_NO_ERROR) {
    step = "copy";
  } else if ((code = add_flag(session_, uid, mailimap_flag_new_deleted())) != MAILIMAP_NO_ERROR) {
    step = "mark as deleted";
  } else {
    step = "expunge";
    code = mailimap_uid_expunge(session_, set);
  }
  mailimap_set_free(set);
  if (code != MAILIMAP_NO_ERROR) {
    *error = std::string("cannot ") + step + " the e-mail of UID " + std::to_string(uid) + " to " + folder +
             ": " + reason(session_, code);
    return false;
  }
  return true;
}

bool imap_client::mark_seen(std::uint32_t uid, std::string* error) {
  const int code = add_flag(session_, uid, mailimap_flag_new_seen());
  if (code != MAILIMAP_NO_ERROR) {
    *error = "cannot mark the e-mail of UID " + std::to_string(uid) + " as read: " + reason(session_, code);
    return false;
  }
  return true;
}

}  // namespace kaldo::tool
