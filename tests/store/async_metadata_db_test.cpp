#include "store/async_metadata_db.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>

#include "db_test_support.h"
#include "store/sqlite.h"

namespace mq::store {
namespace {

using db_test::sql;
using db_test::sql_count;
using db_test::temp_dir_t;
using mq::util::result_t;
using ov::util::logger::debug;
using ov::util::logger::error;

std::string error_text(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  }
}

class async_metadata_db_test : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("queue.db");
    db_ = std::make_unique<async_metadata_db_t>(io_);
  }

  void TearDown() override {
    if (db_) db_->stop().get();
  }

  // Runs the event loop until the predicate holds (a minute at most).
  template <class P>
  bool run_until(P predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!predicate()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      io_.run_one_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  // Starts an operation with a callback and waits for its result; checks
  // that the result arrived on this (the event loop's) thread.
  template <class T, class Start>
  result_t<T> call(Start start) {
    boost::optional<result_t<T>> got;
    std::thread::id thread;
    start([&](result_t<T> r) {
      thread = std::this_thread::get_id();
      got = std::move(r);
    });
    EXPECT_TRUE(run_until([&] { return got.has_value(); }));
    EXPECT_EQ(thread, std::this_thread::get_id());
    if (!got) throw std::runtime_error("no result");
    return std::move(*got);
  }

  std::uint64_t put(const entry_metadata_t& m) {
    auto r = call<std::uint64_t>([&](auto cb) { db_->put_entry(m, cb); });
    return mq::util::value_of(r);
  }

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{io_.get_executor()};
  temp_dir_t dir_;
  std::string path_;
  std::unique_ptr<async_metadata_db_t> db_;
};

TEST_F(async_metadata_db_test, operations_deliver_results_on_the_event_loop_with_their_log_lines) {
  db_test::log_capture_t log;
  db_->init(path_, false).get();
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Init"));

  auto m = db_test::full_entry("a");
  const auto id = static_cast<std::int64_t>(put(m));
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Put entry sid-a"));
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Put entry sid-a: id=" + std::to_string(id)));

  auto got = call<entry_metadata_t>([&](auto cb) { db_->get_entry(id, cb); });
  EXPECT_EQ(mq::util::value_of(got).smtp_sender.sender, "sender-a@example.org");
  EXPECT_EQ(mq::util::value_of(got).id, id);

  entry_metadata_update_t u;
  u.message_filename = "b.eml";
  u.next_access_ts = 50;
  auto previous = call<std::string>([&](auto cb) { db_->update_entry(id, u, cb); });
  EXPECT_EQ(mq::util::value_of(previous), "file-a.eml");
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Update entry " + std::to_string(id)));
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Update entry " + std::to_string(id) + ": success"));

  auto stats = call<queue_stats_t>([&](auto cb) { db_->get_queue_stat(cb); });
  EXPECT_EQ(mq::util::value_of(stats).stats[smtp_accepted].total_messages, 1u);
  EXPECT_EQ(mq::util::value_of(stats).stats[smtp_accepted].total_bytes, 1234u);

  queue_chunk_request_t request;
  request.status = smtp_accepted;
  auto keys = call<std::vector<queue_key_t>>([&](auto cb) { db_->get_queue_chunk(request, cb); });
  ASSERT_EQ(mq::util::value_of(keys).size(), 1u);
  EXPECT_EQ(mq::util::value_of(keys)[0].next_access_ts, 50u);
  auto briefs = call<std::vector<entry_brief_t>>([&](auto cb) { db_->get_queue_chunk_brief(request, cb); });
  ASSERT_EQ(mq::util::value_of(briefs).size(), 1u);
  EXPECT_EQ(mq::util::value_of(briefs)[0].recipients.size(), 3u);

  auto flushed = call<std::vector<queue_key_t>>([&](auto cb) { db_->flush_queue(smtp_accepted, cb); });
  ASSERT_EQ(mq::util::value_of(flushed).size(), 1u);
  EXPECT_EQ(mq::util::value_of(flushed)[0].entry_id, id);

  auto removed = call<boost::optional<std::string>>([&](auto cb) { db_->remove_entry(id, cb); });
  EXPECT_EQ(mq::util::value_of(removed), std::string("b.eml"));
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Remove entry " + std::to_string(id)));
  removed = call<boost::optional<std::string>>([&](auto cb) { db_->remove_entry(id, cb); });
  EXPECT_EQ(mq::util::value_of(removed), boost::none);

  db_->stop().get();
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Stop"));
  for (const auto& line : log.lines()) EXPECT_NE(line.first, error) << line.second;
}

