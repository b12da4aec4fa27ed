#include "store/store.h"

#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/filesystem/operations.hpp>

#include "store/store_hooks.h"
#include "store_support.h"

namespace mq::store {
namespace {

namespace fs = boost::filesystem;
using namespace mq::store::test;
using mq::util::error_of;
using mq::util::none_t;
using mq::util::result_t;
using op_t = store_hooks_t::op_t;
using half_t = store_hooks_t::half_t;
using half_key_t = std::pair<op_t, half_t>;

// Holds back or fails chosen halves of puts and updates, and counts the
// halves that finished.
class test_hooks_t : public store_hooks_t {
 public:
  struct held_t {
    std::function<void()> start;
    std::function<void(std::exception_ptr)> fail;
  };

  void on_start(op_t op, half_t half, const std::string&, std::function<void()> start,
                std::function<void(std::exception_ptr)> fail) override {
    if (failing.count({op, half})) {
      fail(std::make_exception_ptr(std::runtime_error("injected failure")));
    } else if (holding.count({op, half})) {
      held[{op, half}] = {std::move(start), std::move(fail)};
    } else {
      start();
    }
  }

  void on_done(op_t op, half_t half, const std::string&, std::exception_ptr) override { ++finished[{op, half}]; }

  held_t take(op_t op, half_t half) {
    held_t h = std::move(held.at({op, half}));
    held.erase({op, half});
    return h;
  }

  std::set<half_key_t> holding, failing;
  std::map<half_key_t, held_t> held;
  std::map<half_key_t, int> finished;
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
      error = error_of(r);
      if (!error) value.emplace(std::move(boost::get<T>(r)));
    };
  }
};

struct store_test : ::testing::Test {
  void SetUp() override { open(); }

  void open() {
    store = std::make_unique<store_t>(io, hooks);
    store->open(spool.string(), ::geteuid(), ::getegid(), false);
  }

  template <class T>
  bool done(outcome_t<T>& o) {
    return run_until(io, [&] { return o.calls > 0; });
  }

  shared_file_t source(const std::string& content) {
    return make_source(tmp.file("source" + std::to_string(sources++)), content);
  }

  entry_t entry(const std::string& content) {
    entry_t e;
    // A slash in the session id: the file must still land in the directory.
    e.metadata.session_id = std::string("../sess");
    e.metadata.message_size = content.size();
    e.file = source(content);
    return e;
  }

  std::int64_t put(const std::string& content) {
    outcome_t<std::uint64_t> o;
    store->put_entry(entry(content), o.callback());
    EXPECT_TRUE(done(o) && o.value) << text_of(o.error);
    return o.value ? static_cast<std::int64_t>(*o.value) : 0;
  }

  entry_t get(std::int64_t id) {
    outcome_t<entry_t> o;
    store->get_entry(id, o.callback());
    EXPECT_TRUE(done(o) && o.value) << text_of(o.error);
    return o.value ? std::move(*o.value) : entry_t{};
  }

  // Its completion also means that every task posted before it on either
  // worker has run.
  std::string check(bool fix) {
    outcome_t<std::string> o;
    store->check_health(fix, o.callback());
    EXPECT_TRUE(done(o) && o.value) << text_of(o.error);
    return o.value ? *o.value : "<failed>";
  }

  std::uint64_t entries() {
    outcome_t<queue_stats_t> o;
    store->get_queue_stat(o.callback());
    EXPECT_TRUE(done(o) && o.value);
    std::uint64_t n = 0;
    for (const auto& s : o.value->stats) n += s.total_messages;
    return n;
  }

  boost::asio::io_context io;
  temp_dir_t tmp;
  const fs::path spool = tmp / "spool";
  const fs::path queue = spool / "queue";
  std::shared_ptr<test_hooks_t> hooks = std::make_shared<test_hooks_t>();
  std::unique_ptr<store_t> store;
  int sources = 0;
};

