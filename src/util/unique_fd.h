#pragma once

#include <unistd.h>

#include <utility>

namespace mq::util {

// An optional owned file descriptor; 0 is one like any other (a daemon
// without standard input receives descriptors by that number).
class unique_fd_t {
 public:
  unique_fd_t() = default;
  explicit unique_fd_t(int fd) : present_(true), fd_(fd) {}
  unique_fd_t(unique_fd_t&& o) noexcept : present_(o.present_), fd_(o.fd_) {
    o.present_ = false;
    o.fd_ = -1;
  }
  unique_fd_t& operator=(unique_fd_t&& o) noexcept {
    if (this != &o) {
      reset();
      present_ = std::exchange(o.present_, false);
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  unique_fd_t(const unique_fd_t&) = delete;
  unique_fd_t& operator=(const unique_fd_t&) = delete;
  ~unique_fd_t() { reset(); }

  bool present() const { return present_; }
  explicit operator bool() const { return present_; }
  int get() const { return present_ ? fd_ : -1; }

  // Gives up ownership without closing.
  int release() {
    int fd = get();
    present_ = false;
    fd_ = -1;
    return fd;
  }

  void reset() {
    if (present_ && fd_ >= 0) ::close(fd_);
    present_ = false;
    fd_ = -1;
  }

 private:
  bool present_ = false;
  int fd_ = -1;
};

}  // namespace mq::util
