#include "tool/serve/store_dataset.h"

#include <cpl_error.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "tool/fleet_builder.h"
#include "tool/outputs/fleet_output.h"
#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_outputs.h"
#include "tool/outputs/ogr_session.h"
#include "tool/serve/position_events.h"
#include "tool/serve/alert_claims.h"

namespace kaldo::tool::serve {
namespace {

struct message_field {
  const char* name;
  message_value value;
  OGRFieldType type;
};

const std::vector<message_field>& message_fields() {
  static const std::vector<message_field> fields = {
      {"received_at", message_value::received_at, OFTDateTime},
      {"channel", message_value::channel, OFTString},
      {"imei", message_value::imei, OFTString},
      {"momsn", message_value::momsn, OFTInteger},
      {"mtmsn", message_value::mtmsn, OFTInteger},
      {"cdr_reference", message_value::cdr_reference, OFTInteger64},
      {"session_time", message_value::session_time, OFTDateTime},
      {"session_status", message_value::session_status, OFTInteger},
      {"payload", message_value::payload, OFTBinary},
      {"iridium_latitude", message_value::iridium_latitude, OFTReal},
      {"iridium_longitude", message_value::iridium_longitude, OFTReal},
      {"iridium_cep_km", message_value::iridium_cep_km, OFTReal},
      {"status", message_value::status, OFTString},
      {"error", message_value::error, OFTString},
  };
  return fields;
}

// What differs between the two kinds of store, as a table.
struct store_kind {
  const char* driver;
  // Run on every new connection, outside any transaction.
  std::vector<const char*> session_sql;
};

const store_kind& kind_of(bool postgres) {
  // GeoPackage: in WAL mode with synchronous=FULL, SQLite syncs the log
  // before a commit returns, so a committed transaction survives the
  // machine losing power, not only the process dying.
  static const store_kind geopackage = {
      "GPKG", {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = FULL",
               // Other connections write too (the alerts'): wait for them
               // rather than fail at once.
               "PRAGMA busy_timeout = 2000"}};
  // PostgreSQL: synchronous_commit on, whatever the server's or the role's
  // default; literals as the store quotes them; a statement that waits on
  // another process's lock gives up before a caller's answer is due.
  static const store_kind postgresql = {
      "PostgreSQL",
      {"SET synchronous_commit = on", "SET standard_conforming_strings = on",
       "SET statement_timeout = 3000"}};
  return postgres ? postgresql : geopackage;
}

// The indexes a store of version 1 has; "IF NOT EXISTS" in both dialects.
const std::vector<const char*>& schema_indexes() {
  static const std::vector<const char*> statements = {
      "CREATE UNIQUE INDEX IF NOT EXISTS messages_one_per_session "
      "ON messages (imei, momsn, session_time)",
      "CREATE INDEX IF NOT EXISTS positions_unit_time ON positions (modem_id, \"time\")",
      "CREATE INDEX IF NOT EXISTS tracks_unit ON tracks (modem_id)",
  };
  return statements;
}

constexpr const char* schema_layer = "kaldo_schema";

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int schema_version(GDALDataset& dataset) {
  OGRLayer* layer = dataset.GetLayerByName(schema_layer);
  if (layer == nullptr) return 0;
  layer->ResetReading();
  std::unique_ptr<OGRFeature> row(layer->GetNextFeature());
  // A read left open keeps GDAL's PostgreSQL driver in a transaction of its
  // own, and the store's transactions would become mere savepoints in it.
  layer->ResetReading();
  const int field = layer->GetLayerDefn()->GetFieldIndex("version");
  if (row == nullptr || field < 0) return 0;
  return row->GetFieldAsInteger(field);
}

OGRLayer* ensure_layer(GDALDataset& dataset, const char* name, OGRwkbGeometryType type,
                       const std::vector<std::string>& options, bool* created) {
  OGRLayer* layer = dataset.GetLayerByName(name);
  *created = layer == nullptr;
  if (layer != nullptr) return layer;
  OGRSpatialReference srs = wgs84();
  options_list list(options);
  return dataset.CreateLayer(name, type == wkbNone ? nullptr : &srs, type, list.get());
}

std::vector<int> message_field_indices(OGRLayer& layer, bool create, std::string* error) {
  std::vector<int> indices;
  for (const message_field& field : message_fields()) {
    if (create) {
      OGRFieldDefn definition(field.name, field.type);
      if (layer.CreateField(&definition) != OGRERR_NONE) {
        *error = gdal_error(std::string("cannot create the field messages.") + field.name);
        return {};
      }
    }
    const int index = layer.GetLayerDefn()->GetFieldIndex(field.name);
    if (index < 0) {
      *error = std::string("the messages table has no field ") + field.name;
      return {};
    }
    indices.push_back(index);
  }
  return indices;
}

// Brings a store of an earlier version (or a new, empty one) to the
// current version, all in one transaction: a failure leaves it as it was.
bool upgrade(store_dataset& store, const ogr_output& output, std::string* error) {
  GDALDataset& dataset = *store.dataset;
  if (dataset.StartTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot start the transaction that upgrades the store");
    return false;
  }
  auto body = [&]() -> bool {
    if (store.postgres) {
      // Two processes starting on one new database: one upgrades, the
      // other waits here and then finds the work done.
      if (!execute_sql(dataset, schema_change_lock, error)) {
        return false;
      }
      if (schema_version(dataset) >= store_schema_version) return true;
    }
    bool created_positions = false, created_tracks = false, created_messages = false,
         created_schema = false;
    OGRLayer* positions = ensure_layer(dataset, positions_layer, wkbPoint,
                                       output.positions_options, &created_positions);
    OGRLayer* tracks = ensure_layer(dataset, tracks_layer, wkbMultiLineString, output.tracks_options,
                                    &created_tracks);
    OGRLayer* messages = ensure_layer(dataset, messages_layer, wkbNone, {"FID=fid"},
                                      &created_messages);
    OGRLayer* schema = ensure_layer(dataset, schema_layer, wkbNone, {"FID=fid"}, &created_schema);
    if (positions == nullptr || tracks == nullptr || messages == nullptr || schema == nullptr) {
      *error = gdal_error("cannot create the store's tables");
      return false;
    }
    if (point_field_indices(*positions, positions_fields(), created_positions,
                            output.time_as_text, error)
            .empty() ||
        track_field_indices(*tracks, tracks_fields(), created_tracks, output.time_as_text, error)
            .empty() ||
        message_field_indices(*messages, created_messages, error).empty()) {
      return false;
    }
    if (created_schema) {
      OGRFieldDefn version("version", OFTInteger);
      if (schema->CreateField(&version) != OGRERR_NONE) {
        *error = gdal_error("cannot create the schema version table");
        return false;
      }
    }
    // PostgreSQL tables are created at their first row or sync: the
    // indexes below need them now.
    for (OGRLayer* layer : {positions, tracks, messages, schema}) layer->SyncToDisk();
    for (const char* statement : schema_indexes()) {
      if (!execute_sql(dataset, statement, error)) return false;
    }
    schema->ResetReading();
    std::unique_ptr<OGRFeature> row(schema->GetNextFeature());
    schema->ResetReading();
    const bool existing_row = row != nullptr;
    if (!existing_row) row.reset(new OGRFeature(schema->GetLayerDefn()));
    row->SetField("version", store_schema_version);
    CPLErrorReset();
    const OGRErr written = existing_row ? schema->SetFeature(row.get()) : schema->CreateFeature(row.get());
    if (written != OGRERR_NONE) {
      *error = gdal_error("cannot record the schema version");
      return false;
    }
    return true;
  };
  if (!body()) {
    dataset.RollbackTransaction();
    *error = "cannot upgrade the store: " + *error;
    return false;
  }
  if (dataset.CommitTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot commit the store's upgrade");
    dataset.RollbackTransaction();
    return false;
  }
  return true;
}

}  // namespace

bool execute_sql(GDALDataset& dataset, const std::string& sql, std::string* error) {
  CPLErrorReset();
  OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
  if (result != nullptr) dataset.ReleaseResultSet(result);
  if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
    *error = gdal_error("cannot run " + sql.substr(0, sql.find(' ', 8)));
    return false;
  }
  return true;
}