TEST_F(async_metadata_db_test, put_without_session_id_logs_an_empty_one) {
  db_test::log_capture_t log;
  db_->init(path_, false).get();
  const auto id = put(db_test::bare_entry(0));
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Put entry "));
  EXPECT_TRUE(log.has(debug, "Queue metadata db: Put entry : id=" + std::to_string(id)));
}

TEST_F(async_metadata_db_test, failures_reach_the_callback_and_the_error_log) {
  db_->init(path_, false).get();
  const auto id = static_cast<std::int64_t>(put(db_test::full_entry("a")));
  sql(path_,
      "CREATE TRIGGER no_sender BEFORE INSERT ON smtp_sender WHEN NEW.sender = 'bad' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END;"
      "CREATE TRIGGER no_delete BEFORE DELETE ON entry BEGIN SELECT RAISE(ABORT, 'kept'); END;");
  // Statements prepared before the schema changed are recompiled by SQLite.
  db_test::log_capture_t log;

  auto m = db_test::full_entry("x");
  m.smtp_sender.sender = "bad";
  auto put_result = call<std::uint64_t>([&](auto cb) { db_->put_entry(m, cb); });
  const std::string refused = "'step: sqlite3_step' -> (result code0x13: refused)";
  ASSERT_FALSE(mq::util::has_value(put_result));
  EXPECT_EQ(error_text(mq::util::error_of(put_result)), refused);
  EXPECT_TRUE(log.has(error, "Queue metadata db: Put entry sid-x: " + refused));
  EXPECT_FALSE(log.has(debug, "Queue metadata db: Put entry sid-x: id=2"));

  entry_metadata_update_t u;
  u.smtp_sender = smtp_sender_t{"bad", {}};
  auto update_result = call<std::string>([&](auto cb) { db_->update_entry(id, u, cb); });
  ASSERT_FALSE(mq::util::has_value(update_result));
  EXPECT_TRUE(log.has(error, "Queue metadata db: Update entry " + std::to_string(id) + ": " + refused));
  EXPECT_FALSE(log.has(debug, "Queue metadata db: Update entry " + std::to_string(id) + ": success"));

  auto remove_result = call<boost::optional<std::string>>([&](auto cb) { db_->remove_entry(id, cb); });
  ASSERT_FALSE(mq::util::has_value(remove_result));
  EXPECT_TRUE(log.has(error, "Queue metadata db: Remove entry " + std::to_string(id) +
                                 ": 'step: sqlite3_step' -> (result code0x13: kept)"));

  auto get_result = call<entry_metadata_t>([&](auto cb) { db_->get_entry(id + 100, cb); });
  ASSERT_FALSE(mq::util::has_value(get_result));
  EXPECT_EQ(error_text(mq::util::error_of(get_result)), "Entry not found");
}

TEST_F(async_metadata_db_test, failed_init_keeps_the_open_database_and_a_good_one_replaces_it) {
  db_->init(path_, false).get();
  put(db_test::bare_entry(0));

  auto failed = db_->init(dir_.file("missing/queue.db"), false);
  try {
    failed.get();
    ADD_FAILURE() << "init of an unreachable file succeeded";
  } catch (const sqlite::error_t& e) {
    EXPECT_STREQ(e.what(), "unable to open database file");
  }
  put(db_test::bare_entry(0));
  EXPECT_EQ(sql_count(path_, "entry"), 2);

  const auto second = dir_.file("second.db");
  db_->init(second, false).get();
  put(db_test::bare_entry(0));
  EXPECT_EQ(sql_count(path_, "entry"), 2);
  EXPECT_EQ(sql_count(second, "entry"), 1);
}

