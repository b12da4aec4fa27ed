#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "store/entry.h"
#include "util/callback_wrapper.h"
#include "util/result.h"

namespace mq::store {

class queue_counts_t;

// The reads of the store, on threads of their own beside the database and
// directory workers: each thread has its own read-only connection to
// queue.db, so no group of writes and no file sync stands in front of a
// page or a statistics pass. A read sees what was committed when
// it started (acknowledged writes included) and nothing uncommitted; on the
// write-ahead log it never waits for a write or a checkpoint. Callbacks run
// on the event loop.
class async_reader_t : public mq::util::callback_wrapper_t {
 public:
  template <class T>
  using callback_t = std::function<void(mq::util::result_t<T>)>;

  // `before_read`, when set, runs on the reading thread before each read
  // (tests hold reads there).
  async_reader_t(boost::asio::io_context& io, std::size_t threads, std::function<void()> before_read = {});
  // Finishes the running reads; queued ones are dropped with their
  // callbacks.
  ~async_reader_t();

  // Blocks until every thread has opened the database (which must exist,
  // with its schema); throws the first failure.
  void open(const std::string& db_path, bool trace);
  void set_trace(bool trace);
  // No further read starts: the queued ones are dropped unanswered. Waits
  // for the running ones, whose answers are then on the event loop.
  void stop();

  // From the writer's counts (see queue_counts_t::current, which calls
  // `stale` on the reading thread); else a pass over the queue.
  // A read whose `wanted` (when given) is lowered before it starts never
  // runs.
  using wanted_t = std::shared_ptr<const std::atomic<bool>>;
  void get_queue_stat(std::shared_ptr<queue_counts_t> counts, std::function<void()> stale,
                      callback_t<queue_stats_t> callback, wanted_t wanted = nullptr);
  void get_queue_chunk(queue_chunk_request_t request, callback_t<std::vector<queue_key_t>> callback);
  void get_queue_chunk_brief(queue_chunk_request_t request, callback_t<std::vector<entry_brief_t>> callback,
                             wanted_t wanted = nullptr);

 private:
  struct lane_t;
  // The thread with the fewest reads waiting.
  lane_t& pick();
  // Runs op(lane) on a thread.
  template <class T, class F>
  void read(F op, callback_t<T> callback, wanted_t wanted = nullptr);

  std::function<void()> before_read_;
  std::vector<std::unique_ptr<lane_t>> lanes_;
};

}  // namespace mq::store
