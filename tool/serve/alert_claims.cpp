#include "tool/serve/alert_claims.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <random>

#include "tool/outputs/ogr_layers.h"
#include "tool/serve/alert_message.h"
#include "tool/serve/store_dataset.h"
#include "tool/utc_text.h"

namespace kaldo::tool::serve {
namespace {

// The columns, with their type in each dialect.
struct alert_column {
  const char* name;
  const char* sqlite;
  const char* postgres;
};

const std::vector<alert_column>& alert_columns() {
  static const std::vector<alert_column> columns = {
      {"fid", "INTEGER PRIMARY KEY AUTOINCREMENT", "BIGSERIAL PRIMARY KEY"},
      {"alert_key", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"target", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"modem_id", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"\"time\"", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"latitude", "REAL NOT NULL", "DOUBLE PRECISION NOT NULL"},
      {"longitude", "REAL NOT NULL", "DOUBLE PRECISION NOT NULL"},
      {"body", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"claimed_at", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"owner", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"lease_until", "INTEGER NOT NULL", "BIGINT NOT NULL"},
      // pending, sent, given_up
      {"state", "TEXT NOT NULL", "TEXT NOT NULL"},
      {"attempts", "INTEGER NOT NULL", "INTEGER NOT NULL"},
      {"last_error", "TEXT", "TEXT"},
      {"sent_at", "TEXT", "TEXT"},
  };
  return columns;
}

}  // namespace

std::int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool ensure_alerts_table(GDALDataset& dataset, bool postgres, std::string* error) {
  std::string create = std::string("CREATE TABLE IF NOT EXISTS ") + alerts_table + " (";
  for (std::size_t i = 0; i < alert_columns().size(); ++i) {
    const alert_column& c = alert_columns()[i];
    create += (i ? ", " : "") + std::string(c.name) + " " + (postgres ? c.postgres : c.sqlite);
  }
  create += ")";
  const std::string index = std::string("CREATE UNIQUE INDEX IF NOT EXISTS alerts_one_per_target ON ") +
                            alerts_table + " (alert_key, target)";
  if (!postgres) {
    return execute_sql(dataset, create, error) && execute_sql(dataset, index, error);
  }
  // Two receivers starting at once on a new database: "IF NOT EXISTS" is
  // no guard against both creating the table; the lock is.
  if (dataset.StartTransaction() != OGRERR_NONE) {
    *error = "cannot start the transaction that makes the alerts table";
    return false;
  }
  if (!execute_sql(dataset, schema_change_lock, error) ||
      !execute_sql(dataset, create, error) || !execute_sql(dataset, index, error)) {
    dataset.RollbackTransaction();
    return false;
  }
  if (dataset.CommitTransaction() != OGRERR_NONE) {
    *error = "cannot commit the alerts table";
    return false;
  }
  return true;
}

bool claim_alerts(GDALDataset& dataset, bool postgres, const track_point& point,
                  const std::vector<std::string>& targets, const std::string& owner,
                  std::string* error) {
  const std::string key = alert_key(point);
  const std::string lease = std::to_string(unix_now() + alert_lease.count());
  for (const std::string& target : targets) {
    std::string sql = std::string(postgres ? "INSERT INTO " : "INSERT OR IGNORE INTO ") +
                      alerts_table +
                      " (alert_key, target, modem_id, \"time\", latitude, longitude, body, "
                      "claimed_at, owner, lease_until, state, attempts) VALUES (" +
                      sql_literal(key) + ", " + sql_literal(target) + ", " +
                      sql_literal(point.modem_id) + ", " +
                      sql_literal(utc_iso8601(point.position.time)) + ", " +
                      shortest_number(point.position.latitude) + ", " +
                      shortest_number(point.position.longitude) + ", " +
                      sql_literal(alert_json(point)) + ", " + sql_literal(utc_now_iso8601()) + ", " +
                      sql_literal(owner) + ", " + lease + ", 'pending', 0)";
    if (postgres) sql += " ON CONFLICT (alert_key, target) DO NOTHING";
    if (!execute_sql(dataset, sql, error)) return false;
  }
  return true;
}

std::string new_alert_owner() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::random_device random;
  return std::string(host) + "/" + std::to_string(getpid()) + "/" + std::to_string(random());
}

bool owner_is_gone(const std::string& owner) {
  const auto first = owner.find('/');
  const auto second = owner.find('/', first + 1);
  if (first == std::string::npos || second == std::string::npos) return false;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  if (owner.substr(0, first) != host) return false;
  const std::string pid_text = owner.substr(first + 1, second - first - 1);
  if (pid_text.empty() || pid_text.find_first_not_of("0123456789") != std::string::npos) return false;
  const pid_t pid = static_cast<pid_t>(std::stol(pid_text));
  // Our own id under another owner name: an earlier process that had it.
  if (pid == getpid()) return true;
  return kill(pid, 0) != 0 && errno == ESRCH;
}

