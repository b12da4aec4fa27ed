#include "reload_request.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "util/unique_fd.h"

namespace mq::overseer_tool {

namespace {

// Whether the process's SigBlk or SigCgt mask holds SIGHUP; false when its
// status cannot be read.
bool handles_hangup(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::uint64_t mask = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SigBlk:", 0) != 0 && line.rfind("SigCgt:", 0) != 0) continue;
    mask |= std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
  }
  return mask & (std::uint64_t{1} << (SIGHUP - 1));
}

}  // namespace

void request_reload(pid_t pid, std::chrono::milliseconds limit) {
  // Through a descriptor of the process, so that the signal cannot reach
  // another one that took its number after it ended.
  const util::unique_fd_t process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (process.get() < 0) throw std::system_error(errno, std::generic_category(), "process " + std::to_string(pid));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (handles_hangup(pid)) break;
    if (std::chrono::steady_clock::now() >= deadline)
      throw std::runtime_error("process " + std::to_string(pid) + " does not handle SIGHUP yet: not signalled");
    // Readable once the process has ended.
    pollfd p{process.get(), POLLIN, 0};
    if (::poll(&p, 1, 5) > 0)
      throw std::runtime_error("process " + std::to_string(pid) + " ended before it could reload");
  }
  if (::syscall(SYS_pidfd_send_signal, process.get(), SIGHUP, nullptr, 0) != 0)
    throw std::system_error(errno, std::generic_category(), "SIGHUP to process " + std::to_string(pid));
}

}  // namespace mq::overseer_tool
