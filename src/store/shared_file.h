#pragma once

#include <unistd.h>

#include <cstdint>
#include <utility>

namespace mq::store {

// An open, readable descriptor of a message file plus its size. Move-only;
// closes the descriptor when dropped.
struct shared_file_t {
  int fd = -1;
  std::uint64_t size = 0;

  shared_file_t() = default;
  shared_file_t(int fd, std::uint64_t size) : fd(fd), size(size) {}
  shared_file_t(shared_file_t&& o) noexcept : fd(std::exchange(o.fd, -1)), size(o.size) {}
  shared_file_t& operator=(shared_file_t&& o) noexcept {
    if (this != &o) {
      reset();
      fd = std::exchange(o.fd, -1);
      size = o.size;
    }
    return *this;
  }
  shared_file_t(const shared_file_t&) = delete;
  shared_file_t& operator=(const shared_file_t&) = delete;
  ~shared_file_t() { reset(); }

  explicit operator bool() const { return fd >= 0; }

  int release() { return std::exchange(fd, -1); }

  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

}  // namespace mq::store
