#include "store/commit_gate.h"

namespace mq::store {

void commit_gate_t::lock_shared() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !committing_ && commits_waiting_ == 0; });
  ++readers_;
}

void commit_gate_t::unlock_shared() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--readers_ == 0) changed_.notify_all();
}

void commit_gate_t::lock() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++commits_waiting_;
  changed_.wait(lock, [this] { return !committing_ && readers_ == 0; });
  --commits_waiting_;
  committing_ = true;
}

void commit_gate_t::unlock() {
  std::lock_guard<std::mutex> lock(mutex_);
  committing_ = false;
  changed_.notify_all();
}

}  // namespace mq::store