TEST_F(async_metadata_db_test, operations_before_init_fail) {
  auto r = call<queue_stats_t>([&](auto cb) { db_->get_queue_stat(cb); });
  ASSERT_FALSE(mq::util::has_value(r));
  EXPECT_EQ(error_text(mq::util::error_of(r)), "Queue metadata db is not open");

  std::promise<std::vector<health_check_entry_t>> records;
  auto records_future = records.get_future();
  std::promise<std::vector<std::int64_t>> orphans;
  std::promise<void> done;
  auto done_future = done.get_future();
  db_->check_health(std::move(records), orphans.get_future(), std::move(done), false);
  EXPECT_THROW(records_future.get(), std::runtime_error);
  EXPECT_THROW(done_future.get(), std::runtime_error);
}

TEST_F(async_metadata_db_test, stop_waits_for_every_earlier_task_and_results_keep_posting_order) {
  db_->init(path_, false).get();
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 20; ++i) {
    db_->put_entry(db_test::bare_entry(static_cast<std::uint64_t>(i)),
                   [&](result_t<std::uint64_t> r) { ids.push_back(mq::util::value_of(r)); });
  }
  db_->stop().get();
  // Without running the event loop: every put is already in the file.
  EXPECT_EQ(sql_count(path_, "entry"), 20);
  EXPECT_TRUE(ids.empty());
  ASSERT_TRUE(run_until([&] { return ids.size() == 20; }));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
}

TEST_F(async_metadata_db_test, results_of_a_destroyed_database_are_dropped) {
  db_->init(path_, false).get();
  bool called = false;
  db_->put_entry(db_test::bare_entry(0), [&](result_t<std::uint64_t>) { called = true; });
  db_->stop().get();
  db_.reset();
  // The delivery is queued on the event loop by now; it must do nothing.
  io_.poll();
  EXPECT_FALSE(called);
  EXPECT_EQ(sql_count(path_, "entry"), 1);
}

TEST_F(async_metadata_db_test, trace_follows_set_trace) {
  db_test::log_capture_t log;
  db_->init(path_, false).get();
  auto m = db_test::bare_entry(0);
  put(m);
  EXPECT_EQ(log.count_prefixed("Queue metadata db: INSERT"), 0u);
  db_->set_trace(true);
  put(m);
  EXPECT_GT(log.count_prefixed("Queue metadata db: INSERT INTO entry("), 0u);
  db_->set_trace(false);
  log.clear();
  put(m);
  EXPECT_EQ(log.count_prefixed("Queue metadata db: INSERT"), 0u);
}

TEST_F(async_metadata_db_test, health_half_runs_on_the_worker_and_fixes_through_the_channels) {
  db_->init(path_, false).get();
  const auto a = static_cast<std::int64_t>(put(db_test::full_entry("a")));
  const auto b = static_cast<std::int64_t>(put(db_test::full_entry("b")));

  std::promise<std::vector<health_check_entry_t>> records;
  auto records_future = records.get_future();
  std::promise<std::vector<std::int64_t>> orphans;
  std::promise<void> done;
  auto done_future = done.get_future();
  db_->check_health(std::move(records), orphans.get_future(), std::move(done), true);

  const auto list = records_future.get();
  ASSERT_EQ(list.size(), 2u);
  // The worker now waits for the orphan ids: other tasks queue behind it.
  bool stat_done = false;
  db_->get_queue_stat([&](result_t<queue_stats_t>) { stat_done = true; });
  EXPECT_EQ(done_future.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  orphans.set_value({b});
  done_future.get();
  ASSERT_TRUE(run_until([&] { return stat_done; }));
  EXPECT_EQ(db_test::sql_value(path_, "SELECT id FROM entry;"), std::to_string(a));
}

}  // namespace
}  // namespace mq::store
