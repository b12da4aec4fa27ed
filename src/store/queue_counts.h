#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <boost/optional.hpp>

#include "store/entry.h"
#include "store/sqlite.h"

namespace mq::store {

// Entries and bytes per status, kept by the writing connection as it
// commits, so that the statistics cost no pass over the queue. Temporary
// triggers keep a temporary table up to date inside each transaction (a
// rollback undoes its counts with its rows); a change by another process
// shows in `PRAGMA data_version` and is counted again. A connection of its
// own tells readers whether anything was committed since the counts they
// would get.
class queue_counts_t {
 public:
  // On the writer's thread; counts once.
  queue_counts_t(sqlite::connection_t& writer, const std::string& path);
  queue_counts_t(const queue_counts_t&) = delete;
  queue_counts_t& operator=(const queue_counts_t&) = delete;

  // On the writer's thread, outside a transaction, after each commit. Never
  // throws: after a failure readers pass over the queue themselves.
  void publish() noexcept;
  // Any thread: the counts, unless something was committed after they were
  // published. Then `stale` has the writer look again (it publishes right
  // after its own commits anyway), and the counts come when it has, within
  // a short wait; none after it (a pass over the queue knows).
  boost::optional<queue_stats_t> current(const std::function<void()>& stale);
  // The same without the look and the wait: for the event loop.
  boost::optional<queue_stats_t> current_now();

 private:
  // Of the watching connection; with mutex_ held.
  std::int64_t watched_version();
  void count_again_if_changed();

  sqlite::connection_t& writer_;
  sqlite::statement_t writer_version_;
  sqlite::statement_t select_;
  // The writer's data version at its last count; none: count again.
  boost::optional<std::int64_t> counted_version_;

  std::mutex mutex_;
  std::condition_variable published_cv_;
  // Guarded by mutex_.
  sqlite::connection_t watch_;
  sqlite::statement_t watch_version_;
  queue_stats_t published_;
  boost::optional<std::int64_t> published_version_;
  std::uint64_t publications_ = 0;
};

}  // namespace mq::store
