#include "store/queue_counts.h"

#include <sqlite3.h>

#include <chrono>

#include "ov/error.h"
#include "ov/logger.h"

namespace mq::store {

namespace {

const char* const counts_sql = R"sql(
CREATE TEMP TABLE IF NOT EXISTS queue_counts (
    status   INTEGER PRIMARY KEY,
    messages INTEGER NOT NULL,
    bytes    INTEGER NOT NULL
);
CREATE TEMP TRIGGER IF NOT EXISTS queue_counts_insert AFTER INSERT ON main.entry BEGIN
    INSERT OR IGNORE INTO queue_counts VALUES (NEW.status, 0, 0);
    UPDATE queue_counts SET messages = messages + 1, bytes = bytes + NEW.message_size WHERE status = NEW.status;
END;
CREATE TEMP TRIGGER IF NOT EXISTS queue_counts_delete AFTER DELETE ON main.entry BEGIN
    UPDATE queue_counts SET messages = messages - 1, bytes = bytes - OLD.message_size WHERE status = OLD.status;
END;
CREATE TEMP TRIGGER IF NOT EXISTS queue_counts_update AFTER UPDATE OF status, message_size ON main.entry BEGIN
    UPDATE queue_counts SET messages = messages - 1, bytes = bytes - OLD.message_size WHERE status = OLD.status;
    INSERT OR IGNORE INTO queue_counts VALUES (NEW.status, 0, 0);
    UPDATE queue_counts SET messages = messages + 1, bytes = bytes + NEW.message_size WHERE status = NEW.status;
END;
)sql";

// The same sums as the statistics' pass over the queue.
const char* const count_sql = R"sql(
DELETE FROM temp.queue_counts;
INSERT INTO temp.queue_counts
    SELECT status, COUNT(*), COALESCE(SUM(message_size), 0) FROM main.entry GROUP BY status;
)sql";

const char* const version_sql = "PRAGMA main.data_version;";

// Without the busy wait: a lock held elsewhere makes the counts unknown
// for now, and must not add a busy limit to the write before or hold up
// the readers behind the mutex.
std::int64_t version_of(sqlite::statement_t& statement) {
  auto use = statement.use();
  const int rc = sqlite3_step(statement.handle());
  if (rc != SQLITE_ROW) throw sqlite::error_t(sqlite3_db_handle(statement.handle()), rc, statement.sql());
  return statement.column_int64(0);
}

}  // namespace

queue_counts_t::queue_counts_t(sqlite::connection_t& writer, const std::string& path)
    : writer_(writer), watch_(path, sqlite::connection_t::access_t::read_only) {
  writer_.execute(counts_sql);
  writer_version_ = writer_.prepare(version_sql);
  select_ = writer_.prepare("SELECT status, messages, bytes FROM temp.queue_counts;");
  watch_version_ = watch_.prepare(version_sql);
  count_again_if_changed();
  publish();
}

std::int64_t queue_counts_t::watched_version() { return version_of(watch_version_); }

void queue_counts_t::count_again_if_changed() {
  // The writer's own commits leave its version alone; only another
  // process's change moves it. Read before the count: a change that lands
  // in between is counted now and again next time, never missed.
  const std::int64_t version = version_of(writer_version_);
  if (version == counted_version_) return;
  counted_version_.reset();
  sqlite::transaction_t transaction(writer_);
  writer_.execute(count_sql);
  transaction.commit();
  counted_version_ = version;
}

void queue_counts_t::publish() noexcept {
  try {
    // Read first, like the writer's version: what lands after it makes the
    // counts look older than they are, never newer.
    std::int64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = watched_version();
    }
    count_again_if_changed();
    queue_stats_t stats;
    {
      auto use = select_.use();
      while (select_.step()) {
        const std::int64_t status = select_.column_int64(0);
        if (status < smtp_fresh || status > bcc_accepted) continue;
        stats.stats[status].total_messages = select_.column_uint64(1);
        stats.stats[status].total_bytes = select_.column_uint64(2);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    published_ = stats;
    published_version_ = seen;
    ++publications_;
    published_cv_.notify_all();
  } catch (const sqlite::error_t& e) {
    // Busy: another process holds the database, which every read waits for
    // anyway.
    if (!e.busy()) OV_LOG(warning, "Queue metadata db: Counting the queue: " << e.what());
    std::lock_guard<std::mutex> lock(mutex_);
    published_version_.reset();
  } catch (...) {
    OV_LOG(warning, "Queue metadata db: Counting the queue: " << ov::exception_text(std::current_exception()));
    std::lock_guard<std::mutex> lock(mutex_);
    published_version_.reset();
  }
}

boost::optional<queue_stats_t> queue_counts_t::current_now() {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    if (published_version_ && watched_version() == *published_version_) return published_;
  } catch (const sqlite::error_t&) {
  }
  return boost::none;
}

boost::optional<queue_stats_t> queue_counts_t::current(const std::function<void()>& stale) {
  // Longer than a publication after a commit takes, far shorter than a pass
  // over a long queue.
  constexpr std::chrono::milliseconds publication_wait{100};
  std::unique_lock<std::mutex> lock(mutex_);
  const auto valid = [this] {
    try {
      return published_version_ && watched_version() == *published_version_;
    } catch (const sqlite::error_t&) {
      return false;  // busy: the pass waits for the lock as any read does
    }
  };
  if (valid()) return published_;
  stale();
  const std::uint64_t seen = publications_;
  if (published_cv_.wait_for(lock, publication_wait, [&] { return publications_ != seen; }) && valid())
    return published_;
  return boost::none;
}

}  // namespace mq::store
