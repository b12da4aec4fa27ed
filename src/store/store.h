#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/optional.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include "store/async_message_dir.h"
#include "store/async_metadata_writer.h"
#include "store/async_reader.h"
#include "store/entry.h"
#include "store/entry_getter.h"
#include "store/entry_writer.h"
#include "store/port.h"
#include "store/store_hooks.h"
#include "util/result.h"

namespace mq::store {

class health_check_t;
class lock_entry_t;

// The quarantine: a metadata record plus a message file per entry, kept
// consistent. Event loop only; every callback runs on the event loop once.
class store_t : public store_port_t {
 public:
  using queue_changed_t =
      boost::signals2::signal_type<void(queue_change_ptr_t),
                                   boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

  explicit store_t(boost::asio::io_context& io);
  // With hooks that tests use to hold back or fail halves of puts and
  // updates.
  store_t(boost::asio::io_context& io, std::shared_ptr<store_hooks_t> hooks);
  ~store_t() override;
  store_t(const store_t&) = delete;
  store_t& operator=(const store_t&) = delete;

  // Blocks until both halves are ready; throws the first failure.
  void open(const std::string& spool_dir, std::uint32_t uid, std::uint32_t gid, bool trace);
  void reconfigure(std::uint32_t uid, std::uint32_t gid, bool trace);
  // Database operations and reads not started yet never run; waits for the
  // running ones, whose callbacks are then on the event loop.
  void halt();
  // After halt() (which it runs when not run yet), the message directory's
  // queued file work is done; then drops the back ends: callbacks still
  // pending are never called.
  void close();

  void put_entry(entry_t entry, callback_t<std::uint64_t> callback) override;
  void get_entry(std::int64_t id, callback_t<entry_t> callback, const void* owner = nullptr) override;
  void update_entry(std::int64_t id, entry_metadata_update_t update, boost::optional<shared_file_t> file,
                    callback_t<mq::util::none_t> callback) override;
  void remove_entry(std::int64_t id, callback_t<mq::util::none_t> callback) override;
  void check_health(bool fix, callback_t<std::string> callback) override;
  void flush_queue(status_t status, callback_t<std::string> callback) override;
  void get_queue_chunk(queue_chunk_request_t request, callback_t<std::vector<queue_key_t>> callback) override;
  void get_queue_chunk_brief(queue_chunk_request_t request, callback_t<std::vector<entry_brief_t>> callback,
                             wanted_t wanted = nullptr) override;
  void get_queue_stat(callback_t<queue_stats_t> callback, wanted_t wanted = nullptr) override;
  // Among the large reads.
  void run_large(const void* owner, std::function<void()> job, std::function<void()> done) override;

  queue_changed_t& queue_changed() { return queue_changed_; }
  // Same as queue_changed().connect(slot), compiled once here: connecting
  // inline trips a false uninitialized-use warning of GCC 12 in the
  // sanitizer build.
  boost::signals2::connection connect_queue_changed(std::function<void(queue_change_ptr_t)> slot) override;
  const std::string& path() const override { return path_; }

 private:
  // An answer made on the event loop, on a later turn: never inside the
  // caller's own call.
  template <class T>
  void deliver(callback_t<T> callback, mq::util::result_t<T> result) {
    boost::asio::post(io_, [alive = alive_, callback = std::move(callback), result = std::move(result)]() mutable {
      if (*alive) callback(std::move(result));
    });
  }

  boost::asio::io_context& io_;
  std::string path_;
  queue_changed_t queue_changed_;
  std::unique_ptr<async_message_dir_t> dir_;
  std::unique_ptr<async_metadata_writer_t> db_;
  // Pages and statistics: apart from the writes.
  std::unique_ptr<async_reader_t> reader_;
  std::shared_ptr<lock_entry_t> locks_;
  std::shared_ptr<store_hooks_t> hooks_;
  // Health checks: the first runs and hears of the files whose records the
  // writer settles; the others wait for it, so that requests for many hold the
  // records of one at a time.
  std::deque<std::shared_ptr<health_check_t>> checks_;
  // Lowered by close: completions that arrive later do nothing.
  std::shared_ptr<bool> alive_;
  // After locks_ and alive_, which they share.
  entry_getter_t getter_;
  // Gone at close, before the workers it uses.
  std::unique_ptr<entry_writer_t> writer_;
};

}  // namespace mq::store
