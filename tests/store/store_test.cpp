#include "store/store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "store/store_hooks.h"
#include "store_test_util.h"

namespace mq::store {
namespace {

namespace fs = boost::filesystem;
using mq::util::error_of;
using mq::util::none_t;
using mq::util::result_t;
using op_t = store_hooks_t::op_t;
using half_t = store_hooks_t::half_t;
using test::log_capture_t;
using test::make_source;
using test::read_file;
using test::run_until;
using test::temp_dir_t;
using test::write_file;

std::string text_of(const std::exception_ptr& e) {
  if (!e) return "no error";
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return "unknown";
  }
}

// Lets a test run, fail or hold each half of puts and updates, and records
// every half that finished.
class test_hooks_t : public store_hooks_t {
 public:
  enum class action_t { run, fail, hold };

  struct held_t {
    std::function<void()> start;
    std::function<void(std::exception_ptr)> fail;
    std::string name;
  };

  struct done_t {
    op_t op;
    half_t half;
    std::string name;
    std::exception_ptr error;
  };

  void set(op_t op, half_t half, action_t action, std::string text = "injected failure") {
    actions_[{op, half}] = {action, std::move(text)};
  }

  void on_start(op_t op, half_t half, const std::string& file_name, std::function<void()> start,
                std::function<void(std::exception_ptr)> fail) override {
    auto it = actions_.find({op, half});
    if (it == actions_.end() || it->second.first == action_t::run) {
      start();
    } else if (it->second.first == action_t::fail) {
      fail(std::make_exception_ptr(std::runtime_error(it->second.second)));
    } else {
      held_[{op, half}] = {std::move(start), std::move(fail), file_name};
    }
  }

  void on_done(op_t op, half_t half, const std::string& file_name, std::exception_ptr error) override {
    done.push_back({op, half, file_name, error});
  }

  bool is_held(op_t op, half_t half) const { return held_.count({op, half}) != 0; }

  held_t take(op_t op, half_t half) {
    auto it = held_.find({op, half});
    if (it == held_.end()) throw std::logic_error("nothing held");
    held_t h = std::move(it->second);
    held_.erase(it);
    return h;
  }

  bool finished(op_t op, half_t half) const {
    for (const auto& d : done) {
      if (d.op == op && d.half == half) return true;
    }
    return false;
  }

  std::vector<done_t> done;

 private:
  std::map<std::pair<op_t, half_t>, std::pair<action_t, std::string>> actions_;
  std::map<std::pair<op_t, half_t>, held_t> held_;
};

// The outcome of one call, with the number of times its callback ran.
template <class T>
struct outcome_t {
  int calls = 0;
  boost::optional<T> value;
  std::exception_ptr error;

  std::function<void(result_t<T>)> callback() {
    return [this](result_t<T> r) {
      ++calls;
      if (auto e = error_of(r)) {
        error = e;
      } else {
        value.emplace(std::move(boost::get<T>(r)));
      }
    };
  }
};

class store_test : public ::testing::Test {
 protected:
  void SetUp() override { open_store(); }

  void open_store() {
    store = std::make_unique<store_t>(io, hooks);
    store->open(spool().string(), uid, gid, false);
  }

  fs::path spool() const { return tmp / "spool"; }
  fs::path queue() const { return spool() / "queue"; }

  entry_t make_entry(const std::string& content, boost::optional<std::string> session = std::string("sess-1"),
                     std::uint64_t next_access = 1000) {
    entry_t e;
    e.metadata.session_id = std::move(session);
    e.metadata.message_size = content.size();
    e.metadata.status = smtp_fresh;
    e.metadata.received_ts = 77;
    e.metadata.next_access_ts = next_access;
    e.metadata.smtp_sender.sender = "from@example.org";
    e.metadata.smtp_recipients.push_back({"to@example.org", {}});
    e.file = make_source(tmp / ("source" + std::to_string(sources_++)), content);
    return e;
  }

  template <class T>
  void wait(outcome_t<T>& o) {
    ASSERT_TRUE(run_until(io, [&] { return o.calls > 0; }));
  }

  std::int64_t put(const std::string& content, boost::optional<std::string> session = std::string("sess-1"),
                   std::uint64_t next_access = 1000) {
    outcome_t<std::uint64_t> o;
    store->put_entry(make_entry(content, std::move(session), next_access), o.callback());
    EXPECT_TRUE(run_until(io, [&] { return o.calls > 0; }));
    EXPECT_FALSE(o.error) << text_of(o.error);
    return o.value ? static_cast<std::int64_t>(*o.value) : 0;
  }

