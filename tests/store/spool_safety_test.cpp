// A hostile run-as user owns the spool directory and may plant links in it
// while root still opens the database there.

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/filesystem/operations.hpp>

#include "db_test_support.h"
#include "store/message_dir.h"
#include "store/metadata_db.h"
#include "store_test_util.h"

namespace mq::store {
namespace {

namespace fs = boost::filesystem;
using db_test::temp_dir_t;

struct planted_t {
  const char* name;
  // Plants something in the spool; `outside` is a file the user must not
  // reach, `before` whether it happens before the database is opened.
  std::function<void(const fs::path& spool, const fs::path& outside)> plant;
  bool before;
  const char* error;  // expected in the open failure; empty: the put fails
};

class planted_link_test : public ::testing::TestWithParam<planted_t> {};

TEST_P(planted_link_test, is_never_followed) {
  const auto& row = GetParam();
  temp_dir_t spool, elsewhere;
  const fs::path db = fs::path(spool.path()) / "queue.db";
  const fs::path outside = fs::path(elsewhere.path()) / "outside";
  sqlite::connection_t(spool.file("other.db")).execute("CREATE TABLE t(x);");  // the user's own
  test::write_file(outside, "keep");
  if (row.before) {
    row.plant(spool.path(), outside);
    try {
      metadata_db_t opened(db.string(), false);
      ADD_FAILURE() << "opened through " << row.name;
    } catch (const sqlite::error_t& e) {
      EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
    }
  } else {
    metadata_db_t opened(db.string(), false);
    row.plant(spool.path(), outside);
    EXPECT_THROW(opened.put_entry(db_test::full_entry("x")), sqlite::error_t);
  }
  EXPECT_EQ(test::read_file(outside), "keep");
  EXPECT_FALSE(fs::exists(fs::path(elsewhere.path()) / "missing"));
}

void symlink_to_missing(const fs::path& from, const fs::path& outside) {
  fs::create_symlink(outside.parent_path() / "missing", from);
}

INSTANTIATE_TEST_SUITE_P(
    rows, planted_link_test,
    ::testing::Values(
        planted_t{"db_link_to_missing", [](auto& s, auto& o) { symlink_to_missing(s / "queue.db", o); }, true,
                  "queue.db is a symbolic link"},
        planted_t{"db_link_to_database", [](auto& s, auto&) { fs::create_symlink(s / "other.db", s / "queue.db"); },
                  true, "queue.db is a symbolic link"},
        planted_t{"db_hard_link", [](auto& s, auto&) { fs::create_hard_link(s / "other.db", s / "queue.db"); }, true,
                  "queue.db has 2 hard links"},
        planted_t{"journal_link", [](auto& s, auto& o) { symlink_to_missing(s / "queue.db-journal", o); }, true,
                  "queue.db-journal is a symbolic link"},
        planted_t{"journal_hard_link", [](auto& s, auto& o) { fs::create_hard_link(o, s / "queue.db-journal"); }, true,
                  "queue.db-journal has 2 hard links"},
        planted_t{"journal_link_after_open", [](auto& s, auto& o) { symlink_to_missing(s / "queue.db-journal", o); },
                  false, ""},
        planted_t{"journal_hard_link_after_open",
                  [](auto& s, auto& o) { fs::create_hard_link(o, s / "queue.db-journal"); }, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(disk_reserve_test, a_sparse_source_of_huge_stated_size_fails_before_copying) {
  temp_dir_t tmp;
  const fs::path queue = fs::path(tmp.path()) / "queue";
  message_dir_t dir(queue);
  dir.init(::getuid(), ::getgid());
  const fs::path big = fs::path(tmp.path()) / "sparse";
  const int fd = ::open(big.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const std::uint64_t size = 1ull << 40;
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  try {
    dir.put("big.eml", shared_file_t(fd, size));
    ADD_FAILURE() << "a terabyte was copied";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOSPC);
    EXPECT_STREQ(e.what(), "No space left on device");
  }
  EXPECT_FALSE(fs::exists(queue / "big.eml"));
  EXPECT_EQ(dir.total_bytes(), 0u);
}

TEST(worker_failure_test, an_escaping_exception_ends_the_loop_and_no_barrier_waits_for_ever) {
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  mq::util::async_worker_t worker(io);
  auto barrier = [&worker] {
    auto promise = std::make_shared<std::promise<void>>();
    worker.post([promise] { promise->set_value(); });
    return promise->get_future();
  };
  worker.post([] { throw std::runtime_error("task failed"); });
  auto queued = barrier();
  try {
    io.run();
    ADD_FAILURE() << "the loop ended without the exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "task failed");
  }
  EXPECT_THROW(queued.get(), std::future_error);
  EXPECT_THROW(barrier().get(), std::future_error);
}

}  // namespace
}  // namespace mq::store
