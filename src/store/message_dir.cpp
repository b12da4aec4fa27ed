#include "store/message_dir.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <system_error>
#include <utility>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "ov/error.h"
#include "ov/logger.h"
#include "store/power_cut.h"
#include "store/space_reserve.h"

namespace mq::store {

namespace fs = boost::filesystem;

namespace {

boost::system::error_code sys_error(int err) {
  return boost::system::error_code(err, boost::system::system_category());
}

[[noreturn]] void throw_fs(const char* what, const fs::path& p, int err) {
  throw fs::filesystem_error(what, p, sys_error(err));
}

// The system's message after the text, as in "mmap: Invalid argument".
[[noreturn]] void throw_system(int err, const std::string& text) {
  throw std::system_error(err, std::system_category(), text);
}

// A read-only shared mapping, unmapped when it goes out of scope.
class mapping_t {
 public:
  mapping_t(int fd, std::size_t size) : size_(size) {
    addr_ = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (addr_ == MAP_FAILED) throw_system(errno, "mmap");
  }
  ~mapping_t() { ::munmap(addr_, size_); }
  mapping_t(const mapping_t&) = delete;
  mapping_t& operator=(const mapping_t&) = delete;

  const char* data() const { return static_cast<const char*>(addr_); }

 private:
  void* addr_;
  std::size_t size_;
};

void log_warning(const std::exception& e) { OV_LOG(warning, "Message directory: " << ov::exception_text(e)); }

}  // namespace

message_dir_t::message_dir_t(fs::path dir, file_ops_t* ops)
    : dir_(std::move(dir)), ops_(ops ? ops : &file_ops_t::system()) {}

message_dir_t::~message_dir_t() {
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

fs::path message_dir_t::file_path(const std::string& name, const char* op) const {
  fs::path p = dir_ / name;
  // Names come from the database too: never let one leave the directory.
  if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\0", 2)) != std::string::npos)
    throw_fs(op, p, EINVAL);
  if (dir_fd_ < 0) throw_fs(op, p, EBADF);
  return p;
}

void message_dir_t::open_for_reading() {
  // A symbolic link here would hand root's chmod and chown to its target.
  int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw_fs("open", dir_, errno);
  if (dir_fd_ >= 0) ::close(dir_fd_);
  dir_fd_ = fd;
}

void message_dir_t::init(std::uint32_t uid, std::uint32_t gid) {
  fs::create_directories(dir_);
  open_for_reading();
  sync_whole_fs_ = ops_->syncfs_is_durable(dir_fd_);
  if (const std::string unsafe = power_cut_unsafe_fs(dir_fd_); !unsafe.empty())
    OV_LOG(warning, "Message directory: " << dir_.string() << " is on " << unsafe
                                          << ": a power cut can lose acknowledged entries; keep the spool on ext4 "
                                             "with its journal, XFS or Btrfs");
  if (::fchmod(dir_fd_, 0770) != 0) throw_fs("chmod", dir_, errno);
  rescan(uid, gid);
}

void message_dir_t::rescan(std::uint32_t uid, std::uint32_t gid) {
  if (dir_fd_ < 0) throw_fs("open", dir_, EBADF);
  if (::fchown(dir_fd_, uid, gid) != 0) throw_fs("chown", dir_, errno);
  std::uint64_t sum = 0;
  for (fs::directory_iterator it(dir_), end; it != end; ++it) {
    const fs::path& p = it->path();
    const std::string name = p.filename().string();
    struct stat st;
    if (::fstatat(dir_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) throw_fs("stat", p, errno);
    if (S_ISLNK(st.st_mode)) {
      // Counted through the link, but an owner is never changed through one:
      // the run-as user could point it anywhere.
      if (::fstatat(dir_fd_, name.c_str(), &st, 0) != 0) throw_fs("stat", p, errno);
      if (S_ISREG(st.st_mode)) sum += static_cast<std::uint64_t>(st.st_size);
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    if (st.st_nlink > 1 && st.st_uid != uid) {
      // A second name may be a file outside the spool: as dangerous as a
      // symbolic link, so left alone as the privilege service does.
      OV_LOG(warning, "Message directory: chown " << p.string() << ": " << std::strerror(EMLINK));
    } else if (st.st_uid != uid || st.st_gid != gid) {
      if (::fchownat(dir_fd_, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) != 0) throw_fs("chown", p, errno);
    }
    sum += static_cast<std::uint64_t>(st.st_size);
  }
  total_bytes_ = sum;
}

void message_dir_t::write_all(int fd, const char* data, std::uint64_t size, const fs::path& p) {
  std::uint64_t done = 0;
  while (done < size) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, max_chunk));
    const ssize_t n = ops_->write(fd, data + done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_fs("write", p, errno);
    }
    if (n == 0) throw_fs("write", p, EIO);  // would loop forever
    done += static_cast<std::uint64_t>(n);
  }
}

void message_dir_t::sync_dir() {
  // EINVAL: the file system cannot sync directories; nothing more to do.
  if (ops_->fsync(dir_fd_) != 0 && errno != EINVAL) throw_fs("fsync", dir_, errno);
}

void message_dir_t::check_space(std::uint64_t size) const {
  struct statvfs fs_stat;
  if (::fstatvfs(dir_fd_, &fs_stat) != 0) throw_fs("statvfs", dir_, errno);
  const std::uint64_t unit = fs_stat.f_frsize ? fs_stat.f_frsize : fs_stat.f_bsize;
  const std::uint64_t total = static_cast<std::uint64_t>(fs_stat.f_blocks) * unit;
  const std::uint64_t free = static_cast<std::uint64_t>(fs_stat.f_bavail) * unit;
  // A sparse source may state any size.
  const std::uint64_t reserve = space_reserve(total);
  if (free < reserve || free - reserve < size) throw std::system_error(ENOSPC, std::system_category());
}

void message_dir_t::put(const std::string& name, const shared_file_t& source) {
  if (auto error = write_group({{name, &source}}).front()) std::rethrow_exception(error);
}

std::vector<std::exception_ptr> message_dir_t::write_group(file_list_t files,
                                                           const std::function<void(file_list_t&)>& grow) {
  std::vector<std::exception_ptr> errors;
  std::vector<int> fds;
  auto drop = [&](std::size_t i) {
    errors[i] = std::current_exception();
    if (fds[i] >= 0) ::close(fds[i]);
    if (fds[i] != -1) ::unlinkat(dir_fd_, files[i].first.c_str(), 0);
    fds[i] = -1;
  };
  // All files are written first, then synced together. Each fdatasync costs
  // a flush of the device even right behind another one; one syncfs makes
  // the whole group and its names durable with a single flush.
  for (std::size_t i = 0; i < files.size(); ++i) {
    errors.emplace_back();
    fds.push_back(-1);
    try {
      if (files[i].second) {
        fds[i] = write_file(files[i].first, *files[i].second);
      } else {
        remove(files[i].first);
      }
    } catch (...) {
      drop(i);
    }
    if (grow) grow(files);
  }
  const bool whole_fs = sync_whole_fs_ && std::count_if(fds.begin(), fds.end(), [](int fd) { return fd >= 0; }) > 1;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (fds[i] < 0) continue;
    try {
      const fs::path p = dir_ / files[i].first;
      // The record that will name this file is durable once committed; the
      // file must be durable before that.
      if (!whole_fs && ops_->fdatasync(fds[i]) != 0) throw_fs("fdatasync", p, errno);
      const int closed = ::close(fds[i]);
      fds[i] = -2;  // closed, still to be unlinked on failure
      if (closed != 0 && errno != EINTR) throw_fs("close", p, errno);
    } catch (...) {
      drop(i);
    }
  }
  bool any = false;
  for (int fd : fds) any = any || fd == -2;
  if (!any) return errors;
  try {
    // syncfs reports a write error anywhere on the file system since the
    // directory was opened: the whole group fails rather than guess.
    if (!whole_fs) {
      sync_dir();
    } else if (ops_->syncfs(dir_fd_) != 0) {
      throw_fs("syncfs", dir_, errno);
    }
  } catch (...) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (fds[i] == -2) drop(i);
    }
    return errors;
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (fds[i] == -2) total_bytes_ += files[i].second->size;
  }
  return errors;
}

