#include "store/sqlite.h"

#include <sqlite3.h>

#include <future>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "db_test_support.h"

namespace mq::store {
namespace {

using db_test::sql;
using db_test::sql_value;
using db_test::temp_dir_t;

std::string error_text_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const sqlite::error_t& e) {
    return e.what();
  }
  return "(no sqlite::error_t)";
}

class sqlite_test : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("t.db");
    connection_ = std::make_unique<sqlite::connection_t>(path_);
    connection_->execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v INTEGER, s TEXT NOT NULL, b BLOB);");
  }

  temp_dir_t dir_;
  std::string path_;
  std::unique_ptr<sqlite::connection_t> connection_;
};

TEST(sqlite_error_test, message_format_without_connection_uses_generic_text) {
  EXPECT_EQ(std::string(sqlite::error_t(nullptr, SQLITE_BUSY, "ctx").what()),
            "'ctx' -> (result code0x5: database is locked)");
  // Lower-case hexadecimal, no blank before 0x.
  EXPECT_EQ(std::string(sqlite::error_t(nullptr, SQLITE_NOTADB, "x y").what()),
            "'x y' -> (result code0x1a: file is not a database)");
}

TEST(sqlite_error_test, failed_open_reports_the_connection_message_alone) {
  temp_dir_t dir;
  EXPECT_EQ(error_text_of([&] { sqlite::connection_t c(dir.file("missing/dir/q.db")); }),
            "unable to open database file");
}

TEST_F(sqlite_test, prepare_failure_names_the_statement_text) {
  EXPECT_EQ(error_text_of([&] { connection_->prepare("SELEC 1;"); }),
            "'sqlite3_prepare_v2: SELEC 1;' -> (result code0x1: near \"SELEC\": syntax error)");
}

TEST_F(sqlite_test, prepare_failure_in_a_group_names_the_rest_of_the_group) {
  EXPECT_EQ(error_text_of([&] { connection_->prepare_all("SELECT 1;\n  SELECT nope FROM t;\nSELECT 2;"); }),
            "'sqlite3_prepare_v2: SELECT nope FROM t;\nSELECT 2;' -> (result code0x1: no such column: nope)");
}

TEST_F(sqlite_test, bind_failures_name_the_bind_call) {
  auto s = connection_->prepare("INSERT INTO t(v, s) VALUES (?, ?);");
  const std::string tail = "' -> (result code0x19: column index out of range)";
  EXPECT_EQ(error_text_of([&] { s.bind_int64(3, 1); }), "'sqlite3_bind_int64" + tail);
  EXPECT_EQ(error_text_of([&] { s.bind_text(0, std::string("x")); }), "'sqlite3_bind_text" + tail);
  EXPECT_EQ(error_text_of([&] { s.bind_blob(9, std::string("x")); }), "'sqlite3_bind_blob" + tail);
  EXPECT_EQ(error_text_of([&] { s.bind_null(3); }), "'sqlite3_bind_null" + tail);
}

TEST_F(sqlite_test, step_failure_carries_the_constraint_message) {
  auto s = connection_->prepare("INSERT INTO t(v, s) VALUES (?, ?);");
  s.bind_int64(1, 1);
  EXPECT_EQ(error_text_of([&] { s.step(); }),
            "'step: sqlite3_step' -> (result code0x13: NOT NULL constraint failed: t.s)");
}

TEST_F(sqlite_test, group_is_split_in_order_and_whitespace_or_comment_tails_are_ignored) {
  auto all = connection_->prepare_all("  \n INSERT INTO t(v, s) VALUES (1, 'a');\n\tSELECT v FROM t;  -- done\n ");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].sql(), "INSERT INTO t(v, s) VALUES (1, 'a');");
  EXPECT_EQ(all[1].sql(), "SELECT v FROM t;");
  EXPECT_FALSE(all[0].step());
  ASSERT_TRUE(all[1].step());
  EXPECT_EQ(all[1].column_int64(0), 1);
  EXPECT_FALSE(all[1].step());
  EXPECT_THROW(connection_->prepare("SELECT 1; SELECT 2;"), sqlite::error_t);
}

