#include "tool/fleet_builder.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <utility>

#include "tool/display_text.h"

namespace kaldo::tool {

namespace {

const std::string unnamed_unit = "No ModemID";

// Bits of a coordinate for equality: -0.0 and 0.0 are the same place.
std::uint64_t coordinate_bits(double value) { return std::bit_cast<std::uint64_t>(value + 0.0); }

std::uint64_t mix(std::uint64_t seed, std::uint64_t value) {
  value *= 0x9E3779B97F4A7C15ULL;
  seed ^= value + 0x7F4A7C15ULL + (seed << 6) + (seed >> 2);
  return seed;
}

bool has_valid_fix(kaldo::fix_state fix) {
  return fix == kaldo::fix_state::fix_2d || fix == kaldo::fix_state::fix_3d ||
         fix == kaldo::fix_state::valid;
}

}  // namespace

std::uint64_t fleet_builder::hash_of(const point_key& k) {
  std::uint64_t h = mix(k.unit, static_cast<std::uint64_t>(k.time_ms));
  h = mix(h, k.latitude_bits);
  h = mix(h, k.longitude_bits);
  // Spread the last mix over every bit: slots use the low ones, tags the high.
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ULL;
  return h ^ (h >> 32);
}

std::string describe_source(const message_source& source) {
  if (source.attachment.empty()) return path_to_utf8(source.path);
  return path_to_utf8(source.path) + ": " + path_to_utf8(source.attachment);
}

std::uint32_t fleet_builder::unit_of(const std::string& modem_id_utf8) {
  const auto [it, added] =
      units_.try_emplace(modem_id_utf8, static_cast<std::uint32_t>(unit_ids_.size()));
  if (added) unit_ids_.push_back(modem_id_utf8);
  return it->second;
}

fleet_builder::point_key fleet_builder::key_of(std::size_t point) const {
  const kaldo::position& p = points_[point].position;
  return {point_units_[point], p.time.time_since_epoch().count(), coordinate_bits(p.latitude),
          coordinate_bits(p.longitude)};
}

bool fleet_builder::claim(const point_key& key) {
  if ((points_.size() + 1) * 2 > slots_.size()) grow();
  const std::size_t hash = hash_of(key);
  const auto tag = static_cast<std::uint32_t>(hash >> 32);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    slot& s = slots_[i];
    if (s.point == 0) {
      s = {static_cast<std::uint32_t>(points_.size() + 1), tag};
      return true;
    }
    if (s.tag == tag && key_of(s.point - 1) == key) return false;
  }
}

void fleet_builder::grow() {
  std::vector<slot> old = std::move(slots_);
  slots_.assign(std::max<std::size_t>(1024, old.size() * 2), slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const slot& s : old) {
    if (s.point == 0) continue;
    std::size_t i = hash_of(key_of(s.point - 1)) & mask;
    while (slots_[i].point != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void fleet_builder::reserve(std::size_t reports) {
  // Address space only: pages are touched as points arrive, so a guess
  // too high for an archive of other mail costs nothing.
  points_.reserve(reports);
  point_units_.reserve(reports);
}

void fleet_builder::append(track_point&& point, std::uint32_t unit) {
  points_.push_back(std::move(point));
  point_units_.push_back(unit);
}

void fleet_builder::add_stored(track_point point) {
  point.stored = true;
  ++counts_.stored;
  const std::uint32_t unit = unit_of(point.modem_id);
  const kaldo::position& p = point.position;
  if (claim({unit, p.time.time_since_epoch().count(), coordinate_bits(p.latitude),
             coordinate_bits(p.longitude)})) {
    append(std::move(point), unit);
  }
}

void fleet_builder::add(const kaldo::decoded_message& message, const message_source& source) {
  if (message.result != kaldo::outcome::converted) return;
  // A message that names no unit goes to the unit every text format
  // calls "No ModemID".
  const std::string& raw_id = message.known_modem_id ? *message.known_modem_id : unnamed_unit;
  if (!has_last_ || raw_id != last_raw_id_) {
    last_raw_id_ = raw_id;
    last_unit_ = unit_of(latin1_to_utf8(raw_id));
    has_last_ = true;
  }
  std::string where;  // made once, for the first new point of the message
  for (const kaldo::report& report : message.reports) {
    ++counts_.reports;
    if (!report.position) {
      ++counts_.without_position;
      continue;
    }
    const kaldo::position& p = *report.position;
    if (valid_only_ && !has_valid_fix(p.fix)) {
      ++counts_.not_valid_fix;
      continue;
    }
    if (!claim({last_unit_, p.time.time_since_epoch().count(), coordinate_bits(p.latitude),
                coordinate_bits(p.longitude)})) {
      ++counts_.duplicates;
      continue;
    }
    if (where.empty()) where = describe_source(source);
    track_point point;
    point.modem_id = unit_ids_[last_unit_];
    point.position = p;
    point.message_type = message.message_type;
    point.source = where;
    append(std::move(point), last_unit_);
    ++counts_.added;
  }
}

fleet fleet_builder::finish() {
  fleet result;
  // A unit whose reports were all left out has no points and no row.
  std::vector<std::size_t> count(unit_ids_.size());
  for (const std::uint32_t unit : point_units_) ++count[unit];
  std::vector<std::uint32_t> by_name;
  for (std::uint32_t u = 0; u < unit_ids_.size(); ++u) {
    if (count[u] > 0) by_name.push_back(u);
  }
  std::sort(by_name.begin(), by_name.end(),
            [&](std::uint32_t a, std::uint32_t b) { return unit_ids_[a] < unit_ids_[b]; });
  std::vector<std::uint32_t> rank(unit_ids_.size());
  result.units.resize(by_name.size());
  for (std::uint32_t r = 0; r < by_name.size(); ++r) {
    rank[by_name[r]] = r;
    result.units[r].modem_id = unit_ids_[by_name[r]];
    result.units[r].points.reserve(count[by_name[r]]);
  }
  for (std::size_t i = 0; i < points_.size(); ++i) {
    unit_track& unit = result.units[rank[point_units_[i]]];
    unit.points.push_back(i);
    if (points_[i].position.emergency) ++unit.emergencies;
    if (!points_[i].stored) unit.changed = true;
  }
  for (unit_track& unit : result.units) {
    std::stable_sort(unit.points.begin(), unit.points.end(), [&](std::size_t a, std::size_t b) {
      return points_[a].position.time < points_[b].position.time;
    });
    // Points of one instant are distinct places: each beyond the first is
    // a conflict, counted once, in the run that brought it.
    for (std::size_t first = 0; first < unit.points.size();) {
      std::size_t end = first, stored = 0;
      for (; end < unit.points.size() && points_[unit.points[end]].position.time ==
                                             points_[unit.points[first]].position.time;
           ++end) {
        if (points_[unit.points[end]].stored) ++stored;
      }
      counts_.conflicts += end - first - std::max<std::size_t>(stored, 1);
      first = end;
    }
  }
  result.points = std::move(points_);
  const fleet_counts counted = counts_;
  *this = fleet_builder(valid_only_);
  counts_ = counted;
  return result;
}

}  // namespace kaldo::tool
