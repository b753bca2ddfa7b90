#include "tool/serve/position_events.h"

#include <cpl_error.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <map>

#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_outputs.h"

namespace kaldo::tool::serve {
namespace {

// Held from a transaction's first event id to its commit (see the header).
constexpr const char* event_order_lock = "SELECT pg_advisory_xact_lock(7013159536472106241)";

kaldo::fix_state fix_from(const std::string& text) {
  using kaldo::fix_state;
  for (fix_state fix : {fix_state::none, fix_state::fix_2d, fix_state::fix_3d,
                        fix_state::dead_reckoning, fix_state::valid, fix_state::invalid}) {
    if (text == kaldo::to_string(fix)) return fix;
  }
  return fix_state::invalid;
}

// A row of `positions` as the point it was written from.
track_point point_of(const OGRFeature& row, const std::vector<int>& indices) {
  track_point point;
  kaldo::position& p = point.position;
  const auto& fields = positions_fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const int at = indices[i];
    switch (fields[i].value) {
      case point_value::modem_id: point.modem_id = row.GetFieldAsString(at); break;
      case point_value::time:
        if (auto time = time_field(row, at)) p.time = *time;
        break;
      case point_value::altitude: p.altitude_m = row.GetFieldAsDouble(at); break;
      case point_value::speed: p.speed_kmh = row.GetFieldAsDouble(at); break;
      case point_value::course: p.course_deg = row.GetFieldAsDouble(at); break;
      case point_value::vertical_velocity:
        if (row.IsFieldSetAndNotNull(at)) p.vertical_velocity_ms = row.GetFieldAsDouble(at);
        break;
      case point_value::satellites: p.satellites = row.GetFieldAsInteger(at); break;
      case point_value::fix: p.fix = fix_from(row.GetFieldAsString(at)); break;
      case point_value::emergency: p.emergency = row.GetFieldAsInteger(at) != 0; break;
      case point_value::message_type: point.message_type = row.GetFieldAsInteger(at); break;
      case point_value::source: point.source = row.GetFieldAsString(at); break;
      default: break;
    }
  }
  if (const auto* place = dynamic_cast<const OGRPoint*>(row.GetGeometryRef())) {
    p.longitude = place->getX();
    p.latitude = place->getY();
  }
  point.stored = true;
  return point;
}

bool failed() {
  return CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal;
}

// The first column of every row `sql` selects, as integers.
std::optional<std::vector<std::int64_t>> integers(GDALDataset& dataset, const std::string& sql,
                                                  std::size_t columns, std::string* error) {
  CPLErrorReset();
  OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
  if (result == nullptr || failed()) {
    if (result != nullptr) dataset.ReleaseResultSet(result);
    *error = gdal_error("cannot read the events");
    return std::nullopt;
  }
  std::vector<std::int64_t> values;
  for (auto& row : *result) {
    for (std::size_t c = 0; c < columns; ++c) {
      values.push_back(row->GetFieldAsInteger64(static_cast<int>(c)));
    }
  }
  const bool read_failed = failed();
  dataset.ReleaseResultSet(result);
  if (read_failed) {
    *error = gdal_error("cannot read the events");
    return std::nullopt;
  }
  return values;
}

}  // namespace

bool ensure_position_events(store_dataset& store, std::string* error) {
  if (!store.postgres) {
    return execute_sql(*store.dataset,
                       "CREATE TABLE IF NOT EXISTS position_events "
                       "(id INTEGER PRIMARY KEY AUTOINCREMENT, position_fid INTEGER NOT NULL)",
                       error);
  }
  // Two processes starting at once would both try to create it: the
  // lock of the store's upgrade lets one at a time look.
  GDALDataset& dataset = *store.dataset;
  if (dataset.StartTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot start the transaction that creates position_events");
    return false;
  }
  if (!execute_sql(dataset, schema_change_lock, error) ||
      !execute_sql(dataset,
                   "CREATE TABLE IF NOT EXISTS position_events "
                   "(id bigserial PRIMARY KEY, position_fid bigint NOT NULL)",
                   error)) {
    dataset.RollbackTransaction();
    return false;
  }
  if (dataset.CommitTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot create position_events");
    return false;
  }
  return true;
}

bool record_position_events(store_dataset& store, const std::vector<std::int64_t>& position_fids,
                            std::string* error) {
  if (position_fids.empty()) return true;
  if (store.sqlite) {
    for (const std::int64_t fid : position_fids) {
      if (!store.sqlite->run("INSERT INTO position_events (position_fid) VALUES (?)", {fid}, error)) {
        return false;
      }
    }
    return true;
  }
  if (!execute_sql(*store.dataset, event_order_lock, error)) return false;
  // One statement: its rows take their ids in the order of the list.
  std::string sql = "INSERT INTO position_events (position_fid) VALUES ";
  for (std::size_t i = 0; i < position_fids.size(); ++i) {
    sql += (i ? ",(" : "(") + std::to_string(position_fids[i]) + ")";
  }
  return execute_sql(*store.dataset, sql, error);
}

