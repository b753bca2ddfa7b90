// The store's event sequence: every point new to `positions` gets the next
// event id, in the transaction that adds it, so that ids follow commit
// order. Whoever reads the sequence (the /events streams of every
// `kaldo serve` on the database) sees each point once, in one order, also
// those another process stored.
//
// On PostgreSQL a sequence hands out ids when asked, not when committed:
// two transactions could commit 8 before 7, and a reader that saw 8 would
// skip 7 for good. A transaction therefore takes one global lock just
// before it asks for its ids and holds it until its commit.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tool/fleet.h"
#include "tool/serve/store_dataset.h"

namespace kaldo::tool::serve {

inline constexpr const char* position_events_table = "position_events";

// Creates the table when missing (a store of any earlier kaldo lacks it).
bool ensure_position_events(store_dataset& store, std::string* error);

// Inside the store's open transaction: the next ids for these rows of
// `positions`, in their order. False with the reason.
bool record_position_events(store_dataset& store, const std::vector<std::int64_t>& position_fids,
                            std::string* error);

struct position_event {
  std::int64_t id = 0;
  std::int64_t position_fid = 0;
  track_point point;
};

// A reader that catches up further back than this is told to start over.
inline constexpr std::size_t most_events_caught_up = 10000;

struct events_since {
  std::vector<position_event> events;  // in id order
  // The id is not of this store (beyond its last), or a catch-up missed
  // more than it may: the reader starts afresh from `latest`.
  bool reset = false;
  std::int64_t latest = 0;   // the last id in the store when read
  std::int64_t through = 0;  // the last id read: go on from there
};

// A connection of its own that only reads: the writer's thread never
// waits for it.
class position_event_reader {
 public:
  static std::unique_ptr<position_event_reader> open(const std::string& destination,
                                                     std::string* error);

  // The last event id, 0 in a store without events; empty on failure.
  std::optional<std::int64_t> latest(std::string* error);

  // The events after `after`, at most `limit` of them: call again from
  // `through` while it is short of `latest`.
  std::optional<events_since> read_since(std::int64_t after, std::size_t limit,
                                         std::string* error);
  // A client's catch-up: every event after `after`, or a reset when they
  // are more than most_events_caught_up.
  std::optional<events_since> catch_up(std::int64_t after, std::string* error);

  // Every stored point (of one unit when `modem_id` is given), read with
  // all the fields the positions layer holds.
  bool read_points(const std::optional<std::string>& modem_id, std::vector<track_point>* points,
                   std::string* error);

 private:
  bool read_points_of(const std::vector<std::int64_t>& fids, std::map<std::int64_t, track_point>* points,
                      std::string* error);

  std::unique_ptr<GDALDataset> dataset_;
  OGRLayer* positions_ = nullptr;
  std::vector<int> indices_;  // of positions_fields()
  bool postgres_ = false;
};

}  // namespace kaldo::tool::serve
