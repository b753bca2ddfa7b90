#include "tool/serve/store_writer.h"

#include <cpl_error.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "tool/outputs/ogr_layers.h"
#include "tool/serve/alert_claims.h"
#include "tool/serve/bulk_insert.h"
#include "tool/serve/growing_track.h"
#include "tool/serve/position_events.h"
#include "tool/serve/session_decoding.h"
#include "tool/serve/session_message.h"
#include "tool/utc_text.h"

namespace kaldo::tool::serve {
namespace {

using namespace std::chrono;

// A failure inside the transaction: every message of the batch is answered
// with it.
struct write_failure {
  std::string reason;
};

// Bits of a coordinate for equality: -0.0 and 0.0 are the same place.
std::uint64_t coordinate_bits(double value) { return std::bit_cast<std::uint64_t>(value + 0.0); }

// A key both processes compute alike, whatever their build: FNV-1a.
std::int64_t lock_key(std::string_view kind, std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  auto add = [&](std::string_view bytes) {
    for (const char c : bytes) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 0x100000001b3ULL;
    }
  };
  add(kind);
  add(std::string_view("\0", 1));
  add(text);
  return static_cast<std::int64_t>(hash);
}

std::string message_key(const received_message& message) {
  return message.imei + "/" + std::to_string(message.momsn) + "/" +
         std::to_string(message.session_time);
}

void check(OGRErr result, const std::string& what) {
  if (result != OGRERR_NONE) throw write_failure{gdal_error(what)};
}

// Some drivers say a failed write only through GDAL's error state: it is
// reset before the write and read after it.
void check_written(OGRErr result, const std::string& what) {
  if (result != OGRERR_NONE || CPLGetLastErrorType() == CE_Failure ||
      CPLGetLastErrorType() == CE_Fatal) {
    throw write_failure{gdal_error(what)};
  }
}

// Reading a layer has no result of its own: GDAL's error state after it.
void check_read(const std::string& what) {
  if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
    throw write_failure{gdal_error(what)};
  }
}

stored_status status_named(const std::string& name) {
  for (auto s : {stored_status::converted, stored_status::not_position_report, stored_status::no_payload}) {
    if (name == to_string(s)) return s;
  }
  return stored_status::failed;
}

// A unit's track row as the batch changes it; written once, at the end.
struct unit_state {
  std::unique_ptr<OGRFeature> row;  // the stored row; null for a new unit
  std::vector<vertex> vertices;     // every point of the unit, in time order
  kaldo::utc_time first{}, last{};
  bool last_known = false;  // `last` is the time of the unit's latest point
  bool changed = false;
};

// A stored point as the lookups compare it.
using point_key = std::tuple<std::string, std::int64_t, std::uint64_t, std::uint64_t>;

point_key key_of(const std::string& modem_id, kaldo::utc_time time, double latitude, double longitude) {
  return {modem_id, time.time_since_epoch().count(), coordinate_bits(latitude),
          coordinate_bits(longitude)};
}

// Filters of at most this many values each: one statement per group keeps
// a batch's lookups to a few statements without making one of megabytes.
constexpr std::size_t values_per_filter = 200;

// For each key, its values in groups of at most values_per_filter, each
// group made into one filter by `make`, and the filters of several keys
// joined with OR while they stay under that many values together.
std::vector<std::string> grouped_filters(
    const std::map<std::string, std::vector<std::string>>& values,
    const std::function<std::string(const std::string&, const std::string&)>& make) {
  std::vector<std::string> filters;
  std::string filter;
  std::size_t held = 0;
  for (const auto& [key, list] : values) {
    for (std::size_t at = 0; at < list.size(); at += values_per_filter) {
      const std::size_t n = std::min(values_per_filter, list.size() - at);
      if (held > 0 && held + n > values_per_filter) {
        filters.push_back(std::move(filter));
        filter.clear();
        held = 0;
      }
      std::string in;
      for (std::size_t i = at; i < at + n; ++i) in += (i > at ? ", " : "") + list[i];
      filter += (held > 0 ? " OR (" : "(") + make(key, in) + ")";
      held += n;
    }
  }
  if (held > 0) filters.push_back(std::move(filter));
  return filters;
}

