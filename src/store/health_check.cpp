#include "store/health_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <boost/filesystem/exception.hpp>

namespace mq::store {

namespace {

// A slice costs a worker about a millisecond: a put queued behind it hardly
// notices.
constexpr std::size_t records_per_slice = 2048;
constexpr std::size_t files_per_slice = 2048;
constexpr std::size_t settled_per_slice = 256;
// A shard of a million records grows by a few thousand at a time.
constexpr std::size_t record_shards = 256;

}  // namespace

health_check_t::health_check_t(async_metadata_writer_t& db, async_message_dir_t& dir, boost::filesystem::path dir_path,
                               bool fix, std::function<bool(const std::string&)> in_flight,
                               std::shared_ptr<store_hooks_t> hooks, callback_t callback)
    : db_(db),
      dir_(dir),
      dir_path_(std::move(dir_path)),
      fix_(fix),
      in_flight_(std::move(in_flight)),
      hooks_(std::move(hooks)),
      callback_(std::move(callback)),
      records_(record_shards) {}

health_check_t::~health_check_t() = default;

health_check_t::shard_t& health_check_t::shard_of(const std::string& name) {
  return records_[std::hash<std::string>{}(name) % records_.size()];
}

void health_check_t::start() {
  const int fd = ::open(dir_path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    finish(std::make_exception_ptr(boost::filesystem::filesystem_error(
        "open", dir_path_, boost::system::error_code(errno, boost::system::system_category()))));
    return;
  }
  dir_fd_ = std::shared_ptr<const int>(new int(fd), [](const int* p) {
    ::close(*p);
    delete p;
  });
  next_records();
}

void health_check_t::next_records() {
  db_.list_entries(after_, records_per_slice,
                   [self = shared_from_this()](mq::util::result_t<std::vector<health_check_entry_t>> r) {
                     if (auto error = mq::util::error_of(r)) return self->finish(error);
                     auto& slice = boost::get<std::vector<health_check_entry_t>>(r);
                     // The first record naming a file wins.
                     for (auto& e : slice) {
                       auto& shard = self->shard_of(e.message_filename);
                       shard.emplace(std::move(e.message_filename), e.id);
                     }
                     if (slice.size() < records_per_slice) {
                       self->listing_ = async_message_dir_t::make_listing();
                       if (!self->hooks_) return self->next_files();
                       return self->hooks_->on_start(
                           store_hooks_t::op_t::check, store_hooks_t::half_t::file, "", [self] { self->next_files(); },
                           [self](const std::exception_ptr& e) { self->finish(e); });
                     }
                     self->after_ = slice.back().id;
                     self->next_records();
                   });
}

void health_check_t::next_files() {
  dir_.list(listing_, files_per_slice,
            [self = shared_from_this()](mq::util::result_t<std::vector<async_message_dir_t::dir_entry_t>> r) {
              if (auto error = mq::util::error_of(r)) return self->finish(error);
              auto& slice = boost::get<std::vector<async_message_dir_t::dir_entry_t>>(r);
              for (auto& e : slice) {
                if (!e.regular) {
                  ++self->stat_.non_regular_files;
                } else if (self->shard_of(e.name).erase(e.name) == 0) {
                  self->files_.push_back(std::move(e.name));
                }
              }
              if (!slice.empty()) return self->next_files();
              self->listing_.reset();
              // Now, after the listing: a file that a put or update still
              // holds, or let go of while the check ran, is theirs. Any
              // other file that no record named when it was listed never
              // gains one: every new file has a new name.
              auto theirs = [&](const std::string& name) {
                return self->in_flight_(name) || self->settled_.count(name) > 0;
              };
              self->files_.erase(std::remove_if(self->files_.begin(), self->files_.end(), theirs), self->files_.end());
              self->settled_.clear();
              for (auto& shard : self->records_) {
                for (const auto& [name, id] : shard) self->ids_.push_back(id);
                shard = shard_t();
              }
              std::sort(self->ids_.begin(), self->ids_.end());
              self->settle_files(0);
            });
}

void health_check_t::settle_files(std::size_t from) {
  if (from >= files_.size()) return settle_records(0);
  const std::size_t to = std::min(files_.size(), from + settled_per_slice);
  dir_.settle_orphan_files(std::vector<std::string>(files_.begin() + static_cast<std::ptrdiff_t>(from),
                                                    files_.begin() + static_cast<std::ptrdiff_t>(to)),
                           fix_, [self = shared_from_this(), to](mq::util::result_t<stat_t> r) {
                             if (auto error = mq::util::error_of(r)) return self->finish(error);
                             const auto& s = boost::get<stat_t>(r);
                             self->stat_.orphaned_files += s.orphaned_files;
                             self->stat_.orphaned_bytes += s.orphaned_bytes;
                             self->stat_.removed_files += s.removed_files;
                             self->stat_.removed_bytes += s.removed_bytes;
                             self->settle_files(to);
                           });
}

void health_check_t::settle_records(std::size_t from) {
  if (from >= ids_.size()) return finish(nullptr);
  const std::size_t to = std::min(ids_.size(), from + settled_per_slice);
  // On the writer, right before the record's removal: a record whose file
  // is gone stays without one, since its file is never written again.
  auto present = [fd = dir_fd_](const std::string& name) {
    struct stat st;
    if (::fstatat(*fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT && errno != ENOTDIR;
    return S_ISREG(st.st_mode);
  };
  db_.settle_orphan_records(std::vector<std::int64_t>(ids_.begin() + static_cast<std::ptrdiff_t>(from),
                                                      ids_.begin() + static_cast<std::ptrdiff_t>(to)),
                            present, fix_, [self = shared_from_this(), to](mq::util::result_t<std::size_t> r) {
                              if (auto error = mq::util::error_of(r)) return self->finish(error);
                              self->stat_.orphaned_db_records += boost::get<std::size_t>(r);
                              self->settle_records(to);
                            });
}

void health_check_t::finish(std::exception_ptr error) {
  auto callback = std::move(callback_);
  callback_ = nullptr;
  if (!callback) return;
  callback(mq::util::make_result(stat_, std::move(error)));
}

}  // namespace mq::store
