// Statements GDAL has no part in, on a GeoPackage store: the write lock,
// the event ids, an e-mail folder's progress, and the lookups a batch makes
// before it writes. GDAL's ExecuteSQL first brings every layer it holds up
// to date in the database (feature counts, extents, the triggers that keep
// them), and compiles each attribute filter anew: either costs more than
// the statement itself when it runs once a message. These run instead on
// the SQLite connection GDAL holds, inside its transaction, each prepared
// once and reused.
//
// They write only to tables GDAL does not write through a layer: a row GDAL
// did not write would be missing from the counts it keeps of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kaldo::tool::serve {

using sql_value = std::variant<std::int64_t, std::string>;

// One row of a query's result, while the query's callback runs.
class sqlite_row {
 public:
  std::string text(int column) const;
  double real(int column) const;
  std::int64_t integer(int column) const;
  bool null(int column) const;

 private:
  friend class sqlite_statements;
  explicit sqlite_row(sqlite3_stmt* statement) : statement_(statement) {}
  sqlite3_stmt* statement_;
};

class sqlite_statements {
 public:
  // `db` stays GDAL's: it must outlive this object.
  explicit sqlite_statements(sqlite3* db) : db_(db) {}
  ~sqlite_statements();
  sqlite_statements(const sqlite_statements&) = delete;
  sqlite_statements& operator=(const sqlite_statements&) = delete;

  // Runs `sql`, which returns no rows, with `values` bound to its `?`s in
  // order. False with SQLite's reason.
  bool run(const std::string& sql, const std::vector<sql_value>& values, std::string* error);

  // Runs `sql` with `values` bound, calling `take` with each row.
  bool query(const std::string& sql, const std::vector<sql_value>& values,
             const std::function<void(const sqlite_row&)>& take, std::string* error);

 private:
  sqlite3* db_;
  std::map<std::string, sqlite3_stmt*> prepared_;
};

}  // namespace kaldo::tool::serve
