// The store's database as GDAL holds it: a GeoPackage or a PostgreSQL
// connection, set up for durable commits, its schema brought to the
// current version, and the fields of its layers found.
//
// Schema versions: 0 is a store `kaldo tracks` wrote (positions and tracks
// only); 1 adds the `messages` table with one row per (imei, momsn,
// session_time), and indexes on a unit's points by time and on its track
// row. The version is kept in the one-row table `kaldo_schema`.
#pragma once

#include <gdal_priv.h>

#include <memory>
#include <string>
#include <vector>

#include "tool/serve/sqlite_statements.h"

namespace kaldo::tool::serve {

inline constexpr int store_schema_version = 1;
inline constexpr const char* messages_layer = "messages";

// The fields of `messages`, in order.
enum class message_value {
  received_at, channel, imei, momsn, mtmsn, cdr_reference, session_time, session_status,
  payload, iridium_latitude, iridium_longitude, iridium_cep_km, status, error,
};

struct store_dataset {
  std::unique_ptr<GDALDataset> dataset;
  bool postgres = false;
  // A GeoPackage's own SQLite connection, for the statements of a write
  // that GDAL has no part in. Declared after `dataset`, so closed first.
  std::unique_ptr<sqlite_statements> sqlite;
  OGRLayer* positions = nullptr;
  OGRLayer* tracks = nullptr;
  OGRLayer* messages = nullptr;
  std::vector<int> point_indices;    // of positions_fields()
  std::vector<int> track_indices;    // of tracks_fields()
  std::vector<int> message_indices;  // by message_value
  // imap_folder, imap_uidvalidity, imap_uid of `messages` (store_mailbox.cpp)
  std::vector<int> mailbox_indices;
};

// Adds, where missing, the columns of `messages` that say which e-mail a
// message came in, and the table of each IMAP folder's progress. Safe to
// run on every start.
bool add_mailbox_tables(store_dataset& store, std::string* error);

struct mailbox_place;

// Sets the e-mail columns of a `messages` row (null without a place).
void set_mailbox_fields(const store_dataset& store, OGRFeature& row,
                        const mailbox_place* place);

// Records `place.uid` as the last UID done of its folder, under its
// UIDVALIDITY; inside the caller's transaction.
bool write_mailbox_progress(store_dataset& store, const mailbox_place& place, std::string* error);

// Opens `destination` (a GeoPackage path, created when missing, or
// "PG:..."), upgrading a store of an earlier version in one transaction.
// Refuses a store of a newer version. Empty with the reason in `*error`.
std::unique_ptr<store_dataset> open_store_dataset(const std::string& destination,
                                                  std::string* error);

// PostgreSQL: taken by every change of the store's tables made as a
// process starts (the upgrade, the events, alerts and e-mail tables), so
// that two processes starting at once take turns. Never taken by a write
// of messages, which takes the event order's lock instead
// (position_events.cpp): with one lock for both, a receiver starting
// beside one that writes deadlocked.
inline constexpr const char* schema_change_lock = "SELECT pg_advisory_xact_lock(7013159536472106240)";

// Runs one SQL statement that returns no rows; false with GDAL's reason.
bool execute_sql(GDALDataset& dataset, const std::string& sql, std::string* error);

// `text` as an SQL string literal, for SQLite and for PostgreSQL with
// standard_conforming_strings (which the store's connection sets).
std::string sql_literal(const std::string& text);
// `name` as a quoted SQL identifier (a table's or a column's).
std::string sql_identifier(const std::string& name);

}  // namespace kaldo::tool::serve
