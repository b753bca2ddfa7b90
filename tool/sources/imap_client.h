// One IMAP session over libetpan: connect (TLS from the start, STARTTLS,
// or plain on a loopback address), check the server's certificate and
// host name with OpenSSL before the password leaves, log in, open a folder
// read-only or read-write, list its UIDs, and fetch e-mails by UID in
// batches without setting \Seen. The folder source of kaldo convert and
// kaldo tracks reads with it; kaldo serve adds waiting (IDLE) and moving
// on top of the same session.
//
// Every call that talks to the server gives up after the session's
// timeout; a failure leaves the reason in `*error`, naming what failed
// (the connection, the certificate, the login, the folder).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct mailimap;

namespace kaldo::tool {

struct imap_endpoint {
  bool tls = false;  // imaps://: TLS from the first byte
  std::string host;
  std::uint16_t port = 0;
  std::string user;
};

struct imap_security {
  std::string password;
  // Certificates to trust instead of the system's store (PEM); empty: the
  // system's store.
  std::string ca_file;
  std::chrono::seconds timeout{30};
  // A loopback address may be spoken to in plain text; every other host
  // only after STARTTLS. Tests switch this off to try STARTTLS on loopback.
  bool plain_on_loopback = true;
};

// Whether `host` names this machine: "localhost", 127.0.0.0/8 or ::1.
bool is_loopback_host(std::string_view host);

class imap_client {
 public:
  // Connects, secures and logs in; null with the reason when any of that
  // fails.
  // `*login_refused` (where given) tells a refused login from the rest.
  static std::unique_ptr<imap_client> open(const imap_endpoint& endpoint,
                                           const imap_security& security, std::string* error,
                                           bool* login_refused = nullptr);
  ~imap_client();
  imap_client(const imap_client&) = delete;
  imap_client& operator=(const imap_client&) = delete;

  // The folder's hierarchy separator, from LIST (0 when it has none);
  // false when the server lists no such folder. `folder` is the server's
  // own name (modified UTF-7).
  bool separator_of(const std::string& folder, char* separator, std::string* error);

  // Opens `folder` read-only (EXAMINE): nothing read can change it. Its
  // UIDVALIDITY goes to `*uidvalidity`.
  bool examine(const std::string& folder, std::uint32_t* uidvalidity, std::string* error);
  // Opens `folder` read-write (SELECT), for a reader that moves what it read.
  bool select(const std::string& folder, std::uint32_t* uidvalidity, std::string* error);

  // The UIDs of the open folder from `first` on, ascending.
  bool uids(std::uint32_t first, std::vector<std::uint32_t>& found, std::string* error);

  // The size of each e-mail of `uids` (RFC822.SIZE), in one command, in
  // UID order. An e-mail deleted meanwhile is simply missing.
  struct email_size {
    std::uint32_t uid = 0;
    std::uint64_t bytes = 0;
  };
  bool sizes(const std::vector<std::uint32_t>& uids, std::vector<email_size>& found, std::string* error);

  // Fetches the e-mails of `batch` (UIDs) with BODY.PEEK[], one command;
  // `each` gets every e-mail's UID and raw bytes (CR LF line ends) in UID
  // order. An e-mail deleted meanwhile is simply missing.
  using email_handler = std::function<void(std::uint32_t uid, std::string_view bytes)>;
  bool fetch(const std::vector<std::uint32_t>& batch, const email_handler& each, std::string* error);

  // Whether the server offers `name` ("IDLE", "MOVE", "UIDPLUS"), as it
  // says after the login.
  bool offers(const char* name);

  // Waits, in IDLE, until the server tells of a change in the open folder,
  // `longest` has passed, or `wake` (a descriptor) becomes readable; false
  // when the connection failed.
  bool idle(std::chrono::milliseconds longest, int wake, std::string* error);

  // The UIDs of the open folder up to `last` that are not \Seen.
  bool unseen_uids(std::uint32_t last, std::vector<std::uint32_t>& found, std::string* error);

  // Moves one e-mail of the open folder to `folder`: UID MOVE where the
  // server has it, else UID COPY, \Deleted and UID EXPUNGE of that UID
  // alone (which needs UIDPLUS: a plain EXPUNGE would also remove what the
  // user marked deleted). False when neither can be done.
  bool move(std::uint32_t uid, const std::string& folder, std::string* error);
  // Sets \Seen on one e-mail of the open folder.
  bool mark_seen(std::uint32_t uid, std::string* error);

  void logout();

  // The libetpan session, for a caller that needs more of the protocol.
  mailimap* session() { return session_; }

 private:
  explicit imap_client(mailimap* session) : session_(session) {}
  mailimap* session_;
};

}  // namespace kaldo::tool