// Messages in a batch from which its rows are sent together.
constexpr std::size_t rows_sent_together = 4;

class batch_transaction {
 public:
  // On PostgreSQL a batch of several messages sends its new rows with one
  // statement a table (bulk_insert), when it is done with them: that
  // statement costs more to plan than one plain INSERT, and saves a round
  // trip for every row past the first. SQLite, in the same process, takes
  // each row as it comes.
  batch_transaction(store_dataset& store, std::size_t messages) : store_(store) {
    if (store_.postgres && messages >= rows_sent_together) {
      message_rows_.emplace(*store_.messages);
      point_rows_.emplace(*store_.positions);
    }
  }

  void lock(const std::vector<const received_message*>& batch,
            const std::vector<decoded_session>& decoded) {
    if (!store_.postgres) return;  // SQLite lets one writer at a time in anyway
    std::vector<std::int64_t> messages, units;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      messages.push_back(lock_key("message", message_key(*batch[i])));
      for (const track_point& point : decoded[i].points) {
        units.push_back(lock_key("unit", point.modem_id));
      }
    }
    for (auto* keys : {&messages, &units}) {
      std::sort(keys->begin(), keys->end());
      keys->erase(std::unique(keys->begin(), keys->end()), keys->end());
    }
    std::string sql = "DO $$ DECLARE k bigint; BEGIN ";
    for (const auto* keys : {&messages, &units}) {
      if (keys->empty()) continue;
      sql += "FOREACH k IN ARRAY ARRAY[";
      for (std::size_t i = 0; i < keys->size(); ++i) {
        if (i > 0) sql += ',';
        sql += std::to_string((*keys)[i]);
      }
      sql += "]::bigint[] LOOP PERFORM pg_advisory_xact_lock(k); END LOOP; ";
    }
    sql += "END $$";
    std::string error;
    if (!execute_sql(*store_.dataset, sql, &error)) throw write_failure{error};
  }

  // Reads, with a few statements for the whole batch, every earlier
  // delivery of its messages and every stored point at its units and
  // times: one lookup per message and per point would cost as many
  // statements, and on PostgreSQL as many round trips.
  void look_up(const std::vector<const received_message*>& messages,
               const std::vector<decoded_session>& decoded) {
    if (store_.sqlite) {
      look_up_in_geopackage(messages, decoded);
      return;
    }
    std::map<std::string, std::vector<std::string>> momsns, times;
    for (const received_message* m : messages) momsns[m->imei].push_back(std::to_string(m->momsn));
    for (const decoded_session& d : decoded) {
      for (const track_point& point : d.points) {
        times[point.modem_id].push_back(sql_literal(utc_iso8601(point.position.time)));
      }
    }
    for (auto* lists : {&momsns, &times}) {
      for (auto& [key, list] : *lists) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
      }
    }
    const auto& at = store_.message_indices;
    auto index = [&](message_value value) { return at[static_cast<int>(value)]; };
    const auto message_filters = grouped_filters(momsns, [](const std::string& imei, const std::string& in) {
      return "imei = " + sql_literal(imei) + " AND momsn IN (" + in + ")";
    });
    for_each_row(*store_.messages, message_filters, "cannot look the messages up", [&](OGRFeature& row) {
      const auto time = time_field(row, index(message_value::session_time));
      if (!time || time->time_since_epoch() % seconds{1} != milliseconds{0}) return;
      const stored_status found = status_named(row.GetFieldAsString(index(message_value::status)));
      const auto seconds_since = duration_cast<seconds>(time->time_since_epoch()).count();
      earlier_.try_emplace(std::string(row.GetFieldAsString(index(message_value::imei))) + "/" +
                               std::to_string(row.GetFieldAsInteger64(index(message_value::momsn))) + "/" +
                               std::to_string(seconds_since),
                           found);
    });
    const auto point_filters = grouped_filters(times, [](const std::string& modem_id, const std::string& in) {
      return "modem_id = " + sql_literal(modem_id) + " AND \"time\" IN (" + in + ")";
    });
    const int modem_id_index = store_.point_indices[0];
    const int time_index = store_.point_indices[1];
    for_each_row(*store_.positions, point_filters, "cannot look the points up", [&](OGRFeature& row) {
      const auto* place = dynamic_cast<const OGRPoint*>(row.GetGeometryRef());
      const auto time = time_field(row, time_index);
      if (place == nullptr || !time) return;
      stored_points_.insert(key_of(row.GetFieldAsString(modem_id_index), *time, place->getY(), place->getX()));
    });
  }

  // The same on a GeoPackage, with one statement a message and one a
  // point, each prepared once: SQLite, in this process, answers small
  // statements without round trips, where each filter of GDAL's is
  // compiled anew. Times are compared as the text GDAL stores them in
  // (utc_iso8601's), which is also what the unique index compares.
  void look_up_in_geopackage(const std::vector<const received_message*>& messages,
                             const std::vector<decoded_session>& decoded) {
    const std::string find_message = std::string("SELECT status FROM ") + messages_layer +
                                     " WHERE imei = ? AND momsn = ? AND session_time = ?";
    std::string error;
    for (const received_message* m : messages) {
      const std::string key = message_key(*m);
      const std::string session = utc_iso8601(sys_seconds{seconds{m->session_time}});
      if (!store_.sqlite->query(
              find_message, {m->imei, std::int64_t{m->momsn}, session},
              [&](const sqlite_row& row) { earlier_.try_emplace(key, status_named(row.text(0))); }, &error)) {
        throw write_failure{"cannot look the messages up: " + error};
      }
    }
    // Points are stored without an envelope: GDAL's ST_MinX and ST_MinY
    // give their coordinates as written.
    const std::string geometry = sql_identifier(store_.positions->GetGeometryColumn());
    const std::string find_point = "SELECT ST_MinY(" + geometry + "), ST_MinX(" + geometry + ") FROM " +
                                   positions_layer + " WHERE modem_id = ? AND \"time\" = ?";
    for (const decoded_session& d : decoded) {
      for (const track_point& point : d.points) {
        const auto take = [&](const sqlite_row& row) {
          if (row.null(0) || row.null(1)) return;
          stored_points_.insert(key_of(point.modem_id, point.position.time, row.real(0), row.real(1)));
        };
        if (!store_.sqlite->query(find_point, {point.modem_id, utc_iso8601(point.position.time)}, take,
                                  &error)) {
          throw write_failure{"cannot look the points up: " + error};
        }
      }
    }
  }

  // The status the earlier delivery was stored with, when there was one.
  std::optional<stored_status> stored_before(const received_message& message) const {
    const auto found = earlier_.find(message_key(message));
    if (found == earlier_.end()) return std::nullopt;
    return found->second;
  }

  void insert_message(const received_message& message, const decoded_session& decoded) {
    OGRLayer& layer = *store_.messages;
    const auto& at = store_.message_indices;
    OGRFeature row(layer.GetLayerDefn());
    auto index = [&](message_value value) { return at[static_cast<int>(value)]; };
    auto real = [&](message_value value, const std::optional<double>& number) {
      if (number && std::isfinite(*number)) {
        row.SetField(index(value), *number);
      } else {
        row.SetFieldNull(index(value));
      }
    };
    const auto received = message.received_at.time_since_epoch().count() != 0
                              ? message.received_at
                              : time_point_cast<milliseconds>(system_clock::now());
    set_time(row, index(message_value::received_at), received, false);
    row.SetField(index(message_value::channel), stored_text(message.channel).c_str());
    row.SetField(index(message_value::imei), message.imei.c_str());
    row.SetField(index(message_value::momsn), static_cast<int>(message.momsn));
    if (message.mtmsn) {
      row.SetField(index(message_value::mtmsn), static_cast<int>(*message.mtmsn));
    } else {
      row.SetFieldNull(index(message_value::mtmsn));
    }
    if (message.cdr_reference) {
      row.SetField(index(message_value::cdr_reference), static_cast<GIntBig>(*message.cdr_reference));
    } else {
      row.SetFieldNull(index(message_value::cdr_reference));
    }
    set_time(row, index(message_value::session_time),
             sys_seconds{seconds{message.session_time}}, false);
    if (message.session_status) {
      row.SetField(index(message_value::session_status), *message.session_status);
    } else {
      row.SetFieldNull(index(message_value::session_status));
    }
    if (message.payload) {
      row.SetField(index(message_value::payload), static_cast<int>(message.payload->size()),
                   message.payload->data());
    } else {
      row.SetFieldNull(index(message_value::payload));
    }
    real(message_value::iridium_latitude, message.iridium_latitude);
    real(message_value::iridium_longitude, message.iridium_longitude);
    real(message_value::iridium_cep_km, message.iridium_cep_km);
    set_mailbox_fields(store_, row, message.mailbox ? &*message.mailbox : nullptr);
    row.SetField(index(message_value::status), to_string(decoded.status));
    if (decoded.error.empty()) {
      row.SetFieldNull(index(message_value::error));
    } else {
      row.SetField(index(message_value::error), decoded.error.c_str());
    }
    if (message_rows_) {
      std::string error;
      if (!message_rows_->add(row, &error)) throw write_failure{error};
    } else {
      CPLErrorReset();
      check_written(layer.CreateFeature(&row), "cannot store the message");
    }
    earlier_.try_emplace(message_key(message), decoded.status);
  }

  // Whether the point was new, and is now stored and in its unit's line.
  bool add_point(const track_point& point) {
    OGRLayer& layer = *store_.positions;
    const point_key key =
        key_of(point.modem_id, point.position.time, point.position.latitude, point.position.longitude);
    if (stored_points_.contains(key)) return false;

    unit_state& state = unit_of(point.modem_id);
    // Points of one instant keep the order they came in: the new one goes
    // after every point not later than it. Trackers report in time order,
    // so a point is mostly the unit's latest, and after all of its points.
    GIntBig later = 0;
    if (!state.last_known || point.position.time < state.last) {
      const std::string unit = "modem_id = " + sql_literal(point.modem_id);
      const std::string at_time = sql_literal(utc_iso8601(point.position.time));
      check(layer.SetAttributeFilter((unit + " AND \"time\" > " + at_time).c_str()),
            "cannot place the point in its line");
      later = layer.GetFeatureCount(TRUE);
      layer.SetAttributeFilter(nullptr);
      // Points of this batch not yet sent count as well.
      if (point_rows_ && later >= 0) {
        later += std::count_if(added_.begin(), added_.end(), [&](const committed_point& p) {
          return p.point.modem_id == point.modem_id && p.point.position.time > point.position.time;
        });
      }
    }
    if (later < 0 || static_cast<std::size_t>(later) > state.vertices.size()) {
      throw write_failure{gdal_error("cannot count the points of " + point.modem_id)};
    }
    const auto place = state.vertices.end() - static_cast<std::ptrdiff_t>(later);
    const bool first = place == state.vertices.begin();
    const bool last = later == 0;
    state.vertices.insert(place, vertex{point.position.longitude, point.position.latitude});
    if (state.vertices.size() == 1 || first) state.first = point.position.time;
    if (state.vertices.size() == 1 || last) {
      state.last = point.position.time;
      state.last_known = true;
    }
    state.changed = true;

    if (!points_) {
      points_.emplace(layer, positions_fields(), store_.point_indices, false);
    }
    std::string error;
    if (point_rows_) {
      const OGRFeature* row = points_->row_of(point, 0, 0, &error);
      if (row == nullptr || !point_rows_->add(*row, &error)) throw write_failure{error};
      added_.push_back({OGRNullFID, point});  // its id once sent (send_rows)
    } else {
      CPLErrorReset();
      if (!points_->write(point, 0, &error)) throw write_failure{error};
      added_.push_back({points_->last_fid(), point});
    }
    stored_points_.insert(key);
    return true;
  }

  // The points added so far, each with its id once the rows are sent.
  std::size_t added_count() const { return added_.size(); }
  const committed_point& added(std::size_t i) const { return added_[i]; }

  // Sends the rows kept for one statement a table, and gives the points
  // their ids.
  void send_rows() {
    if (!message_rows_) return;
    std::vector<std::int64_t> fids;
    std::string error;
    if (!message_rows_->flush(*store_.dataset, &fids, &error)) throw write_failure{error};
    if (!point_rows_->flush(*store_.dataset, &fids, &error)) throw write_failure{error};
    if (fids.size() != added_.size()) throw write_failure{"the store gave the points other ids than asked"};
    for (std::size_t i = 0; i < fids.size(); ++i) added_[i].position_fid = fids[i];
  }

  // Gives the batch's new points their event ids (position_events.h), last
  // in the transaction: on PostgreSQL the ids' lock is held the shortest.
  void record_events() {
    std::vector<std::int64_t> fids;
    fids.reserve(added_.size());
    for (const committed_point& p : added_) fids.push_back(p.position_fid);
    std::string error;
    if (!record_position_events(store_, fids, &error)) throw write_failure{error};
  }

  void write_tracks() {
    OGRLayer& layer = *store_.tracks;
    for (auto& [modem_id, state] : units_) {
      if (!state.changed) continue;
      std::unique_ptr<OGRFeature> row = std::move(state.row);
      const bool existing = row != nullptr;
      if (!existing) row.reset(new OGRFeature(layer.GetLayerDefn()));
      const auto& fields = tracks_fields();
      for (std::size_t i = 0; i < fields.size(); ++i) {
        const int at = store_.track_indices[i];
        switch (fields[i].value) {
          case track_value::modem_id:
          case track_value::name: row->SetField(at, modem_id.c_str()); break;
          case track_value::first_time: set_time(*row, at, state.first, false); break;
          case track_value::last_time: set_time(*row, at, state.last, false); break;
          case track_value::points:
            row->SetField(at, static_cast<int>(state.vertices.size()));
            break;
        }
      }
      row->SetGeometryDirectly(unit_line(state.vertices).release());
      CPLErrorReset();
      check_written(existing ? layer.SetFeature(row.get()) : layer.CreateFeature(row.get()),
            "cannot write the track of " + modem_id);
    }
  }

 private:
  unit_state& unit_of(const std::string& modem_id) {
    auto [it, added] = units_.try_emplace(modem_id);
    if (added) load_unit(modem_id, it->second);
    return it->second;
  }

  void load_unit(const std::string& modem_id, unit_state& state) {
    OGRLayer& tracks = *store_.tracks;
    const std::string unit = "modem_id = " + sql_literal(modem_id);
    CPLErrorReset();
    if (store_.sqlite) {
      // Found by a statement prepared once, then read by its id (which
      // GDAL also reads with one statement prepared once).
      const std::string find = "SELECT " + sql_identifier(tracks.GetFIDColumn()) + " FROM " + tracks_layer +
                               " WHERE modem_id = ? ORDER BY 1 LIMIT 1";
      std::optional<GIntBig> fid;
      std::string error;
      if (!store_.sqlite->query(find, {modem_id}, [&](const sqlite_row& row) { fid = row.integer(0); },
                                &error)) {
        throw write_failure{"cannot look the track up: " + error};
      }
      if (fid) state.row.reset(tracks.GetFeature(*fid));
    } else {
      check(tracks.SetAttributeFilter(unit.c_str()), "cannot look the track up");
      tracks.ResetReading();
      state.row.reset(tracks.GetNextFeature());
      tracks.ResetReading();
      tracks.SetAttributeFilter(nullptr);
    }
    check_read("cannot look the track up");
    if (state.row != nullptr) {
      const auto& fields = tracks_fields();
      long long count = -1;
      for (std::size_t i = 0; i < fields.size(); ++i) {
        const int at = store_.track_indices[i];
        if (fields[i].value == track_value::points) count = state.row->GetFieldAsInteger64(at);
        if (fields[i].value == track_value::first_time) {
          if (auto t = time_field(*state.row, at)) state.first = *t;
        }
        if (fields[i].value == track_value::last_time) {
          if (auto t = time_field(*state.row, at)) {
            state.last = *t;
            state.last_known = true;
          }
        }
      }
      auto vertices = line_vertices(state.row->GetGeometryRef());
      if (vertices && static_cast<long long>(vertices->size()) == count) {
        state.vertices = std::move(*vertices);
        return;
      }
    }
    // A unit with one point has no line to read its point from; a row that
    // disagrees with its points, or is missing, is made again from them.
    rebuild_from_points(unit, state);
  }

  void rebuild_from_points(const std::string& unit_filter, unit_state& state) {
    OGRLayer& positions = *store_.positions;
    check(positions.SetAttributeFilter(unit_filter.c_str()), "cannot read the unit's points");
    positions.ResetReading();
    struct stored_point {
      kaldo::utc_time time;
      GIntBig fid;
      vertex place;
    };
    std::vector<stored_point> points;
    const int time_index = store_.point_indices[1];
    for (auto& row : positions) {
      const auto* place = dynamic_cast<const OGRPoint*>(row->GetGeometryRef());
      const auto time = time_field(*row, time_index);
      if (place == nullptr || !time) continue;
      points.push_back({*time, row->GetFID(), {place->getX(), place->getY()}});
    }
    check_read("cannot read the unit's points");
    positions.SetAttributeFilter(nullptr);
    std::sort(points.begin(), points.end(), [](const stored_point& a, const stored_point& b) {
      return a.time != b.time ? a.time < b.time : a.fid < b.fid;
    });
    state.vertices.clear();
    for (const auto& p : points) state.vertices.push_back(p.place);
    state.last_known = false;
    if (!points.empty()) {
      state.first = points.front().time;
      state.last = points.back().time;
      state.last_known = true;
    }
    // Written back even when no new point comes: the row is made right.
    state.changed = !points.empty();
  }

  // Reads the rows of `layer` each filter selects, one statement a filter.
  void for_each_row(OGRLayer& layer, const std::vector<std::string>& filters, const std::string& what,
                    const std::function<void(OGRFeature&)>& take) {
    for (const std::string& filter : filters) {
      CPLErrorReset();
      check(layer.SetAttributeFilter(filter.c_str()), what);
      layer.ResetReading();
      for (auto& row : layer) take(*row);
      check_read(what);
      layer.ResetReading();  // no read left open (see left_transaction)
      layer.SetAttributeFilter(nullptr);
    }
  }

  store_dataset& store_;
  std::map<std::string, stored_status> earlier_;  // by message_key
  std::set<point_key> stored_points_;
  std::map<std::string, unit_state> units_;
  std::optional<point_writer> points_;
  std::optional<bulk_insert> message_rows_, point_rows_;  // PostgreSQL only
  std::vector<committed_point> added_;
};

