#pragma once

#include <chrono>
#include <string>

#include "common.h"
#include "util/unique_fd.h"

namespace mq::test {

// An on-access scanner's grip on one file: every open of it waits until
// allow(). Needs CAP_SYS_ADMIN; `reason` says why it is not usable.
class held_open_t {
 public:
  explicit held_open_t(const std::string& path);
  ~held_open_t();

  bool usable() const { return reason_.empty(); }
  const std::string& reason() const { return reason_; }
  // True once an open of the file waits for its verdict.
  bool wait_open(std::chrono::milliseconds limit = wait_limit());
  // Lets the waiting open (and every later one) through.
  void allow();

 private:
  mq::util::unique_fd_t fanotify_;
  mq::util::unique_fd_t event_;
  std::string reason_;
};

}  // namespace mq::test
