// Builds the fleet of a run from decoded messages, one message at a time.
//
// A point is distinct by modem id, time, latitude and longitude: a report a
// unit re-sent, or an e-mail the service delivered twice, adds nothing the
// second time. Two reports of one unit at one instant with different
// positions are both kept, and counted as a conflict, since nothing tells
// which one is right. Points an earlier run already wrote (add_stored)
// take part in all of this but are not written again.
//
// Threads: one builder is fed by one thread; decoding may run in parallel
// ahead of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "kaldo/decode.h"
#include "tool/fleet.h"

namespace kaldo::tool {

// Where a message came from, as bytes: the input path, and the attachment
// name when the message was an e-mail attachment.
struct message_source {
  std::string path;
  std::string attachment;
};

// "path" or "path: attachment", valid UTF-8.
std::string describe_source(const message_source& source);

struct fleet_counts {
  std::size_t reports = 0;          // reports of the messages given
  std::size_t added = 0;            // distinct points new to the destination
  std::size_t duplicates = 0;       // reports already seen, in this run or stored
  // Points at the instant of another point of their unit, elsewhere
  // (known once the fleet is finished).
  std::size_t conflicts = 0;
  std::size_t not_valid_fix = 0;    // left out by valid-only
  std::size_t without_position = 0;  // reports the decoder gave a problem instead
  std::size_t stored = 0;           // points read back from the destination
};

class fleet_builder {
 public:
  // With `valid_only`, only reports with a 2d, 3d or valid fix are kept.
  explicit fleet_builder(bool valid_only = false) : valid_only_(valid_only) {}

  // Room for about `reports` points, when the caller can tell (from the
  // inputs' size): growing a vector of a million points step by step
  // touches twice the memory.
  void reserve(std::size_t reports);

  // A point already at the destination. Its modem id is UTF-8 already.
  void add_stored(track_point point);

  // The reports of one decoded message. A message that did not convert
  // adds nothing: the caller counts and lists it.
  void add(const kaldo::decoded_message& message, const message_source& source);

  const fleet_counts& counts() const { return counts_; }

  // The fleet: units ordered by modem id, each unit's points in time order
  // (points of one instant in the order first seen), units without points
  // left out. The builder is empty afterwards; its counts stay.
  fleet finish();

 private:
  struct point_key {
    std::uint32_t unit;
    std::int64_t time_ms;
    std::uint64_t latitude_bits, longitude_bits;
    bool operator==(const point_key&) const = default;
  };
  // The points seen, as an open-addressing table of their indices: a
  // million reports must not cost a million allocations.
  struct slot {
    std::uint32_t point = 0;  // index + 1; 0 is empty
    std::uint32_t tag = 0;    // high bits of the hash, to skip most compares
  };

  std::uint32_t unit_of(const std::string& modem_id_utf8);
  static std::uint64_t hash_of(const point_key& key);
  point_key key_of(std::size_t point) const;
  // True when `key` is new: it is then recorded as the point about to be
  // appended at points_.size().
  bool claim(const point_key& key);
  void grow();
  void append(track_point&& point, std::uint32_t unit);

  bool valid_only_;
  fleet_counts counts_;
  std::vector<track_point> points_;
  std::vector<std::uint32_t> point_units_;  // the unit of each point
  std::vector<std::string> unit_ids_;
  std::unordered_map<std::string, std::uint32_t> units_;
  std::vector<slot> slots_;  // a power of two long, at most half full
  // The message before, so that a run of one unit's messages looks its
  // modem id up once.
  std::string last_raw_id_;
  std::uint32_t last_unit_ = 0;
  bool has_last_ = false;
};

}  // namespace kaldo::tool
