#include "store/store.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <tuple>

#include "store/store_hooks.h"
#include "store_support.h"

namespace mq::store {
namespace {

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
    if (failing.count({op, half}))
      fail(std::make_exception_ptr(std::runtime_error("injected failure")));
    else if (holding.count({op, half}))
      held[{op, half}].push_back({std::move(start), std::move(fail)});
    else
      start();
  }

  void on_done(op_t op, half_t half, const std::string&, std::exception_ptr) override { ++finished[{op, half}]; }

  // The oldest held start of that half.
  held_t take(op_t op, half_t half) {
    auto& queue = held.at({op, half});
    held_t h = std::move(queue.front());
    queue.pop_front();
    if (queue.empty()) held.erase({op, half});
    return h;
  }

  std::set<half_key_t> holding, failing;
  std::map<half_key_t, std::deque<held_t>> held;
  std::map<half_key_t, int> finished;
};

// How many answers of any kind came so far: their order.
int answers = 0;

// The outcome of one call, with the number of times its callback ran.
template <class T>
struct outcome_t {
  int calls = 0, answered = 0;  // answered: place among the answers of the test
  boost::optional<T> value;
  std::exception_ptr error;

  std::function<void(result_t<T>)> callback() {
    return [this](result_t<T> r) {
      answered = ++answers;
      ++calls;
      error = error_of(r);
      if (!error) value.emplace(std::move(boost::get<T>(r)));
    };
  }
};

struct store_test : ::testing::Test {
  void SetUp() override { open(); }

