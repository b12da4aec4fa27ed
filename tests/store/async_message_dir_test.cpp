#include "store/async_message_dir.h"

#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "store_test_util.h"

namespace mq::store {
namespace {

namespace fs = boost::filesystem;
using test::make_source;
using test::read_file;
using test::run_until;
using test::temp_dir_t;

class async_message_dir_test : public ::testing::Test {
 protected:
  fs::path queue() const { return tmp / "queue"; }

  boost::asio::io_context io;
  temp_dir_t tmp;
  std::uint32_t uid = ::geteuid();
  std::uint32_t gid = ::getegid();
};

TEST_F(async_message_dir_test, files_go_in_and_out_through_the_worker) {
  auto dir = std::make_unique<async_message_dir_t>(io);
  dir->init(queue(), uid, gid).get();
  EXPECT_TRUE(fs::is_directory(queue()));

  const auto main_thread = std::this_thread::get_id();
  bool put_done = false;
  std::exception_ptr put_error;
  auto source = std::make_shared<shared_file_t>(make_source(tmp / "src", "message body"));
  dir->put_file("m.eml", source, [&](std::exception_ptr e) {
    EXPECT_EQ(std::this_thread::get_id(), main_thread);
    put_error = e;
    put_done = true;
  });
  ASSERT_TRUE(run_until(io, [&] { return put_done; }));
  EXPECT_FALSE(put_error);
  EXPECT_EQ(read_file(queue() / "m.eml"), "message body");

  shared_file_t got;
  bool get_done = false;
  dir->get_file("m.eml", [&](shared_file_t f, std::exception_ptr e) {
    EXPECT_FALSE(e);
    got = std::move(f);
    get_done = true;
  });
  ASSERT_TRUE(run_until(io, [&] { return get_done; }));
  ASSERT_TRUE(got);
  EXPECT_EQ(got.size, 12u);
  EXPECT_EQ(test::read_fd(got.fd), "message body");

  // A second put of the same name fails and the first file stays.
  bool again_done = false;
  std::exception_ptr again_error;
  dir->put_file("m.eml", std::make_shared<shared_file_t>(make_source(tmp / "src2", "other")),
                [&](std::exception_ptr e) {
                  again_error = e;
                  again_done = true;
                });
  ASSERT_TRUE(run_until(io, [&] { return again_done; }));
  EXPECT_THROW(std::rethrow_exception(again_error), fs::filesystem_error);
  EXPECT_EQ(read_file(queue() / "m.eml"), "message body");

  int deletes = 0;
  std::exception_ptr delete_errors;
  for (int i = 0; i < 2; ++i) {
    dir->delete_file("m.eml", [&](std::exception_ptr e) {
      if (e) delete_errors = e;
      ++deletes;
    });
  }
  ASSERT_TRUE(run_until(io, [&] { return deletes == 2; }));
  EXPECT_FALSE(delete_errors);
  EXPECT_FALSE(fs::exists(queue() / "m.eml"));

  bool missing_done = false;
  dir->get_file("m.eml", [&](shared_file_t f, std::exception_ptr e) {
    EXPECT_FALSE(f);
    EXPECT_TRUE(e);
    missing_done = true;
  });
  ASSERT_TRUE(run_until(io, [&] { return missing_done; }));
  dir->stop().get();
}

TEST_F(async_message_dir_test, init_and_reload_failures_arrive_in_the_future) {
  test::write_file(tmp / "plain", "x");
  async_message_dir_t dir(io);
  EXPECT_THROW(dir.init(tmp / "plain" / "queue", uid, gid).get(), fs::filesystem_error);
  // Operations before a successful init fail instead of crashing.
  EXPECT_THROW(dir.reload(uid, gid).get(), std::logic_error);
  bool done = false;
  dir.delete_file("x", [&](std::exception_ptr e) {
    EXPECT_TRUE(e);
    done = true;
  });
  ASSERT_TRUE(run_until(io, [&] { return done; }));

  dir.init(queue(), uid, gid).get();
  fs::create_symlink(tmp / "nowhere", queue() / "dangling");
  EXPECT_THROW(dir.reload(uid, gid).get(), fs::filesystem_error);
}

TEST_F(async_message_dir_test, the_stop_barrier_waits_for_earlier_tasks) {
  async_message_dir_t dir(io);
  dir.init(queue(), uid, gid).get();
  const std::string body(3 << 20, 'x');
  for (int i = 0; i < 5; ++i) {
    dir.put_file("m" + std::to_string(i),
                 std::make_shared<shared_file_t>(make_source(tmp / ("src" + std::to_string(i)), body)),
                 [](std::exception_ptr) {});
  }
  dir.stop().get();
  // Every put has finished on disk, although no callback has run yet.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(fs::file_size(queue() / ("m" + std::to_string(i))), body.size());
}

TEST_F(async_message_dir_test, no_callback_runs_after_destruction) {
  bool called = false;
  {
    async_message_dir_t dir(io);
    dir.init(queue(), uid, gid).get();
    dir.put_file("m.eml", std::make_shared<shared_file_t>(make_source(tmp / "src", "body")),
                 [&](std::exception_ptr) { called = true; });
    dir.stop().get();  // the completion is now queued on the event loop
  }
  io.restart();
  io.poll();
  EXPECT_FALSE(called);
  EXPECT_TRUE(fs::exists(queue() / "m.eml"));
}

TEST_F(async_message_dir_test, health_check_reports_through_the_callback) {
  async_message_dir_t dir(io);
  dir.init(queue(), uid, gid).get();
  test::write_file(queue() / "orphan.eml", "0123456789");
  test::write_file(queue() / "kept.eml", "k");
  std::promise<std::vector<health_check_entry_t>> records;
  std::promise<std::vector<std::int64_t>> ids;
  std::promise<void> done;
  auto ids_future = ids.get_future();
  bool reported = false;
  async_message_dir_t::health_stat_t stat;
  dir.check_health(records.get_future(), std::move(ids), done.get_future(), true, {},
                   [&](mq::util::result_t<async_message_dir_t::health_stat_t> r) {
                     stat = mq::util::value_of(r);
                     reported = true;
                   });
  records.set_value({{7, "kept.eml"}, {8, "gone.eml"}});
  EXPECT_EQ(ids_future.get(), (std::vector<std::int64_t>{8}));
  done.set_value();
  ASSERT_TRUE(run_until(io, [&] { return reported; }));
  EXPECT_EQ(stat.orphaned_db_records, 1u);
  EXPECT_EQ(stat.orphaned_files, 1u);
  EXPECT_EQ(stat.removed_files, 1u);
  EXPECT_EQ(stat.removed_bytes, 10u);
  EXPECT_FALSE(fs::exists(queue() / "orphan.eml"));
  EXPECT_TRUE(fs::exists(queue() / "kept.eml"));
}

}  // namespace
}  // namespace mq::store
