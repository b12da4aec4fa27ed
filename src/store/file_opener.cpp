#include "store/file_opener.h"

#include <fcntl.h>
#include <liburing.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/exception.hpp>

#include "ov/logger.h"
#include "util/thread_name.h"
#include "util/thrown_by.h"
#include "util/unique_fd.h"

namespace mq::store {

namespace fs = boost::filesystem;

namespace {

// Opens in flight on the ring at once; more wait in the opener's backlog.
constexpr unsigned ring_entries = 64;
// Threads of the fallback: each open held by a scanner holds one; past this
// many, the next opens wait for one of them.
constexpr std::size_t max_threads = 16;

[[noreturn]] void throw_fs(const char* what, const fs::path& p, int err) {
  throw fs::filesystem_error(what, p, boost::system::error_code(err, boost::system::system_category()));
}

bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

}  // namespace

struct file_opener_t::request_t {
  std::string name;
  // O_NOATIME goes when the process may not use it on a file.
  int flags = O_RDONLY | O_CLOEXEC | O_NOATIME | O_NOFOLLOW | O_NONBLOCK;
  callback_t callback;
  std::uint64_t id = 0;
};

// Opens through io_uring: every openat is sent to the kernel's workers
// (IOSQE_ASYNC). An open tried inline first would run on the submitting
// thread, and a scanner's permission check would hold it there.
class file_opener_t::ring_t {
 public:
  // Throws std::system_error when this process cannot use io_uring.
  ring_t(boost::asio::io_context& io, file_opener_t* owner) : owner_(owner), event_(io) {
    if (const int rc = io_uring_queue_init(ring_entries, &ring_, 0); rc < 0)
      throw std::system_error(-rc, std::system_category());
    initialised_ = true;
    io_uring_probe* probe = io_uring_get_probe_ring(&ring_);
    const bool has_openat = probe && io_uring_opcode_supported(probe, IORING_OP_OPENAT);
    if (probe) io_uring_free_probe(probe);
    if (!has_openat) throw std::system_error(EOPNOTSUPP, std::system_category());
    const int efd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (efd < 0) throw std::system_error(errno, std::system_category());
    event_.assign(efd);
    if (const int rc = io_uring_register_eventfd(&ring_, efd); rc < 0)
      throw std::system_error(-rc, std::system_category());
  }

  ~ring_t() {
    *alive_ = false;
    if (!initialised_) return;
    // Opens that completed unseen would leave their descriptors behind.
    io_uring_cqe* cqe;
    while (io_uring_peek_cqe(&ring_, &cqe) == 0) {
      if (cqe->res >= 0) ::close(cqe->res);
      io_uring_cqe_seen(&ring_, cqe);
    }
    io_uring_queue_exit(&ring_);
  }

  void submit(std::uint64_t id, const std::string& name, int flags) {
    if (in_flight_ >= ring_entries) {
      backlog_.push_back(id);
      return;
    }
    io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
    io_uring_prep_openat(sqe, owner_->dir_fd_, name.c_str(), flags, 0);
    sqe->flags |= IOSQE_ASYNC;
    io_uring_sqe_set_data64(sqe, id);
    ++in_flight_;
    // The name is copied by the kernel here. A failed submit leaves the
    // entry queued for the next one.
    io_uring_submit(&ring_);
    arm();
  }

  std::size_t backlog_size() const { return backlog_.size(); }

 private:
  void arm() {
    if (armed_ || in_flight_ == 0) return;
    armed_ = true;
    event_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                      [this, alive = alive_](const boost::system::error_code& error) {
                        if (!*alive) return;
                        armed_ = false;
                        if (!error) reap();
                      });
  }

  void reap() {
    std::uint64_t count;
    while (::read(event_.native_handle(), &count, sizeof count) > 0) {
    }
    if (io_uring_sq_ready(&ring_) > 0) io_uring_submit(&ring_);
    const std::shared_ptr<bool> alive = alive_;
    io_uring_cqe* cqe;
    while (io_uring_peek_cqe(&ring_, &cqe) == 0) {
      const std::uint64_t id = io_uring_cqe_get_data64(cqe);
      const int result = cqe->res;
      io_uring_cqe_seen(&ring_, cqe);
      --in_flight_;
      // The caller's callback may end the opener.
      owner_->opened(id, result);
      if (!*alive) return;
      while (!backlog_.empty() && in_flight_ < ring_entries) {
        const std::uint64_t next = backlog_.front();
        backlog_.pop_front();
        owner_->resubmit(next);
        if (!*alive) return;
      }
    }
    arm();
  }