  // A new store on the spool, emptied first when `fresh`.
  void open(bool fresh = false) {
    store.reset();
    io.restart();
    if (fresh) fs::remove_all(spool);
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

  template <class T, class Call>
  T call(Call&& start) {
    return answer_of<T>(io, start);
  }
  std::int64_t put(const std::string& content) {
    return static_cast<std::int64_t>(call<std::uint64_t>([&](auto cb) { store->put_entry(entry(content), cb); }));
  }
  entry_t get(std::int64_t id) {
    return call<entry_t>([&](auto cb) { store->get_entry(id, cb); });
  }
  // Its completion also means that every task posted before it on either
  // worker has run.
  std::string check(bool fix) {
    return call<std::string>([&](auto cb) { store->check_health(fix, cb); });
  }
  std::uint64_t entries() {
    std::uint64_t n = 0;
    for (const auto& s : call<queue_stats_t>([&](auto cb) { store->get_queue_stat(cb); }).stats) n += s.total_messages;
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

TEST_F(store_test, a_put_writes_its_record_only_after_its_file_and_never_leaves_half_of_it) {
  enum file_t { written, failing, short_source };
  hooks->holding = {{op_t::put, half_t::file}, {op_t::put, half_t::db}};
  for (const auto& [file, record_fails, error] : std::vector<std::tuple<file_t, bool, std::string>>{
           {failing, false, "file half"},
           {short_source, false, "Message source is shorter than its stated size (4 of 5 bytes): Invalid argument"},
           {written, true, "db half"},
           {written, false, "Success"}}) {
    SCOPED_TRACE(error);
    hooks->finished.clear();
    entry_t e = entry("body");
    e.file.size += file == short_source;  // the file half really fails
    outcome_t<std::uint64_t> o;
    store->put_entry(std::move(e), o.callback());
    // A database round trip: the record waits for the file.
    EXPECT_EQ(entries(), 0u);
    EXPECT_FALSE(hooks->held.count({op_t::put, half_t::db}));
    auto held = hooks->take(op_t::put, half_t::file);
    file == failing ? held.fail(std::make_exception_ptr(std::runtime_error("file half"))) : held.start();
    ASSERT_TRUE(run_until(io, [&] { return hooks->finished[{op_t::put, half_t::file}] == 1; }));
    if (file == written) {
      EXPECT_EQ(listing(queue).size(), 1u);  // in place before its record starts
      auto record = hooks->take(op_t::put, half_t::db);
      record_fails ? record.fail(std::make_exception_ptr(std::runtime_error("db half"))) : record.start();
    }
    ASSERT_TRUE(done(o));
    // error, records finished, health, entries, files, answers
    EXPECT_EQ((std::tuple{text_of(o.error), hooks->finished[{op_t::put, half_t::db}], check(false), entries(),
                          listing(queue).size(), o.calls}),
              (std::tuple{error, file == written ? 1 : 0, "Ok", o.error ? 0u : 1u, o.error ? 0u : 1u, 1}));
  }
}

// A check held between its reading of the records and its listing of the
// directory, while puts, an update and a remove go on: only the real orphans
// are reported and repaired; no file of a write in flight or just settled,
// and no record whose file moved or went with it. What is not a regular file
// is the operator's to remove.
TEST_F(store_test, a_check_beside_writes_settles_only_the_real_orphans) {
  for (const bool fix : {false, true}) {
    SCOPED_TRACE(fix);
    open(true);
    const auto kept = put("kept");
    const auto lost = put("lost");
    fs::remove(queue / get(lost).metadata.message_filename);
    write_file((queue / "stray").string(), "0123456789");
    fs::create_directory(queue / "sub");
    const auto moved = put("old body");
    const auto removed = put("removed");
    hooks->holding = {{op_t::put, half_t::db}, {op_t::check, half_t::file}};
    outcome_t<std::uint64_t> committed, in_flight, written;
    store->put_entry(entry("committed"), committed.callback());
    store->put_entry(entry("in flight"), in_flight.callback());
    outcome_t<std::string> checked;
    store->check_health(fix, checked.callback());
    ASSERT_TRUE(run_until(io, [&] {
      return hooks->held.count({op_t::check, half_t::file}) && hooks->held[{op_t::put, half_t::db}].size() == 2;
    }));
    hooks->holding.erase({op_t::check, half_t::file});
    // The records are read; now the writes go on.
    hooks->take(op_t::put, half_t::db).start();
    ASSERT_TRUE(done(committed));
    hooks->holding.erase({op_t::put, half_t::db});
    store->put_entry(entry("written"), written.callback());
    ASSERT_TRUE(done(written));
    outcome_t<none_t> updated, gone;
    store->update_entry(moved, {}, source("new body"), updated.callback());
    store->remove_entry(removed, gone.callback());
    ASSERT_TRUE(done(updated) && done(gone));
    // Another check waits for this one, then sees the writes settled.
    outcome_t<std::string> later;
    store->check_health(false, later.callback());
    hooks->take(op_t::check, half_t::file).start();
    ASSERT_TRUE(done(checked));
    const std::string odd = "1 non-regular files in the message directory",
                      found = "1 orphaned DB records\n1 orphaned message files (10 bytes)\n" + odd + "\n",
                      left = fix ? odd + "\n" : found;
    EXPECT_EQ(text_of(checked.error) + ": " + checked.value.value_or(""),
              "Success: " + (fix ? "Removed 1 orphaned DB records\nRemoved 1/1 orphaned message files (10/10 bytes)\n"
                                   "Didn't remove " +
                                       odd + " (this has to be fixed manually)\n"
                                 : found));
    ASSERT_TRUE(done(later));
    EXPECT_GT(later.answered, checked.answered);
    EXPECT_EQ(later.value.value_or(""), left);
    hooks->take(op_t::put, half_t::db).start();
    ASSERT_TRUE(done(in_flight) && in_flight.value) << text_of(in_flight.error);
    EXPECT_EQ(check(false), left);
    const auto id = [](const outcome_t<std::uint64_t>& o) { return static_cast<std::int64_t>(*o.value); };
    std::string bodies;
    for (const auto entry_id : {kept, id(committed), id(in_flight), id(written), moved})
      bodies += read_fd(get(entry_id).file.fd) + "|";
    EXPECT_EQ(bodies, "kept|committed|in flight|written|new body|");
    EXPECT_EQ(entries(), fix ? 5u : 6u);
  }
}

// Reads run beside the writes: a put stuck on a lock that another process
// holds keeps no read waiting, and no read sees it before it is
// acknowledged; after that every read does.
TEST_F(store_test, reads_are_answered_while_a_write_waits_and_see_every_acknowledged_write) {
  std::int64_t last = put("first");
  queue_chunk_request_t all;
  all.status = smtp_fresh;
  // The last entry's body, the count, and the sizes of a page of ids and of one of briefs.
  const auto seen = [&] {
    const auto ids = call<std::vector<queue_key_t>>([&](auto cb) { store->get_queue_chunk(all, cb); });
    const auto briefs = call<std::vector<entry_brief_t>>([&](auto cb) { store->get_queue_chunk_brief(all, cb); });
    return read_fd(get(last).file.fd) + " " + std::to_string(entries()) + " " + std::to_string(ids.size()) + " " +
           std::to_string(briefs.size());
  };
  sqlite::connection_t other((spool / "queue.db").string());
  other.execute("BEGIN IMMEDIATE;");  // held for writing: writers wait, readers need not
  const auto limit = sqlite::set_busy_limit(mq::test::wait_limit());
  const auto retries = sqlite::busy_retries();
  outcome_t<std::uint64_t> second;
  store->put_entry(entry("second"), second.callback());
  ASSERT_TRUE(run_until(io, [&] { return sqlite::busy_retries() > retries; }));
  EXPECT_EQ(seen(), "first 1 1 1");
  // A get behind a write of the same entry waits for it, and sees it.
  entry_metadata_update_t retry;
  retry.attempts = 5;
  outcome_t<none_t> updated;
  outcome_t<entry_t> behind;
  store->update_entry(last, retry, boost::none, updated.callback());
  store->get_entry(last, behind.callback());
  EXPECT_EQ(entries(), 1u);
  EXPECT_EQ(second.calls + updated.calls, 0);
  other.execute("COMMIT;");
  ASSERT_TRUE(done(second) && second.value) << text_of(second.error);
  ASSERT_TRUE(done(behind) && behind.value) << text_of(behind.error);
  EXPECT_EQ(std::tuple(behind.value->metadata.attempts, updated.calls), std::tuple(5u, 1)) << "attempts, answers";
  sqlite::set_busy_limit(limit);
  last = static_cast<std::int64_t>(*second.value);
  EXPECT_EQ(seen(), "second 2 2 2");
}

// A failed update keeps the old file and releases its lock; every request
// for the entry waits behind an update with a file, and all run in order.
TEST_F(store_test, a_failed_update_keeps_the_old_file_and_removes_wait_behind_an_update) {
  const auto id = put("old body");
  const auto other = put("other body");
  const auto old_files = listing(queue);
  for (half_t half : {half_t::file, half_t::db}) {
    hooks->failing = {{op_t::update, half}};
    entry_metadata_update_t u;
    u.status = bcc_fresh;
    outcome_t<none_t> o;
    store->update_entry(id, u, source("new body"), o.callback());
    ASSERT_TRUE(done(o));
    // The health check also waits for the new file's removal.
    EXPECT_EQ((std::tuple{text_of(o.error), check(false), listing(queue) == old_files}),
              (std::tuple{"injected failure", "Ok", true}));
    auto got = get(id);
    EXPECT_EQ((std::tuple{got.metadata.status, read_fd(got.file.fd)}), (std::tuple{smtp_fresh, "old body"}));
  }
  hooks->failing.clear();
  hooks->holding = {{op_t::update, half_t::file}};
  std::vector<std::string> order;
  auto note = [&](const std::string& what) {
    return [&order, what](result_t<none_t> r) { order.push_back(what + " " + text_of(error_of(r))); };
  };
  entry_metadata_update_t first, second;
  first.attempts = 1;
  second.attempts = 2;
  store->update_entry(id, first, source("new body"), note("update1"));
  store->update_entry(id, second, boost::none, note("update2"));
  store->get_entry(id, [&](result_t<entry_t> r) {
    auto* e = boost::get<entry_t>(&r);
    order.push_back(e ? "get " + std::to_string(e->metadata.attempts) + " " + read_fd(e->file.fd) : "get failed");
  });
  store->remove_entry(id, note("remove1"));
  store->remove_entry(id, note("remove2"));
  store->remove_entry(other, note("other"));  // not locked
  // Removes posted at once would have been answered before the later one.
  ASSERT_TRUE(run_until(io, [&] { return !order.empty(); }));
  EXPECT_EQ(entries(), 1u);
  EXPECT_EQ(order, std::vector<std::string>{"other Success"});
  hooks->take(op_t::update, half_t::file).start();
  ASSERT_TRUE(run_until(io, [&] { return order.size() == 6; }));
  EXPECT_EQ(order, (std::vector<std::string>{"other Success", "update1 Success", "update2 Success", "get 2 new body",
                                             "remove1 Success", "remove2 Success"}));
  // The entry went with its new file, and the old file went too.
  EXPECT_EQ((std::tuple{check(false), entries(), listing(queue).size()}), (std::tuple{"Ok", 0u, 0u}));
}

// A write of the commit to the log fails after it reached the file: a
// commit that may have stored is neither answered nor undone, whichever
// request made it; the error ends the loop (and the daemon), and the next
// start finds the commit whole or not at all.
TEST_F(store_test, a_commit_that_may_have_stored_is_neither_answered_nor_undone) {
  std::int64_t id = 0;
  const auto answered = [](int& answers) { return [&answers](auto) { ++answers; }; };
  // Name, set-up, the request, the check of what the next start finds.
  const std::tuple<const char*, std::function<void()>, std::function<void(int&)>, std::function<void()>> rows[] = {
      {"flush",
       [&] {
         entry_t later = entry("later");
         later.metadata.next_access_ts = 100;
         id = static_cast<std::int64_t>(call<std::uint64_t>([&](auto cb) { store->put_entry(std::move(later), cb); }));
       },
       [&](int& answers) { store->flush_queue(smtp_fresh, answered(answers)); },
       [&] {
         const auto due = get(id).metadata.next_access_ts;
         EXPECT_TRUE(due == 0u || due == 100u) << due;
         EXPECT_EQ(check(false), "Ok");
       }},
      {"repairing_check",
       [&] {
         id = put("lost");
         fs::remove(queue / get(id).metadata.message_filename);
       },
       [&](int& answers) { store->check_health(true, answered(answers)); },
       [&] {
         const std::string found = check(false);
         EXPECT_TRUE(found == "Ok" || found == "1 orphaned DB records\n") << found;
         EXPECT_EQ(entries(), found == "Ok" ? 0u : 1u);
       }},
  };
  for (const auto& [name, before, start, stored] : rows) {
    SCOPED_TRACE(name);
    open(true);
    before();
    int answers = 0;
    {
      failing_commit_write_t failing;
      start(answers);
      EXPECT_THROW(run_until(io, [&] { return answers > 0; }), sqlite::outcome_unknown_t);
    }
    EXPECT_EQ(answers, 0);
    open();
    stored();
  }
}

// A flush of a large queue is one transaction far larger than SQLite's page
// cache: reads go on beside it, each answered while it runs, and none fails.
TEST_F(store_test, gets_are_answered_while_a_flush_of_half_a_million_entries_runs) {
  const auto id = put("body");
  store.reset();
  sql(spool.string() + "/queue.db",
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500000) "
      "INSERT INTO entry(message_filename, message_size, received_ts, next_access_ts, status, attempts) "
      "SELECT 'x' || i, 1, 1, i, 0, 0 FROM n;");
  open();
  outcome_t<std::string> flushed;
  store->flush_queue(smtp_fresh, flushed.callback());
  std::size_t answered = 0, during = 0;
  std::function<void()> next = [&] {
    store->get_entry(id, [&](result_t<entry_t> r) {
      EXPECT_EQ(text_of(error_of(r)), "Success");
      ++answered;
      if (!flushed.calls) ++during, next();
    });
  };
  next();
  ASSERT_TRUE(run_until(
      io, [&] { return flushed.calls && answered == during + 1; }, mq::test::wait_limit(std::chrono::seconds(15))));
  EXPECT_EQ(flushed.value.value_or(text_of(flushed.error)), "Flushed 500000 entries");
  EXPECT_GT(during, 1u);
}

TEST_F(store_test, close_finishes_started_work_and_drops_late_callbacks) {
  const auto id = put("first");
  outcome_t<std::uint64_t> o;
  store->put_entry(entry("second"), o.callback());
  store.reset();
  io.restart();
  io.poll();
  EXPECT_EQ(o.calls, 0);

  // The started file was finished; its record never began: an orphaned
  // file, never a record without its file.
  open();
  EXPECT_EQ((std::tuple{entries(), check(false), read_fd(get(id).file.fd)}),
            (std::tuple{1u, "1 orphaned message files (6 bytes)\n", "first"}));
}

// Reads for a connection that went away before they started never run: a
// scrape that gave up leaves nothing queued in front of a Sorter's gets.
TEST_F(store_test, reads_nobody_waits_for_any_more_never_start) {
  put("first");
  // Both reading threads held inside a page.
  hooks->holding = {{op_t::read, half_t::db}};
  int pages = 0;
  for (int i = 0; i < 2; ++i) store->get_queue_chunk(queue_chunk_request_t{}, [&](auto r) { pages += !error_of(r); });
  ASSERT_TRUE(run_until(io, [&] { return hooks->held[{op_t::read, half_t::db}].size() == 2; }));
  hooks->holding.clear();
  auto wanted = std::make_shared<std::atomic<bool>>(true);
  std::vector<std::string> outcomes;
  const auto note = [&](auto r) { outcomes.push_back(text_of(error_of(r))); };
  for (int i = 0; i < 10; ++i) store->get_queue_chunk_brief(queue_chunk_request_t{}, note, wanted);
  *wanted = false;
  for (int i = 0; i < 2; ++i) hooks->take(op_t::read, half_t::db).start();
  ASSERT_TRUE(run_until(io, [&] { return outcomes.size() == 10 && pages == 2; }));
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "Nobody waits for the answer"), 10);
}

}  // namespace
}  // namespace mq::store