TEST_F(store_test, put_compensations_leave_nothing_and_answer_once) {
  struct row_t {
    half_t first;  // the half that ends first
    bool first_fails;
    bool second_fails;
  };
  const auto text = [](half_t half) { return half == half_t::file ? "file half" : "db half"; };
  hooks->holding = {{op_t::put, half_t::file}, {op_t::put, half_t::db}};
  for (const auto& row :
       {row_t{half_t::file, false, true}, row_t{half_t::db, true, false}, row_t{half_t::db, false, true},
        row_t{half_t::file, true, false}, row_t{half_t::file, true, true}, row_t{half_t::db, true, true}}) {
    const half_t second = row.first == half_t::file ? half_t::db : half_t::file;
    SCOPED_TRACE(std::string(text(row.first)) + (row.first_fails ? " fails" : " succeeds") + ", then " + text(second) +
                 (row.second_fails ? " fails" : " succeeds"));
    hooks->finished.clear();
    outcome_t<std::uint64_t> o;
    store->put_entry(entry("body"), o.callback());
    for (half_t half : {row.first, second}) {
      auto held = hooks->take(op_t::put, half);
      if (half == row.first ? row.first_fails : row.second_fails) {
        held.fail(std::make_exception_ptr(std::runtime_error(text(half))));
      } else {
        held.start();
      }
      ASSERT_TRUE(run_until(io, [&] { return hooks->finished[{op_t::put, half}] == 1; }));
      // A failure answers at once; a success waits for the other half.
      if (half == row.first) {
        EXPECT_EQ(o.calls, row.first_fails ? 1 : 0);
      }
    }
    EXPECT_EQ(text_of(o.error), text(row.first_fails ? row.first : second));
    EXPECT_EQ(check(false), "Ok");
    EXPECT_EQ(entries(), 0u);
    EXPECT_TRUE(listing(queue).empty());
    EXPECT_EQ(o.calls, 1);
  }
}

struct health_row_t {
  const char* name;
  std::function<void(store_test&)> damage;
  std::string report;
  std::string fixed;
  std::string after;  // the report once fixed
};

class health_test : public store_test, public ::testing::WithParamInterface<health_row_t> {};

TEST_P(health_test, reports_and_fixes) {
  const auto kept = put("kept");
  GetParam().damage(*this);
  EXPECT_EQ(check(false), GetParam().report);
  EXPECT_EQ(check(true), GetParam().fixed);
  EXPECT_EQ(check(false), GetParam().after);
  EXPECT_EQ(read_fd(get(kept).file.fd), "kept");
}

const std::string not_regular = "1 non-regular files in the message directory\n";
const std::string not_removed =
    "Didn't remove 1 non-regular files in the message directory (this has to be fixed manually)\n";