TEST_F(sqlite_test, execute_runs_every_statement_of_a_text_in_order) {
  // The second statement only prepares once the first has run.
  connection_->execute("CREATE TABLE u (x);\nINSERT INTO u VALUES (7);\n\nINSERT INTO u SELECT x + 1 FROM u;\n");
  EXPECT_EQ(sql(path_, "SELECT x FROM u ORDER BY x;"), (db_test::rows_t{{"7"}, {"8"}}));
}

TEST_F(sqlite_test, reset_clears_bindings_so_unbound_parameters_are_null) {
  auto s = connection_->prepare("INSERT INTO t(v, s) VALUES (?, ?);");
  {
    auto use = s.use();
    s.bind_int64(1, 42);
    s.bind_text(2, std::string("first"));
    s.step();
  }
  {
    auto use = s.use();
    s.bind_text(2, std::string("second"));
    s.step();
  }
  EXPECT_EQ(sql(path_, "SELECT v, s FROM t ORDER BY id;"), (db_test::rows_t{{"42", "first"}, {"NULL", "second"}}));
}

TEST_F(sqlite_test, unsigned_values_keep_their_bit_pattern_and_text_keeps_embedded_nul) {
  const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
  const std::string text("a\0b", 3);
  auto insert = connection_->prepare("INSERT INTO t(v, s, b) VALUES (?, ?, ?);");
  insert.bind_uint64(1, big);
  insert.bind_text(2, text);
  insert.bind_blob(3, text);
  insert.step();
  EXPECT_EQ(sql_value(path_, "SELECT v FROM t;"), "-1");
  EXPECT_EQ(sql_value(path_, "SELECT length(CAST(s AS BLOB)) || '/' || length(b) FROM t;"), "3/3");
  auto select = connection_->prepare("SELECT v, s, b FROM t;");
  ASSERT_TRUE(select.step());
  EXPECT_EQ(select.column_uint64(0), big);
  EXPECT_EQ(select.column_text(1), text);
  EXPECT_EQ(select.column_text(2), text);
}

TEST_F(sqlite_test, transaction_commits_only_when_asked) {
  {
    sqlite::transaction_t transaction(*connection_);
    connection_->execute("INSERT INTO t(v, s) VALUES (1, 'kept');");
    EXPECT_TRUE(connection_->in_transaction());
    transaction.commit();
  }
  EXPECT_FALSE(connection_->in_transaction());
  {
    sqlite::transaction_t transaction(*connection_);
    connection_->execute("INSERT INTO t(v, s) VALUES (2, 'dropped');");
  }
  EXPECT_FALSE(connection_->in_transaction());
  EXPECT_THROW(
      {
        sqlite::transaction_t transaction(*connection_);
        connection_->execute("INSERT INTO t(v, s) VALUES (3, 'dropped too');");
        connection_->execute("INSERT INTO t(v) VALUES (4);");  // NOT NULL fails
        transaction.commit();
      },
      sqlite::error_t);
  EXPECT_FALSE(connection_->in_transaction());
  EXPECT_EQ(sql(path_, "SELECT v FROM t;"), (db_test::rows_t{{"1"}}));
}

TEST_F(sqlite_test, busy_database_is_waited_for_instead_of_failing) {
  // Another connection holds the write lock; our insert must wait until it
  // is released and then succeed.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);

  const auto retries_before = sqlite::busy_retries();
  auto done = std::async(std::launch::async, [&] {
    auto s = connection_->prepare("INSERT INTO t(v, s) VALUES (5, 'late');");
    s.step();
  });
  ASSERT_TRUE(db_test::eventually([&] { return sqlite::busy_retries() > retries_before; }));
  ASSERT_EQ(sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_NO_THROW(done.get());
  EXPECT_EQ(sql_value(path_, "SELECT s FROM t WHERE v = 5;"), "late");
}

TEST_F(sqlite_test, a_lock_held_past_the_busy_limit_fails_with_the_busy_error) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto limit = sqlite::set_busy_limit(std::chrono::milliseconds(300));
  auto s = connection_->prepare("INSERT INTO t(v, s) VALUES (6, 'never');");
  EXPECT_EQ(error_text_of([&] { s.step(); }), "'step: sqlite3_step' -> (result code0x5: database is locked)");
  sqlite::set_busy_limit(limit);
  sqlite3_close(other);
}

}  // namespace
}  // namespace mq::store
