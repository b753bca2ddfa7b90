// Emergency alerts: each new emergency report, claimed in the `alerts`
// table by the transaction that stored it (alert_claims.h), is sent to
// each target, the --on-emergency program and the --alert-url, on a
// thread of that target's own: no alert ever holds up a confirmation, and
// a slow URL holds up no program. A failed attempt is logged and tried
// again after a backoff (alert_backoff), for up to an hour from the claim;
// then the alert is given up, logged, and left marked so in the table.
//
// Alerts that another receiver left (a lease run out, a process gone) or
// that this one left when it was last stopped are taken over at start and
// every few seconds after.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tool/fleet.h"
#include "tool/serve/serve_log.h"

namespace kaldo::tool::serve {

struct alert_settings {
  std::string destination;  // the store, as --store names it
  std::string program;      // --on-emergency; empty for none
  std::string url;          // --alert-url; empty for none
  std::string owner;        // new_alert_owner()
  std::chrono::milliseconds program_timeout{30000};
  std::chrono::milliseconds post_timeout{10000};
  std::chrono::seconds keep_trying{3600};
  // How often leases are renewed and left alerts looked for.
  std::chrono::milliseconds scan_every{5000};
};

// The targets the settings name, as the `alerts` table calls them.
std::vector<std::string> alert_targets(const alert_settings& settings);

class alert_dispatcher {
 public:
  // Starts a thread per target; each opens a connection of its own to the
  // store. Nothing to start (no target) gives a dispatcher that does nothing.
  alert_dispatcher(alert_settings settings, serve_log& log);
  ~alert_dispatcher();
  alert_dispatcher(const alert_dispatcher&) = delete;
  alert_dispatcher& operator=(const alert_dispatcher&) = delete;

  // The points a commit added; the emergency reports among them are sent.
  // Never blocks on a target.
  void committed(const std::vector<track_point>& added);

  // Lets an attempt under way finish for up to `grace` (then ends it; the
  // alert stays pending), gives the leases up and ends the threads.
  void stop(std::chrono::milliseconds grace);

 private:
  class target_worker;
  alert_settings settings_;  // the workers keep a reference
  std::vector<std::unique_ptr<target_worker>> workers_;
};

}  // namespace kaldo::tool::serve
