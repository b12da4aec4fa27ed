// Writes waiting for the database worker share one transaction: each in a
// savepoint of its own, one COMMIT, every result after it.

#include <sqlite3.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "db_test_support.h"
#include "ov/error.h"
#include "store/async_metadata_db.h"
#include "store/message_dir.h"
#include "store/metadata_db.h"
#include "store_test_util.h"

namespace mq::store {
namespace {

using db_test::rows_t;
using db_test::sql;

// Counts COMMIT attempts; fails the first `fail` of them.
struct commits_t {
  int fail = 0;
  int seen = 0;
  static int hook(void* self) {
    auto* c = static_cast<commits_t*>(self);
    ++c->seen;
    return c->fail-- > 0 ? 1 : 0;
  }
};

class group_test : public ::testing::TestWithParam<bool> {};

TEST_P(group_test, a_failing_operation_fails_alone_even_when_the_commit_fails) {
  const bool commit_fails = GetParam();
  db_test::temp_dir_t dir;
  const std::string path = dir.file("queue.db");
  metadata_db_t db(path, false);
  commits_t commits{commit_fails ? 1 : 0};
  sqlite3_commit_hook(db.connection().handle(), &commits_t::hook, &commits);

  std::vector<std::uint64_t> ids(3, 0);
  const auto errors = db.run_group({[&] { ids[0] = db.put_entry(db_test::full_entry("a")); },
                                    [&] {
                                      sqlite::transaction_t t(db.connection());
                                      ids[1] = db.put_entry(db_test::full_entry("b"));
                                      throw std::runtime_error("middle failed");
                                    },
                                    [&] { ids[2] = db.put_entry(db_test::full_entry("c")); }});
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_FALSE(errors[0]);
  EXPECT_EQ(ov::exception_text(errors[1]), std::string("middle failed"));
  EXPECT_FALSE(errors[2]);
  // One COMMIT for the group; after a failed one, one per operation that
  // succeeds on its own.
  EXPECT_EQ(commits.seen, commit_fails ? 3 : 1);
  EXPECT_EQ(sql(path, "SELECT session_id_string FROM entry ORDER BY id;"), (rows_t{{"sid-a"}, {"sid-c"}}));
  EXPECT_EQ(db_test::sql_count(path, "smtp_recipient"), 6);
  EXPECT_EQ(db.get_entry(static_cast<std::int64_t>(ids[0])).session_id, std::string("sid-a"));
  EXPECT_EQ(db.get_entry(static_cast<std::int64_t>(ids[2])).session_id, std::string("sid-c"));
}

INSTANTIATE_TEST_SUITE_P(commit, group_test, ::testing::Bool());

TEST(async_group_test, a_read_between_writes_ends_the_group_and_sees_only_what_came_before) {
  db_test::temp_dir_t dir;
  const std::string path = dir.file("queue.db");
  boost::asio::io_context io;
  db_test::log_capture_t log;
  async_metadata_db_t db(io);
  db.init(path, true).get();

  // Another process holds the database: the first put waits, the rest queue
  // up behind it.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  std::vector<std::string> order;
  auto put = [&](const std::string& tag) {
    db.put_entry(db_test::full_entry(tag), [&order, tag](mq::util::result_t<std::uint64_t> r) {
      order.push_back(mq::util::error_of(r) ? "failed " + tag : tag);
    });
  };
  const auto retries = sqlite::busy_retries();
  put("x");
  ASSERT_TRUE(db_test::eventually([&] { return sqlite::busy_retries() > retries; }));
  put("a1");
  put("a2");
  std::vector<queue_key_t> seen;
  db.get_queue_chunk(queue_chunk_request_t{0, 0, smtp_accepted, 0},
                     [&](mq::util::result_t<std::vector<queue_key_t>> r) {
                       seen = boost::get<std::vector<queue_key_t>>(r);
                       order.push_back("read");
                     });
  put("b");
  log.clear();
  ASSERT_EQ(sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  while (order.size() < 5) io.run_one();

  EXPECT_EQ(order, (std::vector<std::string>{"x", "a1", "a2", "read", "b"}));
  EXPECT_EQ(seen.size(), 3u);  // x, a1 and a2, not b
  // x alone, a1 and a2 together, b alone.
  EXPECT_EQ(log.count_prefixed("Queue metadata db: COMMIT;"), 3u);
  EXPECT_EQ(db_test::sql_count(path, "entry"), 4);
  db.stop().get();
}

struct sync_count_t : file_ops_t {
  int file_syncs = 0;
  int dir_syncs = 0;
  int fdatasync(int fd) override { return ++file_syncs, file_ops_t::fdatasync(fd); }
  int fsync(int fd) override { return ++dir_syncs, file_ops_t::fsync(fd); }
};

TEST(file_group_test, files_are_synced_each_and_the_directory_once_and_a_failing_one_fails_alone) {
  db_test::temp_dir_t tmp;
  const boost::filesystem::path base(tmp.path());
  sync_count_t ops;
  message_dir_t dir(base / "queue", &ops);
  dir.init(::getuid(), ::getgid());
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::close(pipe_fds[1]);
  const shared_file_t a = test::make_source(base / "a", "first"), bad(pipe_fds[0], 1),
                      c = test::make_source(base / "c", "third");
  const auto errors = dir.put_group({{"a.eml", &a}, {"bad.eml", &bad}, {"c.eml", &c}});
  EXPECT_FALSE(errors[0]);
  EXPECT_EQ(ov::exception_text(errors[1]), std::string("Message source is not a regular file: Invalid argument"));
  EXPECT_FALSE(errors[2]);
  EXPECT_EQ(ops.file_syncs, 2);
  EXPECT_EQ(ops.dir_syncs, 1);
  EXPECT_EQ(test::read_file(base / "queue" / "a.eml"), "first");
  EXPECT_EQ(test::read_file(base / "queue" / "c.eml"), "third");
  EXPECT_FALSE(boost::filesystem::exists(base / "queue" / "bad.eml"));
  EXPECT_EQ(dir.total_bytes(), 10u);
}

}  // namespace
}  // namespace mq::store
