#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include "store/async_message_dir.h"
#include "store/async_metadata_db.h"
#include "store/entry.h"
#include "util/result.h"

namespace mq::store {

class lock_entry_t;

// The quarantine: a metadata record plus a message file per entry, kept
// consistent. Event loop only; every callback runs on the event loop once.
class store_t {
 public:
  template <class T>
  using callback_t = std::function<void(mq::util::result_t<T>)>;
  using queue_changed_t = boost::signals2::signal_type<
      void(queue_change_ptr_t), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

  explicit store_t(boost::asio::io_context& io);
  ~store_t();

  // Blocks until both halves are ready; throws the first failure.
  void open(const std::string& spool_dir, std::uint32_t uid, std::uint32_t gid, bool trace);
  void reconfigure(std::uint32_t uid, std::uint32_t gid, bool trace);
  void close();

  void put_entry(entry_t entry, callback_t<std::uint64_t> callback);
  void get_entry(std::int64_t id, callback_t<entry_t> callback);
  void update_entry(std::int64_t id, entry_metadata_update_t update, boost::optional<shared_file_t> file,
                    callback_t<mq::util::none_t> callback);
  void remove_entry(std::int64_t id, callback_t<mq::util::none_t> callback);
  void check_health(bool fix, callback_t<std::string> callback);
  void flush_queue(status_t status, callback_t<std::string> callback);
  void get_queue_chunk(queue_chunk_request_t request, callback_t<std::vector<queue_key_t>> callback);
  void get_queue_chunk_brief(queue_chunk_request_t request, callback_t<std::vector<entry_brief_t>> callback);
  void get_queue_stat(callback_t<queue_stats_t> callback);

  queue_changed_t& queue_changed() { return queue_changed_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  queue_changed_t queue_changed_;
  std::unique_ptr<async_message_dir_t> dir_;
  std::unique_ptr<async_metadata_db_t> db_;
  std::shared_ptr<lock_entry_t> locks_;
};

}  // namespace mq::store