std::unique_ptr<position_event_reader> position_event_reader::open(const std::string& destination,
                                                                   std::string* error) {
  std::string why;
  const auto output = ogr_output_for(destination, "", &why);
  if (!output) {
    *error = why;
    return nullptr;
  }
  std::unique_ptr<position_event_reader> reader(new position_event_reader());
  reader->postgres_ = output->driver == "PostgreSQL";
  const char* allowed[] = {output->driver.c_str(), nullptr};
  GDALAllRegister();
  CPLErrorReset();
  reader->dataset_.reset(
      GDALDataset::Open(destination.c_str(), GDAL_OF_VECTOR, allowed, nullptr, nullptr));
  if (reader->dataset_ == nullptr) {
    *error = gdal_error("cannot open the store to read its events");
    return nullptr;
  }
  reader->positions_ = reader->dataset_->GetLayerByName(positions_layer);
  if (reader->positions_ == nullptr) {
    *error = "the store has no positions layer";
    return nullptr;
  }
  reader->indices_ = point_field_indices(*reader->positions_, positions_fields(), false,
                                         output->time_as_text, error);
  if (reader->indices_.empty()) return nullptr;
  return reader;
}

std::optional<std::int64_t> position_event_reader::latest(std::string* error) {
  const auto ids =
      integers(*dataset_, "SELECT COALESCE(MAX(id), 0) AS id FROM position_events", 1, error);
  if (!ids) return std::nullopt;
  return ids->empty() ? 0 : ids->front();
}

std::optional<events_since> position_event_reader::read_since(std::int64_t after, std::size_t limit,
                                                              std::string* error) {
  events_since out;
  const auto latest_id = latest(error);
  if (!latest_id) return std::nullopt;
  out.latest = *latest_id;
  out.through = after;
  if (after > out.latest || after < 0) {
    out.reset = true;
    return out;
  }
  const auto rows = integers(*dataset_,
                             "SELECT id, position_fid FROM position_events WHERE id > " +
                                 std::to_string(after) + " AND id <= " + std::to_string(out.latest) +
                                 " ORDER BY id LIMIT " + std::to_string(limit),
                             2, error);
  if (!rows) return std::nullopt;
  std::vector<std::int64_t> fids;
  for (std::size_t i = 0; i + 1 < rows->size(); i += 2) fids.push_back((*rows)[i + 1]);
  std::sort(fids.begin(), fids.end());
  fids.erase(std::unique(fids.begin(), fids.end()), fids.end());
  std::map<std::int64_t, track_point> points;
  if (!read_points_of(fids, &points, error)) return std::nullopt;
  for (std::size_t i = 0; i + 1 < rows->size(); i += 2) {
    position_event event;
    event.id = (*rows)[i];
    event.position_fid = (*rows)[i + 1];
    out.through = event.id;
    // A point removed by hand since: its event has nothing left to show.
    const auto point = points.find(event.position_fid);
    if (point == points.end()) continue;
    event.point = point->second;
    out.events.push_back(std::move(event));
  }
  // Ids a rolled-back transaction took leave gaps: past the rows read
  // there is nothing up to the last id.
  if (rows->size() / 2 < limit) out.through = out.latest;
  return out;
}

std::optional<events_since> position_event_reader::catch_up(std::int64_t after, std::string* error) {
  const auto beyond = integers(*dataset_,
                               "SELECT id FROM position_events WHERE id > " + std::to_string(after) +
                                   " ORDER BY id LIMIT 1 OFFSET " +
                                   std::to_string(most_events_caught_up),
                               1, error);
  if (!beyond) return std::nullopt;
  if (!beyond->empty()) {
    const auto latest_id = latest(error);
    if (!latest_id) return std::nullopt;
    events_since out;
    out.reset = true;
    out.latest = out.through = *latest_id;
    return out;
  }
  return read_since(after, most_events_caught_up, error);
}

// The points of `fids`, a few hundred a statement: one statement per point
// would cost the store as many round trips as each commit wrote points.
bool position_event_reader::read_points_of(const std::vector<std::int64_t>& fids,
                                           std::map<std::int64_t, track_point>* points, std::string* error) {
  constexpr std::size_t per_statement = 500;
  const std::string fid_column = std::string("\"") + positions_->GetFIDColumn() + "\"";
  for (std::size_t at = 0; at < fids.size(); at += per_statement) {
    std::string filter = fid_column + " IN (";
    for (std::size_t i = at; i < std::min(fids.size(), at + per_statement); ++i) {
      if (i > at) filter += ',';
      filter += std::to_string(fids[i]);
    }
    filter += ")";
    CPLErrorReset();
    if (positions_->SetAttributeFilter(filter.c_str()) != OGRERR_NONE) {
      *error = gdal_error("cannot read the stored points");
      return false;
    }
    positions_->ResetReading();
    for (auto& row : *positions_) points->emplace(row->GetFID(), point_of(*row, indices_));
    const bool read_failed = failed();
    positions_->ResetReading();
    positions_->SetAttributeFilter(nullptr);
    if (read_failed) {
      *error = gdal_error("cannot read the stored points");
      return false;
    }
  }
  return true;
}

bool position_event_reader::read_points(const std::optional<std::string>& modem_id,
                                        std::vector<track_point>* points, std::string* error) {
  CPLErrorReset();
  const std::string filter = modem_id ? "modem_id = " + sql_literal(*modem_id) : std::string();
  if (positions_->SetAttributeFilter(modem_id ? filter.c_str() : nullptr) != OGRERR_NONE) {
    *error = gdal_error("cannot read the stored points");
    return false;
  }
  positions_->ResetReading();
  for (auto& row : *positions_) points->push_back(point_of(*row, indices_));
  const bool read_failed = failed();
  positions_->ResetReading();
  positions_->SetAttributeFilter(nullptr);
  if (read_failed) *error = gdal_error("cannot read the stored points");
  return !read_failed;
}

}  // namespace kaldo::tool::serve