  outcome_t<entry_t> get(std::int64_t id) {
    outcome_t<entry_t> o;
    store->get_entry(id, o.callback());
    EXPECT_TRUE(run_until(io, [&] { return o.calls > 0; }));
    return o;
  }

  std::string filename_of(std::int64_t id) {
    auto o = get(id);
    EXPECT_TRUE(o.value) << text_of(o.error);
    return o.value ? o.value->metadata.message_filename : std::string();
  }

  // Runs a check; its completion also means that every task posted before
  // it on either worker has run.
  std::string check(bool fix) {
    outcome_t<std::string> o;
    store->check_health(fix, o.callback());
    EXPECT_TRUE(run_until(io, [&] { return o.calls > 0; }));
    EXPECT_FALSE(o.error) << text_of(o.error);
    return o.value ? *o.value : "<failed>";
  }

  std::uint64_t entries() {
    outcome_t<queue_stats_t> o;
    store->get_queue_stat(o.callback());
    EXPECT_TRUE(run_until(io, [&] { return o.calls > 0; }));
    std::uint64_t n = 0;
    if (o.value) {
      for (const auto& s : o.value->stats) n += s.total_messages;
    }
    return n;
  }

  std::set<std::string> files() const {
    std::set<std::string> names;
    for (fs::directory_iterator it(queue()), end; it != end; ++it) names.insert(it->path().filename().string());
    return names;
  }

