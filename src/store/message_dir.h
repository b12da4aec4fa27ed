#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "store/async_message_dir.h"
#include "store/entry.h"
#include "store/file_ops.h"
#include "store/shared_file.h"

namespace mq::store {

// The message directory itself. Lives on the directory worker and is used
// only there; every failure is thrown.
class message_dir_t {
 public:
  // Largest byte count handed to one write call.
  static constexpr std::size_t max_chunk = 65535;

  explicit message_dir_t(boost::filesystem::path dir, file_ops_t* ops = nullptr);
  ~message_dir_t();
  message_dir_t(const message_dir_t&) = delete;
  message_dir_t& operator=(const message_dir_t&) = delete;

  // Creates the directory when missing, sets its mode to 0770 and rescans.
  void init(std::uint32_t uid, std::uint32_t gid);
  // Opens the directory as it is, changing nothing, for get() alone (the
  // benchmark's readers beside the directory's own worker).
  void open_for_reading();
  // Gives the directory and its regular files to uid:gid and recounts the
  // bytes.
  void rescan(std::uint32_t uid, std::uint32_t gid);

  // Copies source.size bytes of the source into a new file `name`; never
  // overwrites, leaves nothing behind on failure, and the data and the name
  // are on disk when it returns. Fails with ENOSPC before copying when the
  // file would eat into the free-space reserve.
  void put(const std::string& name, const shared_file_t& source);
  // Several puts and deletes at once: every file is written (a null source
  // removes the file instead, in its place among the writes), then the file
  // system is synced once (or, where that is not safe, each file and then
  // the directory). Each gets its own outcome (null on success). After each
  // file, `grow` may append more to `files`: what arrives while the group
  // is being written joins its sync instead of waiting for the next one.
  using file_list_t = std::vector<std::pair<std::string, const shared_file_t*>>;
  std::vector<std::exception_ptr> write_group(file_list_t files, const std::function<void(file_list_t&)>& grow = {});
  shared_file_t get(const std::string& name) const;
  // A file that is already gone counts as deleted.
  void remove(const std::string& name);

  // The health check's half, a slice at a time, so that the file work
  // queued meanwhile goes first. A listing of the directory, opened by its
  // first slice; names added or removed meanwhile may or may not be in it.
  class listing_t {
   public:
    listing_t() = default;
    ~listing_t();
    listing_t(const listing_t&) = delete;
    listing_t& operator=(const listing_t&) = delete;

   private:
    friend class message_dir_t;
    DIR* dir_ = nullptr;
    bool ended_ = false;
  };
  // Up to `limit` more entries of the listing; none once it is through.
  std::vector<async_message_dir_t::dir_entry_t> list(listing_t& listing, std::size_t limit);
  // Suspected orphans, looked at again: those still there as regular files
  // are counted into `stat` and, when fixing, removed.
  void settle_orphan_files(const std::vector<std::string>& names, bool fix, async_message_dir_t::health_stat_t& stat);

  const boost::filesystem::path& dir() const { return dir_; }
  std::uint64_t total_bytes() const { return total_bytes_; }

 private:
  // The path of a file directly inside the directory; refuses other names.
  boost::filesystem::path file_path(const std::string& name, const char* op) const;
  void write_all(int fd, const char* data, std::uint64_t size, const boost::filesystem::path& p);
  void sync_dir();
  // Creates `name` and copies the source into it, unsynced; its descriptor.
  int write_file(const std::string& name, const shared_file_t& source);
  // Throws ENOSPC when `size` more bytes would eat into the reserve.
  void check_space(std::uint64_t size) const;

  boost::filesystem::path dir_;
  file_ops_t* ops_;
  int dir_fd_ = -1;  // kept open for fchown, fsync and lookups
  bool sync_whole_fs_ = false;
  std::uint64_t total_bytes_ = 0;
};

}  // namespace mq::store
