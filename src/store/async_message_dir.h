#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/path.hpp>

#include "store/entry.h"
#include "store/group_worker.h"
#include "store/shared_file.h"
#include "util/async_worker.h"
#include "util/callback_wrapper.h"
#include "util/result.h"

namespace mq::store {

class message_dir_t;

// The writes of the directory of message files (puts, deletes, the health
// check), on a worker thread of its own, calling back on the event loop.
// Reads open files on the reader threads (async_reader_t).
class async_message_dir_t : public mq::util::callback_wrapper_t {
 public:
  struct health_stat_t {
    std::uint64_t orphaned_db_records = 0;
    std::uint64_t orphaned_files = 0;
    std::uint64_t removed_files = 0;
    std::uint64_t orphaned_bytes = 0;
    std::uint64_t removed_bytes = 0;
    std::uint64_t non_regular_files = 0;
  };

  using error_callback_t = std::function<void(std::exception_ptr)>;

  explicit async_message_dir_t(boost::asio::io_context& io);
  ~async_message_dir_t();

  std::future<void> init(const boost::filesystem::path& dir, std::uint32_t uid, std::uint32_t gid);
  std::future<void> reload(std::uint32_t uid, std::uint32_t gid);
  std::future<void> stop();

  void put_file(const std::string& name, std::shared_ptr<shared_file_t> source, error_callback_t callback);
  void delete_file(const std::string& name, error_callback_t callback);
  // The health check's halves on the worker, each short, so that file work
  // queued meanwhile goes first (see message_dir_t): the next slice of a
  // listing of the directory (none at its end: it is through), and the
  // suspected orphaned files looked at again, counted and, when fixing,
  // removed.
  struct dir_entry_t {
    std::string name;
    bool regular = false;
  };
  class listing_t;
  static std::shared_ptr<listing_t> make_listing();
  void list(std::shared_ptr<listing_t> listing, std::size_t limit,
            std::function<void(mq::util::result_t<std::vector<dir_entry_t>>)> callback);
  void settle_orphan_files(std::vector<std::string> names, bool fix,
                           std::function<void(mq::util::result_t<health_stat_t>)> callback);

 private:
  class file_task_t;
  // On the worker: a group of puts and deletes, one sync.
  void run_files(group_worker_t<file_task_t>::group_t& group);

  std::unique_ptr<message_dir_t> dir_;  // used on the worker only
  group_worker_t<file_task_t> worker_;
};

// A new message file name from a model: every "%" becomes a random hex digit.
std::string make_message_filename(const boost::optional<std::string>& session_id);

}  // namespace mq::store
