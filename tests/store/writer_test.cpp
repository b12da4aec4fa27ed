// The writer's own mechanisms, seen from outside: the log's checkpoints and
// restart in queue.db-wal's size, the directory sync of the log's name, and
// the counts kept on each commit against a count of the rows.
#include <atomic>
#include <chrono>
#include <thread>

#include "store/async_metadata_writer.h"
#include "store/metadata_writer.h"
#include "store/queue_counts.h"
#include "store/write_ahead_log.h"
#include "store_support.h"

namespace mq::store {
namespace {

using namespace mq::store::test;
constexpr std::uint64_t frame_bytes = 4096 + 24;
// journal_size_limit: the log is cut back to this once it starts over.
constexpr std::uint64_t limit_bytes = write_ahead_log_t::limit_frames * frame_bytes;

struct writer_test : ::testing::Test {
  void SetUp() override { db.init(path, false).get(); }

  template <class T, class Call>
  T call(Call&& start) {
    return answer_of<T>(io, start);
  }
  std::int64_t put(status_t status, std::uint64_t size, std::size_t session_bytes = 8) {
    entry_metadata_t m;
    m.session_id = std::string(session_bytes, 's');
    m.message_filename = "f.eml";
    m.status = status;
    m.message_size = size;
    return static_cast<std::int64_t>(call<std::uint64_t>([&](auto cb) { db.put_entry(m, cb); }));
  }
  // A put of about 16 pages.
  void big_put() { put(smtp_fresh, 1, 64 * 1024); }
  std::uint64_t log_bytes() const { return fs::exists(path + "-wal") ? fs::file_size(path + "-wal") : 0; }

  boost::asio::io_context io;
  temp_dir_t tmp;
  const std::string path = tmp.file("queue.db");
  async_metadata_writer_t db{io};
};

// The log starts over after a thousand pages; past 4,000 while a reader in
// another connection holds a snapshot, once the reader lets go.
TEST_F(writer_test, the_log_restarts_after_a_thousand_pages_or_past_four_thousand_once_an_old_reader_lets_go) {
  std::uint64_t largest = 0;
  for (int i = 0; i < 200; ++i) {  // some 3,400 pages
    big_put();
    largest = std::max(largest, log_bytes());
  }
  EXPECT_GE(largest, write_ahead_log_t::checkpoint_frames * frame_bytes);
  EXPECT_LT(largest, (write_ahead_log_t::checkpoint_frames + 100) * frame_bytes);
  sqlite::connection_t reader(path);
  reader.execute("BEGIN; SELECT count(*) FROM entry;");
  while (log_bytes() < limit_bytes + 200 * frame_bytes) big_put();
  reader.execute("COMMIT;");
  for (int i = 0; i < 2; ++i) put(smtp_fresh, 1);
  EXPECT_LE(log_bytes(), limit_bytes);
}

// Reads that overlap, each a millisecond or two, so that a snapshot older
// than the last commit is always held: the writer waits for them to end, or
// the log would never start over.
TEST_F(writer_test, overlapping_reads_do_not_keep_the_log_from_starting_over) {
  std::atomic<bool> stop{false};
  std::thread readers([&] {
    sqlite3* r[2] = {nullptr, nullptr};
    for (auto*& c : r) sqlite3_open(path.c_str(), &c);
    sqlite3_exec(r[0], "BEGIN; SELECT count(*) FROM entry;", nullptr, nullptr, nullptr);
    for (int i = 1; !stop; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sqlite3_exec(r[i % 2], "BEGIN; SELECT count(*) FROM entry;", nullptr, nullptr, nullptr);
      sqlite3_exec(r[(i + 1) % 2], "COMMIT;", nullptr, nullptr, nullptr);
    }
    for (auto* c : r) sqlite3_close(c);
  });
  // Some 8,000 pages: twice the limit, were the log never to start over.
  std::uint64_t largest = 0;
  for (int i = 0; i < 500; ++i) {
    big_put();
    largest = std::max(largest, log_bytes());
  }
  stop = true;
  readers.join();
  EXPECT_LE(largest, limit_bytes + 400 * frame_bytes);
}

// A put too large for one transaction does not hold up the writes queued
// behind it.
TEST_F(writer_test, a_small_put_is_not_held_behind_a_put_in_pieces) {
  entry_metadata_t big;
  big.message_filename = "big.eml";
  for (int r = 0; r < 30000; ++r) big.smtp_recipients.push_back({"r" + std::to_string(r) + "@example.org", {}});
  std::vector<std::string> answered;
  db.put_entry(
      big, [&](mq::util::result_t<std::uint64_t> r) { answered.push_back("big " + text_of(mq::util::error_of(r))); });
  put(smtp_fresh, 1);
  answered.push_back("small");
  ASSERT_TRUE(run_until(io, [&] { return answered.size() == 2; }));
  EXPECT_EQ(answered, (std::vector<std::string>{"small", "big " + text_of(nullptr)}));
  EXPECT_EQ(sql(path, "SELECT count(*) FROM smtp_recipient; SELECT count(*) FROM entry WHERE status = 0;"),
            (std::vector<std::string>{"30000", "2"}));
}

// The counts that the statistics answer from, right after a change of
// status answers (puts, removals and new sizes: daemon_statistics in
// tests/app, after a storm; a flush keeps the status: mqctl_test).
TEST_F(writer_test, the_counts_follow_every_change_of_status) {
  const auto counted = [&] {
    std::string text;
    const auto now = db.counts()->current_now();
    if (!now) return std::string("stale");
    for (int s = 0; s < 4; ++s)
      if (now->stats[s].total_messages)
        text += std::to_string(s) + ":" + std::to_string(now->stats[s].total_messages) + ":" +
                std::to_string(now->stats[s].total_bytes) + " ";
    return text;
  };
  const std::int64_t a = put(smtp_fresh, 10), b = put(smtp_accepted, 5);
  entry_metadata_update_t to_bcc;
  to_bcc.status = bcc_accepted;
  call<boost::optional<std::string>>([&](auto cb) { db.update_existing_entry(a, to_bcc, cb); });
  EXPECT_EQ(counted(), "1:1:5 3:1:10 ") << "update with a new status";
  put(bcc_fresh, 3);
  call<std::size_t>([&](auto cb) {
    db.settle_orphan_records(
        {b}, [](const std::string&) { return false; }, true, cb);
  });
  EXPECT_EQ(counted(), "2:1:3 3:1:10 ") << "repairing check";
}

// SQLite syncs the directory when it creates the log but ignores a failure;
// the writer syncs it again and fails the open, since no commit in a log
// whose name may be lost is durable.
TEST(log_name_test, a_failing_sync_of_the_directory_at_the_logs_creation_fails_the_open) {
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  const sqlite3_syscall_ptr real = vfs->xGetSystemCall(vfs, "openDirectory");
  ASSERT_NE(real, nullptr);
  // A pipe instead of the directory: fsync fails on it.
  int (*const pipe_instead)(const char*, int*) = [](const char*, int* fd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return SQLITE_CANTOPEN;
    ::close(ends[1]);
    *fd = ends[0];
    return SQLITE_OK;
  };
  temp_dir_t spool;
  vfs->xSetSystemCall(vfs, "openDirectory", reinterpret_cast<sqlite3_syscall_ptr>(pipe_instead));
  const std::string error =
      text_of(mq::util::thrown_by([&] { metadata_writer_t writer(spool.file("queue.db"), false); }));
  vfs->xSetSystemCall(vfs, "openDirectory", real);
  EXPECT_NE(error.find("cannot sync"), std::string::npos) << error;
}

}  // namespace
}  // namespace mq::store