int message_dir_t::write_file(const std::string& name, const shared_file_t& source) {
  const fs::path p = file_path(name, "open");

  // The stated size may be wrong: reading a shared mapping past the end of
  // the file would kill the process with SIGBUS.
  struct stat st;
  if (::fstat(source.fd, &st) != 0) throw_system(errno, "fstat");
  if (!S_ISREG(st.st_mode)) throw_system(EINVAL, "Message source is not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) < source.size) {
    std::ostringstream text;
    text << "Message source is shorter than its stated size (" << st.st_size << " of " << source.size << " bytes)";
    throw_system(EINVAL, text.str());
  }

  check_space(source.size);
  mapping_t map(source.fd, static_cast<std::size_t>(source.size));

  int fd;
  do {
    fd = ::openat(dir_fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw_fs("open", p, errno);
  try {
    write_all(fd, map.data(), source.size, p);
  } catch (...) {
    ::close(fd);
    ::unlinkat(dir_fd_, name.c_str(), 0);
    throw;
  }
  return fd;
}

shared_file_t message_dir_t::get(const std::string& name) const {
  const fs::path p = file_path(name, "open");
  int fd;
  // The reader's reads leave the access time alone where the file is ours:
  // a first read after the write would otherwise cost a journal update.
  // Gets run on the event loop: a pipe planted in the directory must not
  // block the open, nor a link lead out of it.
  int flags = O_RDONLY | O_CLOEXEC | O_NOATIME | O_NOFOLLOW | O_NONBLOCK;
  do {
    fd = ::openat(dir_fd_, name.c_str(), flags);
    if (fd < 0 && errno == EPERM && (flags & O_NOATIME)) {
      flags &= ~O_NOATIME;
      errno = EINTR;
    }
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw_fs("open", p, errno);
  shared_file_t file(fd, 0);
  struct stat st;
  if (::fstat(fd, &st) != 0) throw_fs("stat", p, errno);
  if (!S_ISREG(st.st_mode)) throw_fs("open", p, EINVAL);
  if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) throw_fs("fcntl", p, errno);
  file.size = static_cast<std::uint64_t>(st.st_size);
  return file;
}

void message_dir_t::remove(const std::string& name) {
  const fs::path p = file_path(name, "stat");
  struct stat st;
  if (::fstatat(dir_fd_, name.c_str(), &st, 0) != 0) {
    if (errno == ENOENT) return;
    throw_fs("stat", p, errno);
  }
  if (::unlinkat(dir_fd_, name.c_str(), 0) != 0) {
    if (errno == ENOENT) return;
    throw_fs("remove", p, errno);
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > total_bytes_) {
    total_bytes_ = 0;
    OV_LOG(warning, "Message directory: unexpected file size");
  } else {
    total_bytes_ -= size;
  }
}

message_dir_t::listing_t::~listing_t() {
  if (dir_) ::closedir(dir_);
}

std::vector<async_message_dir_t::dir_entry_t> message_dir_t::list(listing_t& listing, std::size_t limit) {
  std::vector<async_message_dir_t::dir_entry_t> entries;
  if (listing.ended_) return entries;
  if (!listing.dir_) {
    if (dir_fd_ < 0) throw_fs("open", dir_, EBADF);
    // Its own descriptor: the listing's offset is not the directory's.
    const int fd = ::openat(dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw_fs("open", dir_, errno);
    listing.dir_ = ::fdopendir(fd);
    if (!listing.dir_) {
      const int error = errno;
      ::close(fd);
      throw_fs("opendir", dir_, error);
    }
  }
  entries.reserve(limit);
  while (entries.size() < limit) {
    errno = 0;
    const dirent* d = ::readdir(listing.dir_);
    if (!d) {
      if (errno != 0) throw_fs("readdir", dir_, errno);
      listing.ended_ = true;
      break;
    }
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    bool regular = d->d_type == DT_REG;
    if (d->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dir_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Removed since it was listed.
        if (errno != ENOENT) log_warning(fs::filesystem_error("lstat", dir_ / name, sys_error(errno)));
        continue;
      }
      regular = S_ISREG(st.st_mode);
    }
    if (!regular) OV_LOG(warning, "Message directory: found non-regular file: \"" << name << "\"");
    entries.push_back({name, regular});
  }
  return entries;
}

void message_dir_t::settle_orphan_files(const std::vector<std::string>& names, bool fix,
                                        async_message_dir_t::health_stat_t& stat) {
  if (dir_fd_ < 0) throw_fs("open", dir_, EBADF);
  for (const auto& name : names) {
    struct stat st;
    if (::fstatat(dir_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) log_warning(fs::filesystem_error("lstat", dir_ / name, sys_error(errno)));
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    ++stat.orphaned_files;
    stat.orphaned_bytes += size;
    if (!fix) continue;
    try {
      remove(name);
      ++stat.removed_files;
      stat.removed_bytes += size;
    } catch (const std::exception& e) {
      log_warning(e);
    }
  }
}

}  // namespace mq::store
