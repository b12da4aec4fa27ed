#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace mq::store {

// Lets reads on other connections to the database run beside a write
// transaction, but never while its COMMIT holds the file: SQLite would turn
// either side away with a busy result, which is waited out in steps far
// longer than a commit. A commit waiting goes first, so that a steady stream
// of reads cannot hold it back. Usable with std::shared_lock (reads) and
// std::unique_lock (commits).
class commit_gate_t {
 public:
  commit_gate_t() = default;
  commit_gate_t(const commit_gate_t&) = delete;
  commit_gate_t& operator=(const commit_gate_t&) = delete;

  void lock_shared();
  void unlock_shared();
  void lock();
  void unlock();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t readers_ = 0;
  std::size_t commits_waiting_ = 0;
  bool committing_ = false;
};

}  // namespace mq::store
