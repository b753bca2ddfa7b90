#include "tool/serve/sqlite_statements.h"

#include <sqlite3.h>

namespace kaldo::tool::serve {

sqlite_statements::~sqlite_statements() {
  for (auto& [sql, statement] : prepared_) sqlite3_finalize(statement);
}

bool sqlite_statements::run(const std::string& sql, const std::vector<sql_value>& values,
                            std::string* error) {
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
  int at = 1;
  for (const sql_value& value : values) {
    const int bound =
        std::holds_alternative<std::int64_t>(value)
            ? sqlite3_bind_int64(statement, at, std::get<std::int64_t>(value))
            : sqlite3_bind_text(statement, at, std::get<std::string>(value).data(),
                                static_cast<int>(std::get<std::string>(value).size()), SQLITE_TRANSIENT);
    if (bound != SQLITE_OK) {
      sqlite3_reset(statement);
      return failed("cannot run");
    }
    ++at;
  }
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  // The error is read before the reset, which would clear it.
  const bool done = step == SQLITE_DONE;
  if (!done) failed("cannot run");
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return done;
}

}  // namespace kaldo::tool::serve
