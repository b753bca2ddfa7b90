// `kaldo serve --imap`: a folder of an IMAP server as a receiver. New
// e-mail is awaited in IDLE where the server offers it, else looked for
// every poll interval. Each e-mail's messages are stored in one
// transaction, and only after its commit is the e-mail moved to the done
// folder (or, without one, marked \Seen): a crash in between leaves an
// e-mail that is stored already, and storing it again is a duplicate.
//
// The store keeps the folder's UIDVALIDITY and the last UID done with the
// e-mails' messages. On each connection the folder is read from there on;
// with a done folder, everything still in the folder is looked at once,
// and without one, every unread e-mail up to there, so that an e-mail
// stored but not yet moved or marked is finished. A folder whose
// UIDVALIDITY changed is read again from the start; the messages' keys
// keep it from storing anything twice.
//
// E-mails that hold no tracker message stay where they are, named once in
// the log. A dropped connection is opened again after a backoff that
// doubles up to a minute; a refused login is tried again every five
// minutes, since trying harder only locks the account.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "tool/serve/serve_log.h"
#include "tool/serve/store.h"
#include "tool/sources/imap_folder.h"

namespace kaldo::tool::serve {

struct imap_receiver_settings {
  imap_url url;
  imap_security security;
  std::string done_folder;  // the server's name; empty: mark \Seen
  std::string done_folder_utf8;
  std::chrono::milliseconds poll{60000};
  std::string destination;  // the store, for the folder's progress
  std::chrono::milliseconds first_backoff{1000};
  std::chrono::milliseconds longest_backoff{60000};
  std::chrono::milliseconds login_retry{300000};
};

class imap_receiver {
 public:
  virtual ~imap_receiver() = default;
  // Finishes the e-mail at hand and stops; returns when it has.
  virtual void stop() = 0;
};

std::unique_ptr<imap_receiver> start_imap_receiver(imap_receiver_settings settings, message_store& store,
                                                   serve_log& log);

}  // namespace kaldo::tool::serve
