// The `alerts` table: one row per emergency report and alert target
// ("program", "url"), with the target's delivery state. A row is the
// claim: it is written in the very transaction that stores the report, so
// that no commit can leave an emergency without its alerts, and the unique
// key (alert_key, target) with insert-or-ignore makes a second writer's
// claim a no-op. Alerts are sent only after their claim is committed, and
// marked sent after: a crash in between sends one again (at least once),
// a clean stop never does (exactly once).
//
// Who sends a pending alert: the row's `owner` (one per running receiver),
// for as long as its lease (`lease_until`, Unix seconds) is renewed. A
// receiver that stops cleanly gives its leases up; one that was killed
// lets them run out, or, on the same machine, is seen to be gone at once.
// Another receiver then takes the alert over and sends it.
#pragma once

#include <gdal_priv.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tool/fleet.h"

namespace kaldo::tool::serve {

inline constexpr const char* alerts_table = "alerts";
inline constexpr std::chrono::seconds alert_lease{60};

// Unix seconds now: what the leases are counted in.
std::int64_t unix_now();

// Creates the table and its unique key when missing; safe to run from two
// processes at once. Runs outside any transaction of the caller's.
bool ensure_alerts_table(GDALDataset& dataset, bool postgres, std::string* error);

// Inserts the claims of `point` for `targets`, owned by `owner`, inside the
// caller's transaction; insert-or-ignore on (alert_key, target).
bool claim_alerts(GDALDataset& dataset, bool postgres, const track_point& point,
                  const std::vector<std::string>& targets, const std::string& owner,
                  std::string* error);

// A pending alert as the table holds it.
struct claimed_alert {
  std::string key;
  std::string target;
  std::string modem_id;
  std::string time;  // ISO 8601, UTC
  double latitude = 0;
  double longitude = 0;
  std::string body;  // the JSON sent
  std::string claimed_at;
  std::string owner;
  std::int64_t lease_until = 0;
  int attempts = 0;
  std::string taken_from;  // the owner it was taken over from, if it was
};

// This process's owner name: host, process id and a random part, so that
// a later process with the same id is not taken for this one.
std::string new_alert_owner();

// Whether `owner` names a process on this machine that is gone.
bool owner_is_gone(const std::string& owner);

// The ledger of one target, kept through a connection of its own.
class alert_ledger {
 public:
  alert_ledger(GDALDataset& dataset, bool postgres, std::string target, std::string owner)
      : dataset_(dataset), postgres_(postgres), target_(std::move(target)), owner_(std::move(owner)) {}

  // Pending alerts of this target that nobody holds (a lease run out, an
  // owner gone), taken over; and those this owner holds already.
  std::vector<claimed_alert> take_over(std::int64_t now, std::string* error);
  bool renew(std::int64_t now, std::string* error);
  bool mark_sent(const std::string& key, int attempts, std::string* error);
  bool mark_failed(const std::string& key, int attempts, const std::string& why, bool give_up,
                   std::string* error);
  // Gives every lease of this owner up: another receiver (or this one,
  // started again) takes the pending alerts over at once.
  bool release(std::string* error);

 private:
  std::vector<claimed_alert> select(const std::string& where, std::string* error);
  std::string mine(const std::string& key) const;

  GDALDataset& dataset_;
  bool postgres_;
  std::string target_;
  std::string owner_;
};

}  // namespace kaldo::tool::serve
