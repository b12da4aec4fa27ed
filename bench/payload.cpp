#include "payload.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace mq::bench {

payload_t::payload_t(std::uint64_t size, std::uint32_t seed) : bytes_(size, '\0') {
  // Mail-like text: printable lines, varied enough to defeat trivial compression.
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::uint64_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes_[i] = (i % 77 == 76) ? '\n' : static_cast<char>(' ' + (x >> 24) % 95);
  }
  int fd = ::memfd_create("mq-bench-payload", MFD_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
  fd_ = mq::util::unique_fd_t(fd);
  size_t done = 0;
  while (done < bytes_.size()) {
    ssize_t n = ::write(fd, bytes_.data() + done, bytes_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write payload");
    }
    done += static_cast<size_t>(n);
  }
}

void read_whole(int fd, std::string& out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw std::system_error(errno, std::generic_category(), "fstat");
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "pread");
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
}

std::string session_id_for(std::uint64_t n) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "B%010llu", static_cast<unsigned long long>(n));
  return buf;
}

}  // namespace mq::bench