// GDAL's PostgreSQL driver turns a transaction started while a read of its
// own is open into a savepoint, and its "commit" into releasing that
// savepoint: nothing would be durable, yet all would look committed. After
// a real commit the connection is outside any transaction, and a statement
// of its own has no transaction id of its own.
bool left_transaction(GDALDataset& dataset) {
  CPLErrorReset();
  OGRLayer* result = dataset.ExecuteSQL(
      "SELECT (pg_current_xact_id_if_assigned() IS NULL)::int AS outside", nullptr, nullptr);
  if (result == nullptr) return false;
  std::unique_ptr<OGRFeature> row(result->GetNextFeature());
  const bool outside = row != nullptr && row->GetFieldAsInteger(0) == 1;
  dataset.ReleaseResultSet(result);
  return outside;
}

void fail_all(std::vector<pending_message*>& batch, const std::string& reason) {
  for (pending_message* p : batch) {
    p->result.committed = false;
    p->result.duplicate = false;
    p->result.positions_added = 0;
    p->result.error = reason;
    p->added.clear();
  }
}

// The messages a pending entry stands for: itself and those stored with it.
std::vector<const received_message*> messages_of(const pending_message& p) {
  std::vector<const received_message*> all;
  // An entry that only records an e-mail's progress holds no message.
  if (!p.message.imei.empty() || !p.message.mailbox) all.push_back(&p.message);
  for (const received_message& m : p.message.together) all.push_back(&m);
  return all;
}

}  // namespace