namespace {

// `text` between `quote`s, each `quote` in it doubled.
std::string quoted_with(const std::string& text, char quote) {
  std::string quoted(1, quote);
  for (const char c : text) {
    quoted += c;
    if (c == quote) quoted += quote;
  }
  quoted += quote;
  return quoted;
}

}  // namespace

std::string sql_literal(const std::string& text) { return quoted_with(text, '\''); }

std::string sql_identifier(const std::string& name) { return quoted_with(name, '"'); }

namespace {

// A tracks layer of LineStrings (written before lines were split at the
// antimeridian) is made again as MultiLineStrings from the stored
// positions, exactly as `kaldo tracks` does on its next run into it: in
// one transaction of its own, before the store's upgrade.
bool remake_line_string_tracks(const std::string& destination, std::string* error) {
  auto output = open_fleet_output(destination, {}, error);
  if (!output) return false;
  std::vector<track_point> stored;
  if (!output->read_stored(&stored, error)) return false;
  fleet_builder builder;
  for (track_point& point : stored) builder.add_stored(std::move(point));
  return output->write(builder.finish(), error);
}

std::unique_ptr<store_dataset> open_store(const std::string& destination, std::string* error,
                                          bool remake_tracks, bool second_look = false) {
  std::string why;
  const auto output = ogr_output_for(destination, "", &why);
  if (!output || (output->driver != "GPKG" && output->driver != "PostgreSQL")) {
    *error = "the store is a GeoPackage (.gpkg) or PostgreSQL (PG:...), not " + destination;
    return nullptr;
  }
  auto store = std::make_unique<store_dataset>();
  store->postgres = output->driver == "PostgreSQL";
  const store_kind& kind = kind_of(store->postgres);
  std::string path = destination;
  // A server that does not answer must not hold a connection attempt
  // longer than a caller may wait (2 s is libpq's shortest).
  if (store->postgres && lower(path).find("connect_timeout") == std::string::npos) {
    path += " connect_timeout=2";
  }
  GDALAllRegister();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(kind.driver);
  if (driver == nullptr) {
    *error = std::string("this GDAL has no ") + kind.driver + " driver";
    return nullptr;
  }
  CPLErrorReset();
  if (!store->postgres && !std::filesystem::exists(path)) {
    store->dataset.reset(driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
  } else {
    const char* allowed[] = {kind.driver, nullptr};
    store->dataset.reset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, allowed,
                                           nullptr, nullptr));
  }
  if (store->dataset == nullptr) {
    *error = gdal_error("cannot open the store");
    return nullptr;
  }
  if (OGRLayer* tracks = store->dataset->GetLayerByName(tracks_layer);
      remake_tracks && tracks != nullptr && wkbFlatten(tracks->GetGeomType()) == wkbLineString) {
    store->dataset.reset();
    if (!remake_line_string_tracks(destination, error)) {
      *error = "cannot make the tracks layer anew as MultiLineStrings: " + *error;
      return nullptr;
    }
    return open_store(destination, error, false);
  }
  for (const char* statement : kind.session_sql) {
    if (!execute_sql(*store->dataset, statement, error)) return nullptr;
  }
  const int version = schema_version(*store->dataset);
  if (version > store_schema_version) {
    *error = "the store was written by a newer kaldo (schema version " + std::to_string(version) +
             "; this one knows up to " + std::to_string(store_schema_version) +
             "): upgrade kaldo to write to it";
    return nullptr;
  }
  if (version < store_schema_version && !upgrade(*store, *output, error)) return nullptr;
  if (!ensure_position_events(*store, error)) return nullptr;
  if (!ensure_alerts_table(*store->dataset, store->postgres, error)) return nullptr;
  store->positions = store->dataset->GetLayerByName(positions_layer);
  store->tracks = store->dataset->GetLayerByName(tracks_layer);
  store->messages = store->dataset->GetLayerByName(messages_layer);
  if (store->positions == nullptr || store->tracks == nullptr || store->messages == nullptr) {
    *error = "the store lacks its positions, tracks or messages table";
    return nullptr;
  }
  store->point_indices = point_field_indices(*store->positions, positions_fields(), false,
                                             output->time_as_text, error);
  store->track_indices =
      track_field_indices(*store->tracks, tracks_fields(), false, output->time_as_text, error);
  store->message_indices = message_field_indices(*store->messages, false, error);
  if (store->point_indices.empty() || store->track_indices.empty() ||
      store->message_indices.empty()) {
    return nullptr;
  }
  if (!add_mailbox_tables(*store, error)) {
    // GDAL reads a table's columns once: a process starting beside this
    // one may have added the e-mail columns since, and adding them again
    // failed. A second look finds them there; any other failure repeats.
    if (second_look) return nullptr;
    store.reset();
    return open_store(destination, error, false, true);
  }
  if (!store->postgres) {
    auto* db = static_cast<sqlite3*>(store->dataset->GetInternalHandle("SQLITE_HANDLE"));
    if (db == nullptr) {
      *error = "this GDAL does not share its GeoPackage connection";
      return nullptr;
    }
    store->sqlite = std::make_unique<sqlite_statements>(db);
  }
  return store;
}

}  // namespace

std::unique_ptr<store_dataset> open_store_dataset(const std::string& destination,
                                                  std::string* error) {
  return open_store(destination, error, true);
}

}  // namespace kaldo::tool::serve