std::string alert_ledger::mine(const std::string& key) const {
  return " WHERE alert_key = " + sql_literal(key) + " AND target = " + sql_literal(target_) +
         " AND owner = " + sql_literal(owner_);
}

std::vector<claimed_alert> alert_ledger::select(const std::string& where, std::string* error) {
  const std::string sql = std::string(
                              "SELECT alert_key, target, modem_id, \"time\", latitude, longitude, "
                              "body, claimed_at, owner, lease_until, attempts FROM ") +
                          alerts_table + " WHERE target = " + sql_literal(target_) +
                          " AND state = 'pending' AND " + where + " ORDER BY fid";
  std::vector<claimed_alert> rows;
  CPLErrorReset();
  OGRLayer* result = dataset_.ExecuteSQL(sql.c_str(), nullptr, nullptr);
  if (result == nullptr) {
    if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
      *error = gdal_error("cannot read the alerts table");
    }
    return rows;
  }
  for (auto& f : *result) {
    claimed_alert a;
    a.key = f->GetFieldAsString(0);
    a.target = f->GetFieldAsString(1);
    a.modem_id = f->GetFieldAsString(2);
    a.time = f->GetFieldAsString(3);
    a.latitude = f->GetFieldAsDouble(4);
    a.longitude = f->GetFieldAsDouble(5);
    a.body = f->GetFieldAsString(6);
    a.claimed_at = f->GetFieldAsString(7);
    a.owner = f->GetFieldAsString(8);
    a.lease_until = f->GetFieldAsInteger64(9);
    a.attempts = f->GetFieldAsInteger(10);
    rows.push_back(std::move(a));
  }
  dataset_.ReleaseResultSet(result);
  return rows;
}

std::vector<claimed_alert> alert_ledger::take_over(std::int64_t now, std::string* error) {
  std::vector<claimed_alert> taken;
  std::map<std::string, std::string> previous;
  for (claimed_alert& a : select("owner <> " + sql_literal(owner_), error)) {
    if (a.lease_until >= now && !owner_is_gone(a.owner)) continue;
    previous[a.key] = a.owner;
    // Taken only from the owner it was read with: of two receivers taking
    // it over at once, one changes the row.
    const std::string sql = std::string("UPDATE ") + alerts_table + " SET owner = " +
                            sql_literal(owner_) + ", lease_until = " +
                            std::to_string(now + alert_lease.count()) +
                            " WHERE alert_key = " + sql_literal(a.key) + " AND target = " +
                            sql_literal(target_) + " AND owner = " + sql_literal(a.owner) +
                            " AND state = 'pending'";
    if (!execute_sql(dataset_, sql, error)) return taken;
  }
  if (!error->empty()) return taken;
  taken = select("owner = " + sql_literal(owner_), error);
  for (claimed_alert& a : taken) {
    if (auto p = previous.find(a.key); p != previous.end()) a.taken_from = p->second;
  }
  return taken;
}

bool alert_ledger::renew(std::int64_t now, std::string* error) {
  return execute_sql(dataset_,
                     std::string("UPDATE ") + alerts_table + " SET lease_until = " +
                         std::to_string(now + alert_lease.count()) + " WHERE target = " +
                         sql_literal(target_) + " AND owner = " + sql_literal(owner_) +
                         " AND state = 'pending'",
                     error);
}

bool alert_ledger::mark_sent(const std::string& key, int attempts, std::string* error) {
  return execute_sql(dataset_,
                     std::string("UPDATE ") + alerts_table + " SET state = 'sent', attempts = " +
                         std::to_string(attempts) + ", last_error = NULL, sent_at = " +
                         sql_literal(utc_now_iso8601()) + mine(key),
                     error);
}

bool alert_ledger::mark_failed(const std::string& key, int attempts, const std::string& why,
                               bool give_up, std::string* error) {
  return execute_sql(dataset_,
                     std::string("UPDATE ") + alerts_table + " SET state = " +
                         (give_up ? "'given_up'" : "'pending'") +
                         ", attempts = " + std::to_string(attempts) +
                         ", last_error = " + sql_literal(why) + mine(key),
                     error);
}

bool alert_ledger::release(std::string* error) {
  return execute_sql(dataset_,
                     std::string("UPDATE ") + alerts_table + " SET lease_until = 0 WHERE target = " +
                         sql_literal(target_) + " AND owner = " + sql_literal(owner_) +
                         " AND state = 'pending'",
                     error);
}

}  // namespace kaldo::tool::serve
