#include "tool/serve/sqlite_statements.h"

#include <sqlite3.h>

namespace kaldo::tool::serve {

sqlite_statements::~sqlite_statements() {
  for (auto& [sql, statement] : prepared_) sqlite3_finalize(statement);
}

std::string sqlite_row::text(int column) const {
  const auto* bytes = sqlite3_column_text(statement_, column);
  return bytes == nullptr ? std::string()
                          : std::string(reinterpret_cast<const char*>(bytes),
                                        static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

double sqlite_row::real(int column) const { return sqlite3_column_double(statement_, column); }

std::int64_t sqlite_row::integer(int column) const { return sqlite3_column_int64(statement_, column); }

bool sqlite_row::null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

bool sqlite_statements::run(const std::string& sql, const std::vector<sql_value>& values,
                            std::string* error) {
  return query(sql, values, [](const sqlite_row&) {}, error);
}

bool sqlite_statements::query(const std::string& sql, const std::vector<sql_value>& values,
                              const std::function<void(const sqlite_row&)>& take, std::string* error) {
  auto failed = [&](const char* what) {
    *error = std::string(what) + " " + sql.substr(0, sql.find(' ', 8)) + ": " + sqlite3_errmsg(db_);
    return false;
  };
  sqlite3_stmt*& statement = prepared_[sql];
  if (statement == nullptr &&
      sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &statement, nullptr) != SQLITE_OK) {
    prepared_.erase(sql);
    return failed("cannot prepare");
  }
  if (static_cast<std::size_t>(sqlite3_bind_parameter_count(statement)) != values.size()) {
    *error = "cannot run " + sql.substr(0, sql.find(' ', 8)) + ": it takes " +
             std::to_string(sqlite3_bind_parameter_count(statement)) + " values, not " +
             std::to_string(values.size());
    return false;
  }
  // Ready for its next use however this one ends, a row's taker throwing
  // included.
  struct reset_after {
    sqlite3_stmt* statement;
    ~reset_after() {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    }
  } reset{statement};
  int at = 1;
  for (const sql_value& value : values) {
    const int bound =
        std::holds_alternative<std::int64_t>(value)
            ? sqlite3_bind_int64(statement, at, std::get<std::int64_t>(value))
            : sqlite3_bind_text(statement, at, std::get<std::string>(value).data(),
                                static_cast<int>(std::get<std::string>(value).size()), SQLITE_TRANSIENT);
    if (bound != SQLITE_OK) return failed("cannot run");
    ++at;
  }
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) take(sqlite_row(statement));
  // The error is read before the reset, which would clear it.
  return step == SQLITE_DONE || failed("cannot run");
}

}  // namespace kaldo::tool::serve