batch_outcome write_batch(store_dataset& store, int century, std::vector<pending_message*>& batch,
                          const alert_claiming& claiming) {
  // Decoding needs no database: done before the transaction, it keeps the
  // transaction (and, in PostgreSQL, its locks) short.
  std::vector<pending_message*> writable;
  std::vector<const received_message*> messages;  // of every writable entry, in order
  std::vector<std::size_t> first_of;              // each writable entry's first in `messages`
  std::vector<decoded_session> decoded;
  for (pending_message* p : batch) {
    p->result = store_result{};
    p->added.clear();
    const auto own = messages_of(*p);
    if (!std::all_of(own.begin(), own.end(), [](const auto* m) { return is_imei(m->imei); })) {
      p->result.error = "not stored: the IMEI is not 15 digits";
      continue;
    }
    writable.push_back(p);
    first_of.push_back(messages.size());
    for (const received_message* m : own) {
      messages.push_back(m);
      decoded.push_back(decode_session(*m, century));
    }
  }
  if (writable.empty()) return batch_outcome::nothing_to_write;
  first_of.push_back(messages.size());
  GDALDataset& dataset = *store.dataset;
  CPLErrorReset();
  if (dataset.StartTransaction() != OGRERR_NONE) {
    fail_all(writable, gdal_error("cannot start a transaction"));
    return batch_outcome::failed;
  }
  try {
    // SQLite: take the write lock first, waiting for it (busy_timeout).
    // A transaction that reads first and then finds another connection
    // (the alerts' own) has written meanwhile cannot write at all.
    std::string locked;
    if (store.sqlite && !store.sqlite->run("UPDATE kaldo_schema SET version = version", {}, &locked)) {
      throw write_failure{locked};
    }
    batch_transaction transaction(store, messages.size());
    transaction.lock(messages, decoded);
    transaction.look_up(messages, decoded);
    // Each writable entry's new points, by their place among the batch's.
    std::vector<std::vector<std::size_t>> added_by(writable.size());
    for (std::size_t w = 0; w < writable.size(); ++w) {
      store_result& result = writable[w]->result;
      // An entry is a duplicate when every one of its messages is.
      result.duplicate = first_of[w] < first_of[w + 1];
      for (std::size_t i = first_of[w]; i < first_of[w + 1]; ++i) {
        const bool first = i == first_of[w];
        if (const auto earlier = transaction.stored_before(*messages[i])) {
          if (first) result.status = *earlier;
          continue;
        }
        result.duplicate = false;
        if (first) result.status = decoded[i].status;
        if (result.error.empty()) result.error = decoded[i].error;
        transaction.insert_message(*messages[i], decoded[i]);
        for (const track_point& point : decoded[i].points) {
          if (!transaction.add_point(point)) continue;
          ++result.positions_added;
          added_by[w].push_back(transaction.added_count() - 1);
          // Claimed with the point, or a crash right after this commit
          // would leave an emergency that no redelivery ever alerts again.
          std::string error;
          if (point.position.emergency && !claiming.targets.empty() &&
              !claim_alerts(*store.dataset, store.postgres, point, claiming.targets, claiming.owner, &error)) {
            throw write_failure{error};
          }
        }
      }
      if (const auto& place = writable[w]->message.mailbox) {
        std::string error;
        if (!write_mailbox_progress(store, *place, &error)) throw write_failure{error};
      }
    }
    transaction.write_tracks();
    transaction.send_rows();
    transaction.record_events();
    for (std::size_t w = 0; w < writable.size(); ++w) {
      for (const std::size_t i : added_by[w]) writable[w]->added.push_back(transaction.added(i));
    }
  } catch (const write_failure& failure) {
    dataset.RollbackTransaction();
    fail_all(writable, "not committed: " + failure.reason);
    return batch_outcome::failed;
  }
  CPLErrorReset();
  if (dataset.CommitTransaction() != OGRERR_NONE) {
    const std::string reason = gdal_error("cannot commit");
    // SQLite may have given the transaction up by itself (a full disk);
    // rolling back an empty one makes GDAL forget it too.
    if (dataset.RollbackTransaction() != OGRERR_NONE && dataset.StartTransaction() == OGRERR_NONE) {
      dataset.RollbackTransaction();
    }
    fail_all(writable, "not committed: " + reason);
    return batch_outcome::failed;
  }
  if (store.postgres && !left_transaction(dataset)) {
    fail_all(writable, "not committed: the commit left the connection inside a transaction");
    return batch_outcome::failed;
  }
  for (pending_message* p : writable) p->result.committed = true;
  return batch_outcome::committed;
}

}  // namespace kaldo::tool::serve
