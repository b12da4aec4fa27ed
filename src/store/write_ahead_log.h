#pragma once

#include <chrono>
#include <cstdint>

#include "store/sqlite.h"

namespace mq::store {

// The write-ahead log of the writer's connection and its checkpoints. Commits
// only append to the log; the writer copies it back into queue.db after a
// group has been answered, never inside a COMMIT:
// - from `checkpoint_frames` on, as far as the readers' snapshots allow,
//   without waiting for anyone;
// - from `limit_frames` on, it copies everything and starts the log over
//   from its beginning once the reads still on older snapshots have ended.
//   It waits for them `attempt_wait` at most, then answers the writes queued
//   meanwhile and tries again after the next group, for `reader_wait` in
//   all; reads that start meanwhile read queue.db and go on. The file is
//   then cut back to the limit. Should a read hold its snapshot longer
//   (another process's), the log grows by another limit before the writer
//   tries again.
// Readers never wait for a checkpoint; a write waits `attempt_wait` for one
// at most. Writer thread only.
class write_ahead_log_t {
 public:
  // About 4 MiB of 4 KiB pages, and four times that.
  static constexpr std::int64_t checkpoint_frames = 1000;
  static constexpr std::int64_t limit_frames = 4000;
  static constexpr std::chrono::milliseconds reader_wait{2000};
  static constexpr std::chrono::milliseconds attempt_wait{20};

  // Switches the connection's database to the log (converting a database in
  // rollback mode) and takes over its checkpoints.
  explicit write_ahead_log_t(sqlite::connection_t& connection);
  write_ahead_log_t(const write_ahead_log_t&) = delete;
  write_ahead_log_t& operator=(const write_ahead_log_t&) = delete;
  ~write_ahead_log_t();

  // Runs the checkpoint the log's length calls for, if any. Never throws: a
  // checkpoint that fails leaves the log as it was, to be tried again.
  void checkpoint_if_due();

 private:
  // Makes the log's name durable.
  void sync_directory();
  static int on_commit(void* self, struct sqlite3*, const char*, int frames);
  static int on_busy(void* self, int tries);
  bool checkpoint(bool restart);

  sqlite::connection_t& connection_;
  std::int64_t frames_ = 0;
  std::int64_t restart_at_ = limit_frames;
  std::chrono::steady_clock::time_point wait_until_;
  // The first attempt at the pending restart; none: none pending.
  std::chrono::steady_clock::time_point restart_since_{};
  std::chrono::steady_clock::time_point next_try_{};
};

}  // namespace mq::store
