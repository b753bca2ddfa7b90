// Statements on a SQLite connection someone else holds: values bound in
// order, a statement reused after it failed, and failures that name the
// statement.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "tool/serve/sqlite_statements.h"

namespace kaldo::tool::serve {
namespace {

class SqliteStatements : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_, "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE, n INTEGER)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  void TearDown() override { sqlite3_close(db_); }

  std::vector<std::string> rows() {
    std::vector<std::string> out;
    sqlite3_exec(
        db_, "SELECT name || '=' || n FROM t ORDER BY id",
        [](void* to, int, char** values, char**) {
          static_cast<std::vector<std::string>*>(to)->push_back(values[0]);
          return 0;
        },
        &out, nullptr);
    return out;
  }

  sqlite3* db_ = nullptr;
};

TEST_F(SqliteStatements, BindsInOrderAndGoesOnAfterAFailure) {
  const std::string insert = "INSERT INTO t (name, n) VALUES (?, ?)";
  std::string error;
  {
    sqlite_statements statements(db_);
    struct step {
      const char* what;
      std::string sql;
      std::vector<sql_value> values;
      bool ok;
      const char* error_holds;
    } steps[] = {
        {"text and a 64-bit integer", insert, {std::string("a'b"), std::int64_t{1} << 40}, true, ""},
        {"the same statement again", insert, {std::string("second"), std::int64_t{-1}}, true, ""},
        {"a broken constraint", insert, {std::string("second"), std::int64_t{3}}, false, "UNIQUE"},
        {"the statement after its failure", insert, {std::string("third"), std::int64_t{3}}, true, ""},
        {"too few values", insert, {std::string("fourth")}, false, "takes 2 values, not 1"},
        {"no such table", "INSERT INTO nowhere VALUES (?)", {std::int64_t{1}}, false, "cannot prepare INSERT INTO"},
        {"no values at all", "UPDATE t SET n = n + 1", {}, true, ""},
    };
    for (const step& s : steps) {
      SCOPED_TRACE(s.what);
      error.clear();
      EXPECT_EQ(statements.run(s.sql, s.values, &error), s.ok) << error;
      EXPECT_NE(error.find(s.error_holds), std::string::npos) << error;
      EXPECT_EQ(error.empty(), s.ok) << error;
    }
    // Rows come back with their columns' types.
    std::vector<std::string> read;
    EXPECT_TRUE(statements.query(
        "SELECT name, n, n * 0.5, NULL FROM t WHERE n >= ? ORDER BY id", {std::int64_t{0}},
        [&](const sqlite_row& row) {
          read.push_back(row.text(0) + "|" + std::to_string(row.integer(1)) + "|" +
                         std::to_string(row.real(2)) + "|" + (row.null(3) ? "null" : "set"));
        },
        &error))
        << error;
    EXPECT_EQ(read, (std::vector<std::string>{"a'b|1099511627777|549755813888.500000|null",
                                              "second|0|0.000000|null", "third|4|2.000000|null"}));
  }  // every statement finalized: the connection closes cleanly
  EXPECT_EQ(rows(), (std::vector<std::string>{"a'b=1099511627777", "second=0", "third=4"}));
}

}  // namespace
}  // namespace kaldo::tool::serve