INSTANTIATE_TEST_SUITE_P(
    rows, health_test,
    ::testing::Values(
        health_row_t{"record_without_file",
                     [](store_test& t) { fs::remove(t.queue / t.get(t.put("x")).metadata.message_filename); },
                     "1 orphaned DB records\n", "Removed 1 orphaned DB records\n", "Ok"},
        health_row_t{"file_without_record", [](store_test& t) { write_file((t.queue / "s").string(), "0123456789"); },
                     "1 orphaned message files (10 bytes)\n", "Removed 1/1 orphaned message files (10/10 bytes)\n",
                     "Ok"},
        health_row_t{"subdirectory", [](store_test& t) { fs::create_directory(t.queue / "sub"); }, not_regular,
                     not_removed, not_regular}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(store_test, a_repairing_check_never_deletes_what_puts_and_updates_in_flight_wrote) {
  const auto id = put("old body");
  // The new files of an update and a put with no record naming them yet;
  // then a put's record naming a file not written yet.
  for (half_t put_waits : {half_t::db, half_t::file}) {
    const half_t put_done = put_waits == half_t::db ? half_t::file : half_t::db;
    hooks->finished.clear();
    hooks->holding = {{op_t::update, half_t::db}, {op_t::put, put_waits}};
    outcome_t<none_t> updated;
    store->update_entry(id, {}, source("new body"), updated.callback());
    outcome_t<std::uint64_t> added;
    store->put_entry(entry("put body"), added.callback());
    ASSERT_TRUE(run_until(io, [&] { return hooks->held.size() == 2 && hooks->finished[{op_t::put, put_done}]; }));
    const auto files = listing(queue);
    EXPECT_EQ(check(true), "");
    EXPECT_EQ(listing(queue), files);

    hooks->take(op_t::update, half_t::db).start();
    hooks->take(op_t::put, put_waits).start();
    ASSERT_TRUE(run_until(io, [&] { return updated.calls && added.calls; }));
    ASSERT_TRUE(added.value && !updated.error);
    EXPECT_EQ(read_fd(get(static_cast<std::int64_t>(*added.value)).file.fd), "put body");
    EXPECT_EQ(check(false), "Ok");
  }
  EXPECT_EQ(read_fd(get(id).file.fd), "new body");
  EXPECT_EQ(entries(), 3u);
}

TEST_F(store_test, removes_wait_behind_an_update_with_a_file_and_run_in_order) {
  const auto id = put("old body");
  const auto other = put("other body");
  hooks->holding = {{op_t::update, half_t::file}};
  std::vector<std::string> order;
  auto note = [&](const std::string& what) {
    return [&order, what](result_t<none_t> r) { order.push_back(what + " " + text_of(error_of(r))); };
  };
  store->update_entry(id, {}, source("new body"), note("update"));
  store->remove_entry(id, note("remove1"));
  store->remove_entry(id, note("remove2"));
  store->remove_entry(other, note("other"));  // not locked
  // A database round trip: removes posted at once would have run by now.
  EXPECT_EQ(entries(), 1u);
  EXPECT_EQ(order, std::vector<std::string>{"other no error"});

  hooks->take(op_t::update, half_t::file).start();
  ASSERT_TRUE(run_until(io, [&] { return order.size() == 4; }));
  EXPECT_EQ(order,
            (std::vector<std::string>{"other no error", "update no error", "remove1 no error", "remove2 no error"}));
  // The entry went with its new file, and the old file went too.
  EXPECT_EQ(check(false), "Ok");
  EXPECT_EQ(entries(), 0u);
  EXPECT_TRUE(listing(queue).empty());
}

TEST_F(store_test, a_failed_update_keeps_the_old_file_and_releases_the_lock) {
  const auto id = put("old body");
  const auto old_files = listing(queue);
  for (half_t half : {half_t::file, half_t::db}) {
    hooks->failing = {{op_t::update, half}};
    entry_metadata_update_t u;
    u.status = bcc_fresh;
    outcome_t<none_t> o;
    store->update_entry(id, u, source("new body"), o.callback());
    ASSERT_TRUE(done(o));
    EXPECT_EQ(text_of(o.error), "injected failure");
    EXPECT_EQ(check(false), "Ok");
    EXPECT_EQ(listing(queue), old_files);
    auto got = get(id);
    EXPECT_EQ(got.metadata.status, smtp_fresh);
    EXPECT_EQ(read_fd(got.file.fd), "old body");
  }
  // Nothing is locked any more: the remove runs at once.
  outcome_t<none_t> removed;
  store->remove_entry(id, removed.callback());
  EXPECT_EQ(entries(), 0u);
  EXPECT_EQ(removed.calls, 1);
}

TEST_F(store_test, close_finishes_started_work_and_drops_late_callbacks) {
  const auto id = put("first");
  outcome_t<std::uint64_t> o;
  store->put_entry(entry("second"), o.callback());
  store.reset();
  io.restart();
  io.poll();
  EXPECT_EQ(o.calls, 0);

  open();
  EXPECT_EQ(entries(), 2u);
  EXPECT_EQ(check(false), "Ok");
  EXPECT_EQ(read_fd(get(id).file.fd), "first");
}

}  // namespace
}  // namespace mq::store
