#include "store/lock_entry.h"

#include <utility>

namespace mq::store {

void lock_entry_t::lock(std::int64_t id) { ++counts_[id]; }

void lock_entry_t::unlock(std::int64_t id) { release(id, counts_); }

void lock_entry_t::begin_write(std::int64_t id) { ++writes_[id]; }

void lock_entry_t::end_write(std::int64_t id) { release(id, writes_); }

void lock_entry_t::begin_read(std::int64_t id) { ++reads_[id]; }

void lock_entry_t::end_read(std::int64_t id) { release(id, reads_); }

void lock_entry_t::release(std::int64_t id, std::map<std::int64_t, std::uint64_t>& counts) {
  auto count = counts.find(id);
  if (count == counts.end()) return;
  if (--count->second > 0) return;
  counts.erase(count);
  // Nothing can run while the entry is locked. Otherwise each deferred
  // request runs or, finding a write in its way, defers again,
  // keeping everyone behind it in place.
  if (counts_.count(id)) return;
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

bool lock_entry_t::is_locked(std::int64_t id) const {
  return counts_.count(id) != 0 || deferred_.count(id) != 0 || reads_.count(id) != 0;
}

bool lock_entry_t::is_written(std::int64_t id) const {
  return counts_.count(id) != 0 || deferred_.count(id) != 0 || writes_.count(id) != 0;
}

void lock_entry_t::defer(std::int64_t id, operation_t op) { deferred_[id].push_back(std::move(op)); }

}  // namespace mq::store
