#include "store/lock_entry.h"

#include <utility>

namespace mq::store {

void lock_entry_t::lock(std::int64_t id) { ++counts_[id]; }

void lock_entry_t::unlock(std::int64_t id) {
  auto count = counts_.find(id);
  if (count == counts_.end()) return;
  if (--count->second > 0) return;
  counts_.erase(count);
  std::list<operation_t> ops;
  auto deferred = deferred_.find(id);
  if (deferred != deferred_.end()) {
    ops = std::move(deferred->second);
    deferred_.erase(deferred);
  }
  // The id is free before its operations run, so one of them may lock it
  // again without that lock being lost.
  for (auto& op : ops) op();
}

bool lock_entry_t::is_locked(std::int64_t id) const { return counts_.count(id) != 0; }

void lock_entry_t::defer(std::int64_t id, operation_t op) { deferred_[id].push_back(std::move(op)); }

}  // namespace mq::store