  file_opener_t* owner_;
  io_uring ring_{};
  bool initialised_ = false;
  boost::asio::posix::stream_descriptor event_;
  std::deque<std::uint64_t> backlog_;
  unsigned in_flight_ = 0;
  bool armed_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Opens on threads of the opener: one more starts whenever every thread
// is busy (held by a scanner, say), up to max_threads. Threads are never
// joined: one may wait for a scanner past the opener's end, holding only
// this object and its own copy of the directory.
class file_opener_t::threads_t : public std::enable_shared_from_this<threads_t> {
 public:
  threads_t(boost::asio::io_context& io, int dir_fd) : io_(io) {
    const int fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::system_category(), "dup");
    dir_fd_ = mq::util::unique_fd_t(fd);
  }

  // `done` runs on the event loop with the descriptor or minus errno,
  // unless stop() came first.
  void post(const std::string& name, int flags, std::function<void(mq::util::unique_fd_t, int)> done) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_) return;
    jobs_.push_back({name, flags, std::move(done)});
    if (idle_ == 0 && threads_ < max_threads) {
      ++threads_;
      std::thread([self = shared_from_this()] {
        mq::util::name_this_thread("mq-opener");
        self->loop();
      }).detach();
    } else {
      wakeup_.notify_one();
    }
  }

  void stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopped_ = true;
    jobs_.clear();
    wakeup_.notify_all();
  }

 private:
  struct job_t {
    std::string name;
    int flags;
    std::function<void(mq::util::unique_fd_t, int)> done;
  };

  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      wakeup_.wait(lock, [this] { return stopped_ || !jobs_.empty(); });
      --idle_;
      if (stopped_) break;
      job_t job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      const int fd = ::openat(dir_fd_.get(), job.name.c_str(), job.flags);
      const int result = fd >= 0 ? fd : -errno;
      mq::util::unique_fd_t owned = fd >= 0 ? mq::util::unique_fd_t(fd) : mq::util::unique_fd_t();
      lock.lock();
      // Never past stop(): the event loop may be gone by then.
      if (!stopped_) {
        boost::asio::post(io_, [done = std::move(job.done), owned = std::move(owned), result]() mutable {
          done(std::move(owned), result);
        });
      }
    }
    --threads_;
  }

  boost::asio::io_context& io_;
  mq::util::unique_fd_t dir_fd_;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  std::deque<job_t> jobs_;
  std::size_t idle_ = 0;
  std::size_t threads_ = 0;
  bool stopped_ = false;
};

file_opener_t::file_opener_t(boost::asio::io_context& io, const fs::path& dir, bool use_threads,
                             std::shared_ptr<mq::util::loop_standby_t> standby)
    : io_(io), dir_(dir), standby_(std::move(standby)) {
  dir_fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd_ < 0) throw_fs("open", dir_, errno);
  std::string unavailable = "switched off by MQ_OPEN_FILES_ON_THREAD";
  if (!use_threads) {
    try {
      ring_ = std::make_unique<ring_t>(io_, this);
      description_ = "Message files are opened through io_uring";
    } catch (const std::system_error& e) {
      ring_.reset();
      unavailable = e.code().message();
    }
  }
  if (!ring_) {
    description_ = "Message files are opened on a thread: io_uring is not available (" + unavailable + ")";
    threads_ = std::make_shared<threads_t>(io_, dir_fd_);
  }
  if (standby_) description_ += " once an open has waited; until then on the event loop, a standby thread serving";
}

