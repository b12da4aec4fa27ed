#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>
#include <boost/signals2/connection.hpp>

#include "store/entry.h"
#include "store/shared_file.h"
#include "util/result.h"

namespace mq::store {

// What the connections ask of the store, on the event loop; every callback
// runs on the event loop once, never inside the call.
class store_port_t {
 public:
  template <class T>
  using callback_t = std::function<void(mq::util::result_t<T>)>;
  // Lowered when nobody waits for the answer any more (its connection went
  // away): a read not started by then never runs.
  using wanted_t = std::shared_ptr<const std::atomic<bool>>;

  virtual ~store_port_t() = default;

  // The spool directory in force.
  virtual const std::string& path() const = 0;
  virtual boost::signals2::connection connect_queue_changed(std::function<void(queue_change_ptr_t)> slot) = 0;

  virtual void put_entry(entry_t entry, callback_t<std::uint64_t> callback) = 0;
  // `owner` (the asking connection) takes its turn with the others when the
  // entry is large enough to be read off the event loop.
  virtual void get_entry(std::int64_t id, callback_t<entry_t> callback, const void* owner = nullptr) = 0;
  virtual void update_entry(std::int64_t id, entry_metadata_update_t update, boost::optional<shared_file_t> file,
                            callback_t<mq::util::none_t> callback) = 0;
  virtual void remove_entry(std::int64_t id, callback_t<mq::util::none_t> callback) = 0;
  virtual void check_health(bool fix, callback_t<std::string> callback) = 0;
  virtual void flush_queue(status_t status, callback_t<std::string> callback) = 0;
  virtual void get_queue_chunk(queue_chunk_request_t request, callback_t<std::vector<queue_key_t>> callback) = 0;
  virtual void get_queue_chunk_brief(queue_chunk_request_t request, callback_t<std::vector<entry_brief_t>> callback,
                                     wanted_t wanted = nullptr) = 0;
  virtual void get_queue_stat(callback_t<queue_stats_t> callback, wanted_t wanted = nullptr) = 0;

  // Runs `job` off the event loop (at most one of `owner`'s at a time,
  // owners taking turns), then `done` on the loop, unless the store has
  // halted by then.
  virtual void run_large(const void* owner, std::function<void()> job, std::function<void()> done) = 0;
};

}  // namespace mq::store
