#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>

namespace mq::store {

// Entry locks of the store: an update that replaces an entry's file holds
// the entry's lock, and every request for the entry arriving meanwhile (get,
// update, remove) is deferred until the lock is released; a deferred request
// that finds the entry locked again defers itself again, behind the lock's
// holder. Writes of the record alone (updates without a file, removes) keep
// their order on the database worker; a get, answered within one turn,
// waits for the writes before it, and the writes after it wait for its
// file to be open. Event loop only.
class lock_entry_t {
 public:
  using operation_t = std::function<void()>;

  void lock(std::int64_t id);
  // Runs the id's deferred operations, in the order they were deferred,
  // when the last lock and the last write are released.
  void unlock(std::int64_t id);
  void begin_write(std::int64_t id);
  void end_write(std::int64_t id);
  // A get whose record is read and whose file is still being opened: a
  // write must not take the file away meanwhile; other reads go on.
  void begin_read(std::int64_t id);
  void end_read(std::int64_t id);
  // A write must wait: the entry is locked or being read, or requests wait
  // before it.
  bool is_locked(std::int64_t id) const;
  // A read must wait: the above, or a write of the record is in flight.
  bool is_written(std::int64_t id) const;
  void defer(std::int64_t id, operation_t op);

 private:
  void release(std::int64_t id, std::map<std::int64_t, std::uint64_t>& counts);

  std::map<std::int64_t, std::uint64_t> counts_;
  std::map<std::int64_t, std::uint64_t> writes_;
  std::map<std::int64_t, std::uint64_t> reads_;
  std::map<std::int64_t, std::list<operation_t>> deferred_;
};

}  // namespace mq::store