file_opener_t::~file_opener_t() {
  *alive_ = false;
  ring_.reset();
  if (threads_) threads_->stop();
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

void file_opener_t::open(const std::string& name, callback_t callback) {
  if (!plain_name(name)) {
    // Names come from the database too: never one that leaves the directory.
    auto error = std::make_exception_ptr(
        fs::filesystem_error("open", dir_ / name, boost::system::error_code(EINVAL, boost::system::system_category())));
    boost::asio::post(io_, [alive = alive_, callback = std::move(callback), error]() {
      if (*alive) callback(error);
    });
    return;
  }
  auto request = std::make_unique<request_t>();
  request->name = name;
  request->callback = std::move(callback);
  request->id = ++last_id_;
  const std::uint64_t id = request->id;
  pending_.emplace(id, std::move(request));
  resubmit(id);
}

void file_opener_t::resubmit(std::uint64_t id) {
  if (standby_ && standby_->quick()) {
    boost::asio::post(io_, [this, alive = alive_, id] {
      if (*alive) open_here(id);
    });
    return;
  }
  send_off(id);
}

void file_opener_t::send_off(std::uint64_t id) {
  const request_t& request = *pending_.at(id);
  if (ring_) {
    ring_->submit(id, request.name, request.flags);
    return;
  }
  // The loop is kept running while a thread opens.
  if (!work_) work_.emplace(boost::asio::make_work_guard(io_));
  threads_->post(request.name, request.flags, [this, alive = alive_, id](mq::util::unique_fd_t fd, int result) {
    if (!*alive) return;  // the descriptor closes with `fd`
    fd.release();
    opened(id, result);
  });
}

void file_opener_t::open_here(std::uint64_t id) {
  const auto found = pending_.find(id);
  if (found == pending_.end()) return;
  // Not while the standby serves: it may be the one running this.
  if (!standby_->quick()) return send_off(id);
  // Nothing of this object is touched while the standby may serve: the
  // loop's work may end the opener meanwhile.
  const int dir_fd = dir_fd_;
  const std::string name = found->second->name;
  const int flags = found->second->flags;
  const auto start = std::chrono::steady_clock::now();
  int result = -1;
  // Kept until the loop is this thread's again: the last owner ends the
  // standby's thread, which must not be the one serving.
  const std::shared_ptr<mq::util::loop_standby_t> standby = standby_;
  standby->guard(
      [&] {
        const int fd = ::openat(dir_fd, name.c_str(), flags);
        result = fd >= 0 ? fd : -errno;
      },
      [&, alive = alive_](bool served) {
        if (!*alive) {
          if (result >= 0) ::close(result);
          return;
        }
        if (served) {
          const auto waited = std::chrono::steady_clock::now() - start;
          OV_LOG(notice, "Opening " << name << " waited "
                                    << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
                                    << " ms; opens go off the event loop for " << mq::util::loop_standby_t::rest.count()
                                    << " s");
        }
        opened(id, result);
      });
}

void file_opener_t::opened(std::uint64_t id, int result) {
  auto found = pending_.find(id);
  if (found == pending_.end()) {
    if (result >= 0) ::close(result);
    return;
  }
  request_t& request = *found->second;
  if ((result == -EPERM && (request.flags & O_NOATIME)) || result == -EINTR) {
    // Not our file (O_NOATIME is for owners only), or interrupted: again.
    request.flags &= ~O_NOATIME;
    resubmit(id);
    return;
  }
  std::unique_ptr<request_t> done = std::move(found->second);
  pending_.erase(found);
  if (pending_.empty()) work_.reset();

  const fs::path p = dir_ / done->name;
  shared_file_t file;
  const std::exception_ptr error = mq::util::thrown_by([&] {
    if (result < 0) throw_fs("open", p, -result);
    file = shared_file_t(result, 0);
    struct stat st;
    if (::fstat(file.fd, &st) != 0) throw_fs("stat", p, errno);
    if (!S_ISREG(st.st_mode)) throw_fs("open", p, EINVAL);
    // Readers of the descriptor expect blocking reads.
    if (::fcntl(file.fd, F_SETFL, done->flags & ~O_NONBLOCK) != 0) throw_fs("fcntl", p, errno);
    file.size = static_cast<std::uint64_t>(st.st_size);
  });
  if (error) file.reset();
  done->callback(mq::util::make_result(std::move(file), error));
}

}  // namespace mq::store
