#include "held_open.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mq::test {

held_open_t::held_open_t(const std::string& path) {
  const int fd = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY);
  if (fd < 0) {
    reason_ = std::string("fanotify_init: ") + std::strerror(errno);
    return;
  }
  fanotify_ = mq::util::unique_fd_t(fd);
  if (::fanotify_mark(fd, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, path.c_str()) != 0)
    reason_ = std::string("fanotify_mark: ") + std::strerror(errno);
}

held_open_t::~held_open_t() {
  if (usable()) allow();
}

bool held_open_t::wait_open(std::chrono::milliseconds limit) {
  pollfd p{fanotify_.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
  fanotify_event_metadata event{};
  if (::read(fanotify_.get(), &event, sizeof event) != static_cast<ssize_t>(sizeof event)) return false;
  event_ = mq::util::unique_fd_t(event.fd);
  return true;
}

void held_open_t::allow() {
  // Later opens pass unasked.
  ::fanotify_mark(fanotify_.get(), FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
  if (!event_) return;
  fanotify_response response{event_.get(), FAN_ALLOW};
  if (::write(fanotify_.get(), &response, sizeof response) < 0) throw_errno("fanotify response");
  event_.reset();
}

}  // namespace mq::test
