#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "store/async_message_dir.h"
#include "store/async_metadata_writer.h"
#include "store/store_hooks.h"
#include "util/result.h"

namespace mq::store {

// One health check: the records against the message directory while puts,
// updates and removes go on. Neither worker is held for longer than a slice:
// the records are read a slice at a time on the writer, then the directory
// is listed a slice at a time on its worker, and only the differences are
// looked at again, each when it is settled. A file of a put or update still
// in flight, or settled while the check ran, is never an orphan; a suspected
// record is one only if the writer still has it and its file is gone.
// Event loop only.
class health_check_t : public std::enable_shared_from_this<health_check_t> {
 public:
  using stat_t = async_message_dir_t::health_stat_t;
  using callback_t = std::function<void(mq::util::result_t<stat_t>)>;

  // `in_flight` says whether a file belongs to a put or update not settled
  // yet; `hooks` (may be null) start the listing of the directory. The
  // workers must outlive every callback they hold.
  health_check_t(async_metadata_writer_t& db, async_message_dir_t& dir, boost::filesystem::path dir_path, bool fix,
                 std::function<bool(const std::string&)> in_flight, std::shared_ptr<store_hooks_t> hooks,
                 callback_t callback);
  ~health_check_t();

  void start();
  // A put or update let go of its file (its record is committed, or it
  // failed and removes the file itself).
  void settled(const std::string& name) { settled_.insert(name); }

 private:
  void next_records();
  void next_files();
  void settle_files(std::size_t from);
  void settle_records(std::size_t from);
  void finish(std::exception_ptr error);

  async_metadata_writer_t& db_;
  async_message_dir_t& dir_;
  boost::filesystem::path dir_path_;
  bool fix_;
  std::function<bool(const std::string&)> in_flight_;
  std::shared_ptr<store_hooks_t> hooks_;
  callback_t callback_;

  // The records not matched by a file yet, by file name, in shards: one map
  // of a million names would grow (and rehash) on the loop in one go.
  using shard_t = std::unordered_map<std::string, std::int64_t>;
  shard_t& shard_of(const std::string& name);
  std::vector<shard_t> records_;
  std::int64_t after_ = 0;
  std::shared_ptr<async_message_dir_t::listing_t> listing_;
  std::vector<std::string> files_;  // suspected orphaned files
  std::vector<std::int64_t> ids_;   // suspected records without a file
  std::set<std::string> settled_;
  // The directory, for the writer to look for a record's file.
  std::shared_ptr<const int> dir_fd_;
  stat_t stat_;
};

}  // namespace mq::store
