// Where `kaldo serve` keeps what it receives: every message in a `messages`
// table, its decoded reports in the `positions` layer and each unit's line
// in `tracks`, the same layers with the same fields as `kaldo tracks`
// writes. A GeoPackage file, or PostgreSQL with PostGIS ("PG:...").
//
// A message is confirmed to its sender only once store() has returned
// `committed`: the transaction that holds it has reached the disk (the
// database's write-ahead log synced), so that neither a killed process nor
// a machine that loses power loses it. Messages that arrive together share
// one commit.
//
// A message is one by (imei, momsn, session time): delivered again, by the
// same channel or another, it is confirmed again and stored once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tool/fleet.h"

namespace kaldo::tool::serve {

// An e-mail in a folder of an IMAP server.
struct mailbox_place {
  std::string folder;  // UTF-8
  std::uint32_t uidvalidity = 0;
  std::uint32_t uid = 0;
};

// One message as a receiver took it.
struct received_message {
  std::string channel;  // "directip", "rockblock", "imap"
  std::string imei;     // 15 ASCII digits
  std::uint32_t momsn = 0;
  std::int64_t session_time = 0;  // Unix seconds, UTC
  std::chrono::sys_time<std::chrono::milliseconds> received_at{};
  std::optional<std::uint16_t> mtmsn;
  std::optional<std::uint32_t> cdr_reference;
  std::optional<int> session_status;
  // The bytes of a .sbd attachment; none for a failed session or an empty
  // mailbox check.
  std::optional<std::string> payload;
  // Where the satellites placed the unit.
  std::optional<double> iridium_latitude;
  std::optional<double> iridium_longitude;
  std::optional<double> iridium_cep_km;
  // Who sent it, for the log: "192.0.2.7:40112".
  std::string peer;
  // The e-mail it came in. Committed with it, and as the folder's last UID
  // done, so that an e-mail stored but not yet moved is known as done.
  // With no IMEI, nothing but that progress is stored (an e-mail that held
  // no tracker message).
  std::optional<mailbox_place> mailbox;
  // The other messages of the same e-mail: stored in this message's
  // transaction or not at all. The result covers them all.
  std::vector<received_message> together;
};

enum class stored_status { converted, failed, not_position_report, no_payload };

// "converted", "failed", "not_position_report", "no_payload".
const char* to_string(stored_status status);

struct store_result {
  // False: nothing of the message is stored; the sender is told so and
  // sends it again.
  bool committed = false;
  // Stored by an earlier delivery: confirmed again, nothing added.
  bool duplicate = false;
  stored_status status = stored_status::failed;
  std::string error;  // failed decoding, or why nothing was committed; one line
  std::size_t positions_added = 0;
  std::chrono::microseconds commit_time{0};  // from submit to durable commit
};

struct store_options {
  int century = 20;  // the century of the reports' two-digit years
  // The longest a commit waits for more messages to share it. It waits only
  // while messages arrive together (a lone message is committed at once),
  // and stops at the first eighth of it in which none arrived.
  std::chrono::microseconds gather{2000};
  // The longest a caller waits for its answer: a message not committed by
  // then is answered "not committed" (its sender sends it again), even
  // while the database hangs. The webhooks' providers give up after 3 s.
  std::chrono::milliseconds answer_within{2500};
  // Each new emergency report is claimed for these alert targets, in the
  // name of `alert_owner`, in the transaction that stores it (see
  // alert_claims.h); none when empty.
  std::vector<std::string> alert_targets;
  std::string alert_owner;
};

// A point new to the store, as its commit added it.
struct committed_point {
  std::int64_t position_fid = 0;  // its row in `positions`
  track_point point;
};

// Told of every commit that added points, in commit order, on the store's
// writing thread: it must return at once (hand the points on, wake a
// thread), or it holds up every sender's confirmation.
using commit_hook = std::function<void(const std::vector<committed_point>& points)>;

class message_store {
 public:
  virtual ~message_store() = default;

  // Hands `message` to the store; `done` is called once, from one of the
  // store's own threads, when it is committed or cannot be (at the latest
  // after options.answer_within). Safe from any thread; `done` must not
  // block.
  virtual void submit(received_message message, std::function<void(store_result)> done) = 0;

  // submit(), waiting for the result.
  store_result store(received_message message);

  // Commits what was submitted, answers every caller and stops taking
  // messages (submit() then answers "not committed" at once).
  virtual void close() = 0;

  // Transactions committed so far: fewer than the messages when they
  // shared commits.
  virtual std::uint64_t commits() const = 0;

  // Adds `hook`, told of each commit from now on. A hook is only a nudge
  // for low latency: what it was told is in the store (position_events.h)
  // for whoever missed it, another process included.
  virtual void on_commit(commit_hook hook) { (void)hook; }
};

// The last UID of `folder` whose e-mail is done, and the folder's
// UIDVALIDITY then, as the store keeps them; none when it has none.
struct mailbox_progress {
  std::uint32_t uidvalidity = 0;
  std::uint32_t last_uid = 0;
};
bool read_mailbox_progress(const std::string& destination, const std::string& folder,
                           std::optional<mailbox_progress>* progress, std::string* error);

// Opens or creates the store at `destination` (a GeoPackage path, or
// "PG:..."), upgrading one that `kaldo tracks` wrote. Empty, with the
// reason in `*error`, when it cannot be written.
std::unique_ptr<message_store> open_message_store(const std::string& destination,
                                                  const store_options& options, std::string* error);

}  // namespace kaldo::tool::serve