  boost::asio::io_context io;
  temp_dir_t tmp;
  std::shared_ptr<test_hooks_t> hooks = std::make_shared<test_hooks_t>();
  std::unique_ptr<store_t> store;
  std::uint32_t uid = ::geteuid();
  std::uint32_t gid = ::getegid();
  int sources_ = 0;
};

// ---- open, get, put

TEST_F(store_test, open_makes_the_spool_directory_and_its_parts) {
  struct stat st {};
  ASSERT_EQ(::stat(spool().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
  EXPECT_TRUE(fs::is_directory(queue()));
  EXPECT_TRUE(fs::is_regular_file(spool() / "queue.db"));
  EXPECT_EQ(store->path(), spool().string());
}

TEST_F(store_test, put_then_get_gives_back_record_and_file) {
  const std::string body = test::pattern(100000, 9);
  outcome_t<std::uint64_t> o;
  std::string at_callback;
  store->put_entry(make_entry(body, std::string("abc")), [&](result_t<std::uint64_t> r) {
    o.callback()(std::move(r));
    // The file is complete when the put is acknowledged.
    for (const auto& name : files()) at_callback = read_file(queue() / name);
  });
  wait(o);
  ASSERT_TRUE(o.value) << text_of(o.error);
  EXPECT_EQ(at_callback, body);
  EXPECT_EQ(o.calls, 1);

  auto got = get(static_cast<std::int64_t>(*o.value));
  ASSERT_TRUE(got.value) << text_of(got.error);
  const auto& md = got.value->metadata;
  EXPECT_TRUE(test::fits_model(md.message_filename, "%%%%-%%%%_abc.eml")) << md.message_filename;
  EXPECT_EQ(files(), std::set<std::string>{md.message_filename});
  EXPECT_TRUE(md.session_id == std::string("abc"));
  EXPECT_EQ(md.message_size, body.size());
  EXPECT_EQ(got.value->file.size, body.size());
  EXPECT_EQ(test::read_fd(got.value->file.fd), body);
}

TEST_F(store_test, get_of_an_unknown_id_fails) {
  auto o = get(12345);
  EXPECT_EQ(o.calls, 1);
  EXPECT_FALSE(o.value);
  EXPECT_EQ(text_of(o.error), "Entry not found");
}

TEST_F(store_test, get_of_an_entry_whose_file_is_gone_fails) {
  const auto id = put("body");
  fs::remove(queue() / filename_of(id));
  auto o = get(id);
  EXPECT_FALSE(o.value);
  EXPECT_THROW(std::rethrow_exception(o.error), fs::filesystem_error);
}

TEST_F(store_test, unsafe_session_id_stays_in_the_message_directory) {
  const auto id = put("evil", std::string("../../escape"));
  ASSERT_GT(id, 0);
  EXPECT_EQ(files().size(), 1u);
  EXPECT_FALSE(fs::exists(tmp / "escape.eml"));
  EXPECT_FALSE(fs::exists(spool() / "escape.eml"));
  EXPECT_EQ(check(false), "Ok");
}

TEST_F(store_test, a_short_source_fails_the_put_and_stores_nothing) {
  entry_t e = make_entry("short");
  e.metadata.message_size = e.file.size = 4096;
  outcome_t<std::uint64_t> o;
  store->put_entry(std::move(e), o.callback());
  wait(o);
  EXPECT_FALSE(o.value);
  EXPECT_EQ(text_of(o.error).rfind("Message source is shorter than its stated size (5 of 4096 bytes)", 0), 0u)
      << text_of(o.error);
  EXPECT_EQ(check(false), "Ok");
  EXPECT_EQ(entries(), 0u);
  EXPECT_TRUE(files().empty());
  // The store goes on.
  EXPECT_GT(put("fine"), 0);
}

// ---- put compensations

class put_compensation_test : public store_test {
 protected:
  // After a put failed: nothing of it is left, once the undoing is done.
  void expect_nothing_left(const outcome_t<std::uint64_t>& o, const std::string& error) {
    EXPECT_EQ(o.calls, 1);
    EXPECT_FALSE(o.value);
    EXPECT_EQ(text_of(o.error), error);
    EXPECT_EQ(check(false), "Ok");
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(entries(), 0u);
    EXPECT_TRUE(files().empty());
  }
};

TEST_F(put_compensation_test, database_fails_after_the_file_was_written) {
  hooks->set(op_t::put, half_t::db, test_hooks_t::action_t::hold);
  outcome_t<std::uint64_t> o;
  store->put_entry(make_entry("body"), o.callback());
  ASSERT_TRUE(run_until(io, [&] { return hooks->finished(op_t::put, half_t::file); }));
  EXPECT_EQ(files().size(), 1u);
  EXPECT_EQ(o.calls, 0);
  hooks->take(op_t::put, half_t::db).fail(std::make_exception_ptr(std::runtime_error("insert failed")));
  wait(o);
  expect_nothing_left(o, "insert failed");
}

TEST_F(put_compensation_test, a_failed_file_never_reaches_the_database) {
  hooks->set(op_t::put, half_t::file, test_hooks_t::action_t::fail, "disk full");
  outcome_t<std::uint64_t> o;
  store->put_entry(make_entry("body"), o.callback());
  wait(o);
  EXPECT_FALSE(hooks->finished(op_t::put, half_t::db));
  expect_nothing_left(o, "disk full");
}

TEST_F(put_compensation_test, the_record_waits_for_the_written_file) {
  hooks->set(op_t::put, half_t::file, test_hooks_t::action_t::hold);
  outcome_t<std::uint64_t> o;
  store->put_entry(make_entry("body"), o.callback());
  auto file = hooks->take(op_t::put, half_t::file);
  EXPECT_FALSE(hooks->is_held(op_t::put, half_t::db) || hooks->finished(op_t::put, half_t::db));
  file.start();
  wait(o);
  ASSERT_TRUE(o.value) << text_of(o.error);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(put_compensation_test, a_real_file_failure_leaves_no_record) {
  // The source is a pipe: the copy refuses it while the insert succeeds.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  entry_t e = make_entry("x");
  e.file = shared_file_t(fds[0], 1);
  outcome_t<std::uint64_t> o;
  store->put_entry(std::move(e), o.callback());
  wait(o);
  EXPECT_EQ(text_of(o.error).rfind("Message source is not a regular file", 0), 0u);
  expect_nothing_left(o, text_of(o.error));
}

// ---- update and remove

TEST_F(store_test, update_with_a_file_replaces_it) {
  const auto id = put("old body");
  const std::string old_name = filename_of(id);
  entry_metadata_update_t u;
  u.status = smtp_accepted;
  u.message_size = 8;
  outcome_t<none_t> o;
  store->update_entry(id, u, make_source(tmp / "new", "new body"), o.callback());
  wait(o);
  EXPECT_FALSE(o.error) << text_of(o.error);
  auto got = get(id);
  ASSERT_TRUE(got.value);
  EXPECT_NE(got.value->metadata.message_filename, old_name);
  EXPECT_TRUE(test::fits_model(got.value->metadata.message_filename, "%%%%-%%%%_%%%%-%%%%-%%%%.eml"));
  EXPECT_EQ(got.value->metadata.status, smtp_accepted);
  EXPECT_EQ(test::read_fd(got.value->file.fd), "new body");
  EXPECT_EQ(check(false), "Ok");
  EXPECT_EQ(files(), std::set<std::string>{got.value->metadata.message_filename});
}

TEST_F(store_test, failed_update_halves_keep_the_old_file_and_release_the_lock) {
  const auto id = put("old body");
  const std::string old_name = filename_of(id);
  for (half_t half : {half_t::file, half_t::db}) {
    hooks->set(op_t::update, half, test_hooks_t::action_t::fail, "update failed");
    entry_metadata_update_t u;
    u.status = bcc_fresh;
    outcome_t<none_t> o;
    store->update_entry(id, u, make_source(tmp / "new", "new body"), o.callback());
    wait(o);
    EXPECT_EQ(text_of(o.error), "update failed");
    hooks->set(op_t::update, half, test_hooks_t::action_t::run);
    EXPECT_EQ(check(false), "Ok");
    EXPECT_EQ(files(), std::set<std::string>{old_name});
    auto got = get(id);
    ASSERT_TRUE(got.value);
    EXPECT_EQ(got.value->metadata.status, smtp_fresh);
    EXPECT_EQ(test::read_fd(got.value->file.fd), "old body");
  }
  // Nothing is locked any more: a remove runs at once.
  outcome_t<none_t> removed;
  store->remove_entry(id, removed.callback());
  EXPECT_EQ(entries(), 0u);
  EXPECT_EQ(removed.calls, 1);
}

TEST_F(store_test, update_with_a_file_of_a_missing_entry_succeeds_and_deletes_the_file) {
  outcome_t<none_t> o;
  store->update_entry(999, entry_metadata_update_t{}, make_source(tmp / "new", "0123456789"), o.callback());
  wait(o);
  EXPECT_FALSE(o.error) << text_of(o.error);
  EXPECT_EQ(entries(), 0u);
  EXPECT_EQ(check(false), "Ok");
}

TEST_F(store_test, remove_deletes_record_and_file) {
  const auto id = put("body");
  outcome_t<none_t> o;
  store->remove_entry(id, o.callback());
  wait(o);
  EXPECT_FALSE(o.error);
  EXPECT_EQ(check(false), "Ok");
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(text_of(get(id).error), "Entry not found");
  // Removing it again is no failure.
  outcome_t<none_t> again;
  store->remove_entry(id, again.callback());
  wait(again);
  EXPECT_FALSE(again.error) << text_of(again.error);
}

TEST_F(store_test, removes_wait_behind_an_update_with_a_file_and_run_in_order) {
  const auto id = put("old body");
  const auto other = put("other body");
  hooks->set(op_t::update, half_t::file, test_hooks_t::action_t::hold);
  std::vector<std::string> order;
  store->update_entry(id, entry_metadata_update_t{}, make_source(tmp / "new", "new body"),
                      [&](result_t<none_t> r) { order.push_back("update " + text_of(error_of(r))); });
  store->remove_entry(id, [&](result_t<none_t> r) { order.push_back("remove1 " + text_of(error_of(r))); });
  store->remove_entry(id, [&](result_t<none_t> r) { order.push_back("remove2 " + text_of(error_of(r))); });
  // Another entry is not locked.
  store->remove_entry(other, [&](result_t<none_t> r) { order.push_back("other " + text_of(error_of(r))); });

  // A database round trip: had the removes been posted, they would have run.
  EXPECT_EQ(entries(), 1u);
  EXPECT_EQ(order, std::vector<std::string>{"other no error"});

  hooks->take(op_t::update, half_t::file).start();
  ASSERT_TRUE(run_until(io, [&] { return order.size() == 4; }));
  EXPECT_EQ(order,
            (std::vector<std::string>{"other no error", "update no error", "remove1 no error", "remove2 no error"}));
  // The entry went with its new file, and the old file went too.
  EXPECT_EQ(check(false), "Ok");
  EXPECT_EQ(entries(), 0u);
  EXPECT_TRUE(files().empty());
}

TEST_F(store_test, a_remove_does_not_wait_behind_an_update_without_a_file) {
  const auto id = put("body");
  std::vector<std::string> order;
  entry_metadata_update_t u;
  u.attempts = 3;
  store->update_entry(id, u, boost::none,
                      [&](result_t<none_t> r) { order.push_back("update " + text_of(error_of(r))); });
  store->remove_entry(id, [&](result_t<none_t> r) { order.push_back("remove " + text_of(error_of(r))); });
  // Posted straight to the database, the remove runs before this count.
  EXPECT_EQ(entries(), 0u);
  EXPECT_EQ(order, (std::vector<std::string>{"update no error", "remove no error"}));
  EXPECT_EQ(check(false), "Ok");
  EXPECT_TRUE(files().empty());
}

// ---- health check

TEST_F(store_test, health_of_a_sound_store) {
  put("one");
  put("two", boost::none);
  log_capture_t log;
  EXPECT_EQ(check(false), "Ok");
  EXPECT_EQ(check(true), "");
  EXPECT_EQ(log.find(ov::util::logger::info, "Store: Starting health check..."), 0);
  EXPECT_GE(log.find(ov::util::logger::info, "Store: Health check finished: Ok"), 0);
  EXPECT_GE(log.find(ov::util::logger::info, "Store: Health check finished: "), 0);
  EXPECT_EQ(log.count_prefix(ov::util::logger::info, "Store: Starting health check..."), 2u);
}

TEST_F(store_test, health_finds_and_removes_a_record_without_file) {
  const auto id = put("body");
  const auto kept = put("kept");
  fs::remove(queue() / filename_of(id));
  EXPECT_EQ(check(false), "1 orphaned DB records\n");
  EXPECT_EQ(entries(), 2u);
  EXPECT_EQ(check(true), "Removed 1 orphaned DB records\n");
  EXPECT_EQ(text_of(get(id).error), "Entry not found");
  EXPECT_TRUE(get(kept).value);
  EXPECT_EQ(check(false), "Ok");
}

TEST_F(store_test, health_finds_and_removes_an_unreferenced_file) {
  put("body");
  write_file(queue() / "stray.eml", "0123456789");
  EXPECT_EQ(check(false), "1 orphaned message files (10 bytes)\n");
  EXPECT_TRUE(fs::exists(queue() / "stray.eml"));
  EXPECT_EQ(check(true), "Removed 1/1 orphaned message files (10/10 bytes)\n");
  EXPECT_FALSE(fs::exists(queue() / "stray.eml"));
  EXPECT_EQ(check(false), "Ok");
}

TEST_F(store_test, health_reports_a_subdirectory_and_leaves_it) {
  put("body");
  fs::create_directory(queue() / "sub");
  log_capture_t log;
  EXPECT_EQ(check(false), "1 non-regular files in the message directory\n");
  EXPECT_GE(log.find(ov::util::logger::warning, "Message directory: found non-regular file: \"sub\""), 0);
  EXPECT_EQ(check(true),
            "Didn't remove 1 non-regular files in the message directory (this has to be fixed manually)\n");
  EXPECT_TRUE(fs::is_directory(queue() / "sub"));
  EXPECT_GE(log.find(ov::util::logger::info,
                     "Store: Health check finished: Didn't remove 1 non-regular files in the message directory "
                     "(this has to be fixed manually)\n"),
            0);
}

TEST_F(store_test, health_counts_a_record_naming_a_subdirectory_twice) {
  const auto id = put("body");
  const std::string name = filename_of(id);
  fs::remove(queue() / name);
  fs::create_directory(queue() / name);
  write_file(queue() / "stray.eml", "abc");
  EXPECT_EQ(check(false),
            "1 orphaned DB records\n"
            "1 orphaned message files (3 bytes)\n"
            "1 non-regular files in the message directory\n");
  EXPECT_EQ(check(true),
            "Removed 1 orphaned DB records\n"
            "Removed 1/1 orphaned message files (3/3 bytes)\n"
            "Didn't remove 1 non-regular files in the message directory (this has to be fixed manually)\n");
  EXPECT_EQ(entries(), 0u);
  EXPECT_TRUE(fs::is_directory(queue() / name));
}

TEST_F(store_test, a_repairing_check_never_deletes_files_of_puts_and_updates_in_flight) {
  const auto id = put("old body");
  const std::string old_name = filename_of(id);

  hooks->done.clear();
  hooks->set(op_t::update, half_t::db, test_hooks_t::action_t::hold);
  hooks->set(op_t::put, half_t::db, test_hooks_t::action_t::hold);
  outcome_t<none_t> updated;
  store->update_entry(id, entry_metadata_update_t{}, make_source(tmp / "new", "new body"), updated.callback());
  outcome_t<std::uint64_t> put_done;
  store->put_entry(make_entry("put body"), put_done.callback());
  // Both new files are written; neither record names them yet.
  ASSERT_TRUE(run_until(
      io, [&] { return hooks->is_held(op_t::update, half_t::db) && hooks->finished(op_t::put, half_t::file); }));
  EXPECT_EQ(files().size(), 3u);

  EXPECT_EQ(check(true), "");
  EXPECT_EQ(files().size(), 3u);

  auto update_db = hooks->take(op_t::update, half_t::db);
  auto put_db = hooks->take(op_t::put, half_t::db);
  update_db.start();
  put_db.start();
  ASSERT_TRUE(run_until(io, [&] { return updated.calls == 1 && put_done.calls == 1; }));
  EXPECT_FALSE(updated.error) << text_of(updated.error);
  ASSERT_TRUE(put_done.value) << text_of(put_done.error);

  auto got = get(id);
  ASSERT_TRUE(got.value);
  EXPECT_EQ(got.value->metadata.message_filename, update_db.name);
  EXPECT_EQ(test::read_fd(got.value->file.fd), "new body");
  auto put_got = get(static_cast<std::int64_t>(*put_done.value));
  ASSERT_TRUE(put_got.value);
  EXPECT_EQ(test::read_fd(put_got.value->file.fd), "put body");
  EXPECT_EQ(check(false), "Ok");
  EXPECT_EQ(files().count(old_name), 0u);
  EXPECT_EQ(files().size(), 2u);
}

TEST_F(store_test, a_failing_health_check_is_reported_and_logged) {
  put("body");
  fs::remove_all(queue());
  log_capture_t log;
  outcome_t<std::string> o;
  store->check_health(false, o.callback());
  wait(o);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(log.count_prefix(ov::util::logger::error, "Store: Health check: "), 1u);
  // Both workers are free again.
  EXPECT_EQ(entries(), 1u);
}

// ---- flush and the queue-change signal

TEST_F(store_test, flush_reports_then_announces_the_reset_keys) {
  const auto id = put("body", std::string("s"), 5000);
  put("accepted", std::string("t"), 7000);
  {
    entry_metadata_update_t u;
    u.status = smtp_accepted;
    outcome_t<none_t> o;
    store->update_entry(id + 1, u, boost::none, o.callback());
    wait(o);
  }
  std::vector<std::string> events;
  std::vector<queue_change_ptr_t> changes;
  store->connect_queue_changed([&](queue_change_ptr_t change) {
    events.push_back("signal");
    changes.push_back(change);
  });

  log_capture_t log;
  outcome_t<std::string> o;
  store->flush_queue(smtp_fresh, [&](result_t<std::string> r) {
    events.push_back("callback");
    o.callback()(std::move(r));
  });
  wait(o);
  ASSERT_TRUE(o.value) << text_of(o.error);
  EXPECT_EQ(*o.value, "Flushed 1 entries");
  EXPECT_EQ(events, (std::vector<std::string>{"callback", "signal"}));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0]->status, smtp_fresh);
  ASSERT_EQ(changes[0]->keys.size(), 1u);
  EXPECT_EQ(changes[0]->keys[0].entry_id, id);
  EXPECT_EQ(changes[0]->keys[0].next_access_ts, 0u);
  EXPECT_EQ(log.find(ov::util::logger::info, "Store: Flushing SmtpFresh queue"), 0);
  EXPECT_EQ(log.find(ov::util::logger::info, "Store: Flushed SmtpFresh queue"), 1);

  // Nothing left to reset: a report, and no announcement at all.
  outcome_t<std::string> again;
  store->flush_queue(smtp_fresh, [&](result_t<std::string> r) {
    events.push_back("callback");
    again.callback()(std::move(r));
  });
  wait(again);
  ASSERT_TRUE(again.value);
  EXPECT_EQ(*again.value, "Flushed 0 entries");
  EXPECT_EQ(events, (std::vector<std::string>{"callback", "signal", "callback"}));

  // The accepted entry kept its time.
  outcome_t<std::vector<queue_key_t>> page;
  queue_chunk_request_t request;
  request.status = smtp_accepted;
  store->get_queue_chunk(request, page.callback());
  wait(page);
  ASSERT_TRUE(page.value);
  ASSERT_EQ(page.value->size(), 1u);
  EXPECT_EQ((*page.value)[0].next_access_ts, 7000u);
}

// ---- browsing

TEST_F(store_test, pages_and_statistics_pass_through) {
  const auto a = put("aaaa", std::string("sa"), 30);
  const auto b = put("bb", std::string("sb"), 10);
  outcome_t<std::vector<entry_brief_t>> page;
  queue_chunk_request_t request;
  request.limit = 1;
  store->get_queue_chunk_brief(request, page.callback());
  wait(page);
  ASSERT_TRUE(page.value) << text_of(page.error);
  ASSERT_EQ(page.value->size(), 1u);
  EXPECT_EQ((*page.value)[0].id, b);
  EXPECT_EQ((*page.value)[0].session_id, "sb");
  EXPECT_EQ((*page.value)[0].sender, "from@example.org");

  outcome_t<std::vector<queue_key_t>> keys;
  request.limit = 0;
  request.entry_id = b;
  request.next_access_ts = 10;
  store->get_queue_chunk(request, keys.callback());
  wait(keys);
  ASSERT_TRUE(keys.value);
  ASSERT_EQ(keys.value->size(), 1u);
  EXPECT_EQ((*keys.value)[0].entry_id, a);

  outcome_t<queue_stats_t> stat;
  store->get_queue_stat(stat.callback());
  wait(stat);
  ASSERT_TRUE(stat.value);
  EXPECT_EQ(stat.value->stats[smtp_fresh].total_messages, 2u);
  EXPECT_EQ(stat.value->stats[smtp_fresh].total_bytes, 6u);
  EXPECT_EQ(stat.value->stats[bcc_fresh].total_messages, 0u);
}

// ---- open, reconfigure, close

TEST_F(store_test, close_finishes_started_work_and_drops_late_callbacks) {
  const auto id = put("first");
  outcome_t<std::uint64_t> o;
  store->put_entry(make_entry("second"), o.callback());
  store.reset();
  io.restart();
  io.poll();
  EXPECT_EQ(o.calls, 0);

  // The started file was finished; its record, which waits for it, never
  // began: an orphaned file, never a record without its file.
  open_store();
  EXPECT_EQ(entries(), 1u);
  EXPECT_EQ(check(false), "1 orphaned message files (6 bytes)\n");
  EXPECT_TRUE(get(id).value);
}

TEST_F(store_test, reconfigure_hands_the_files_to_the_new_user) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  const auto id = put("body");
  store->reconfigure(4242, 4343, true);
  struct stat st {};
  ASSERT_EQ(::stat((queue() / filename_of(id)).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
  EXPECT_EQ(st.st_gid, 4343u);
  ASSERT_EQ(::stat(queue().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
}

TEST(store_open_test, a_damaged_database_is_refused) {
  boost::asio::io_context io;
  temp_dir_t tmp;
  fs::create_directories(tmp / "spool");
  write_file(tmp / "spool" / "queue.db", std::string(8192, '\x5a'));
  store_t store(io);
  EXPECT_THROW(store.open((tmp / "spool").string(), ::geteuid(), ::getegid(), false), std::exception);
}

TEST(store_open_test, a_database_with_dangling_references_is_refused) {
  boost::asio::io_context io;
  temp_dir_t tmp;
  const std::string spool = (tmp / "spool").string();
  { store_t(io).open(spool, ::geteuid(), ::getegid(), false); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((tmp / "spool" / "queue.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "INSERT INTO smtp_recipient(entry_id, recipient) VALUES (4711, 'x');", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  store_t store(io);
  try {
    store.open(spool, ::geteuid(), ::getegid(), false);
    FAIL() << "a damaged database was opened";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Foreign key constraints check failed");
  }
}

TEST(store_open_test, a_directory_failure_is_thrown_before_a_database_failure) {
  boost::asio::io_context io;
  temp_dir_t tmp;
  fs::create_directories(tmp / "spool");
  write_file(tmp / "spool" / "queue", "not a directory");
  write_file(tmp / "spool" / "queue.db", std::string(8192, '\x5a'));
  store_t store(io);
  EXPECT_THROW(store.open((tmp / "spool").string(), ::geteuid(), ::getegid(), false), fs::filesystem_error);
}

}  // namespace
}  // namespace mq::store
