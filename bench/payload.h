#pragma once

#include <cstdint>
#include <string>

#include "util/unique_fd.h"

namespace mq::bench {

// A message file of a given size held in an anonymous memory file, so that
// every put hands over a real descriptor without touching the disk.
class payload_t {
 public:
  explicit payload_t(std::uint64_t size, std::uint32_t seed = 1);

  int fd() const { return fd_.get(); }
  std::uint64_t size() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  mq::util::unique_fd_t fd_;
};

// Reads the whole file behind `fd` from offset 0 into `out`.
void read_whole(int fd, std::string& out);

// A session id that makes each put's file name distinct and readable.
std::string session_id_for(std::uint64_t n);

}  // namespace mq::bench
