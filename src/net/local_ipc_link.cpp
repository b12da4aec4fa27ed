#include "net/local_ipc_link.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "net/scm_rights.h"

namespace mq::net {

namespace {

constexpr std::size_t no_bound = static_cast<std::size_t>(-1);

// Frames handed over in one go before other work on the loop gets a turn.
constexpr int frames_per_turn = 16;

boost::system::error_code errno_code(int e) { return boost::system::error_code(e, boost::system::system_category()); }

}  // namespace

const local_ipc_link_t::flow_limits_t local_ipc_link_t::unbounded = {no_bound, no_bound, no_bound,
                                                                     no_bound, no_bound, no_bound};

local_ipc_link_t::local_ipc_link_t(socket_t socket, delegate_t* delegate)
    : socket_(std::move(socket)),
      delegate_(delegate),
      read_buffer_(new std::uint8_t[initial_read_capacity]),
      read_capacity_(initial_read_capacity) {
  socket_.non_blocking(true);
  // The first read runs from the event loop, never inside the constructor:
  // the owner must hold the link before the delegate can hear of a frame
  // or of a peer that has already gone.
  begin_read(sizeof(std::uint32_t), 0);
  boost::asio::post(socket_.get_executor(), wrap([this] { pump_read(); }));
}

local_ipc_link_t::~local_ipc_link_t() {
  cancel();
  if (received_fd_ >= 0) ::close(received_fd_);
  // The queue (with its descriptors), the buffer and the socket go with the
  // members; completions still pending find the flag raised.
}

void local_ipc_link_t::send(std::unique_ptr<std::uint8_t[]> data, std::uint32_t size, mq::util::unique_fd_t fd) {
  enqueue(std::move(data), size, std::move(fd), 0);
}

void local_ipc_link_t::send_latest(std::uint32_t kind, std::unique_ptr<std::uint8_t[]> data, std::uint32_t size) {
  if (!socket_.is_open()) return;
  for (auto it = write_queue_.begin(); it != write_queue_.end(); ++it) {
    // Only the length item carries the kind; nothing of the frame written yet.
    if (it->kind != kind) continue;
    if (it == write_queue_.begin() && write_done_ > 0) continue;
    auto body = std::next(it);
    queued_bytes_ -= body->size;
    queued_bytes_ += size;
    std::memcpy(it->data.get(), &size, sizeof(size));
    body->data = std::move(data);
    body->size = size;
    return;
  }
  enqueue(std::move(data), size, mq::util::unique_fd_t(), kind);
}

void local_ipc_link_t::enqueue(std::unique_ptr<std::uint8_t[]> data, std::uint32_t size, mq::util::unique_fd_t fd,
                               std::uint32_t kind) {
  // A failed link writes nothing more; the frame and its descriptor are dropped.
  if (!socket_.is_open()) return;
  std::unique_ptr<std::uint8_t[]> length(new std::uint8_t[sizeof(size)]);
  std::memcpy(length.get(), &size, sizeof(size));
  queued_bytes_ += sizeof(size) + std::size_t{size};
  if (fd) ++queued_fds_;
  write_queue_.push_back(write_item_t{std::move(length), sizeof(size), mq::util::unique_fd_t(), kind});
  write_queue_.push_back(write_item_t{std::move(data), size, std::move(fd), 0});
  if (write_queue_.size() == 2) write_next();
}

// ---- backpressure --------------------------------------------------------

void local_ipc_link_t::set_flow_limits(const flow_limits_t& limits) {
  limits_ = limits;
  maybe_resume();
}

void local_ipc_link_t::request_started() { ++requests_; }

void local_ipc_link_t::request_finished() {
  if (requests_ > 0) --requests_;
  maybe_resume();
}

void local_ipc_link_t::resume_reading() {
  if (holds_ > 0) --holds_;
  maybe_resume();
}

std::unique_ptr<std::uint8_t[]> local_ipc_link_t::take_frame() {
  std::unique_ptr<std::uint8_t[]> frame = std::move(read_buffer_);
  read_buffer_.reset(new std::uint8_t[initial_read_capacity]);
  read_capacity_ = initial_read_capacity;
  return frame;
}

void local_ipc_link_t::release_bytes(std::size_t n) {
  reserved_bytes_ -= std::min(n, reserved_bytes_);
  maybe_resume();
}

std::size_t local_ipc_link_t::room() const {
  const std::size_t used = queued_bytes_ + reserved_bytes_;
  return used < limits_.high_bytes ? limits_.high_bytes - used : 0;
}

bool local_ipc_link_t::over_high() const {
  return holds_ > 0 || requests_ >= limits_.high_requests || queued_bytes_ + reserved_bytes_ >= limits_.high_bytes ||
         queued_fds_ >= limits_.high_fds;
}

void local_ipc_link_t::stop_reading() { stopped_ = true; }

void local_ipc_link_t::maybe_resume() {
  if (!paused_ || !socket_.is_open() || stopped_ || holds_ > 0) return;
  if (requests_ > limits_.low_requests || queued_bytes_ + reserved_bytes_ > limits_.low_bytes ||
      queued_fds_ > limits_.low_fds)
    return;
  paused_ = false;
  // Never inside the caller: it may be in the middle of a frame or a write.
  boost::asio::post(socket_.get_executor(), wrap([this] { pump_read(); }));
}

// ---- reading -------------------------------------------------------------

void local_ipc_link_t::begin_read(std::uint32_t size, unsigned max_fds) {
  read_size_ = size;
  read_done_ = 0;
  read_max_fds_ = max_fds;
  read_fds_ = 0;
}

void local_ipc_link_t::pump_read() {
  // The flag of this generation: the delegate may fail or destroy the link
  // inside on_message, after which only this copy may be looked at.
  const std::shared_ptr<bool> held = flag();
  for (int frames = 0;;) {
    if (stopped_) return;
    // Only between frames: a frame started is read to its end.
    if (!reading_body_ && read_done_ == 0 && over_high()) {
      paused_ = true;
      return;
    }
    boost::system::error_code ec;
    if (!recv_exact(ec)) {
      if (ec) {
        fail_system(ec, "read failed");
        return;
      }
      socket_.async_wait(socket_t::wait_read, wrap([this](const boost::system::error_code& wait_error) {
                           if (wait_error) {
                             fail_system(wait_error, "read failed");
                           } else {
                             pump_read();
                           }
                         }));
      return;
    }

    if (!reading_body_) {
      std::uint32_t size;
      std::memcpy(&size, read_buffer_.get(), sizeof(size));
      if (size - 1u > max_frame_size - 1u) {
        fail(std::make_exception_ptr(std::runtime_error("invalid message size received")));
        return;
      }
      if (read_capacity_ < size) {
        read_buffer_.reset(new std::uint8_t[size]);
        read_capacity_ = size;
      }
      reading_body_ = true;
      begin_read(size, 1);
      continue;
    }

    mq::util::unique_fd_t fd;
    if (received_fd_ >= 0) fd = mq::util::unique_fd_t(std::exchange(received_fd_, -1));
    const std::uint32_t size = read_size_;
    reading_body_ = false;
    begin_read(sizeof(std::uint32_t), 0);
    delegate_->on_message(read_buffer_.get(), size, std::move(fd));
    if (*held) return;
    // One outsize frame must not pin its buffer for the life of the link.
    if (read_capacity_ > keep_read_capacity) {
      read_buffer_.reset(new std::uint8_t[initial_read_capacity]);
      read_capacity_ = initial_read_capacity;
    }
    if (++frames == frames_per_turn) {
      boost::asio::post(socket_.get_executor(), wrap([this] { pump_read(); }));
      return;
    }
  }
}

bool local_ipc_link_t::recv_exact(boost::system::error_code& ec) {
  // A large frame is read over several turns, so that other connections
  // are served between its pieces.
  std::uint32_t this_turn = 0;
  while (read_done_ < read_size_) {
    if (this_turn >= max_read_per_turn) return false;
    iovec iov{read_buffer_.get() + read_done_, read_size_ - read_done_};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    // Room for exactly the descriptors still allowed: anything beyond that
    // is cut by the kernel and reported as MSG_CTRUNC.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    const unsigned allowed = read_max_fds_ - read_fds_;
    if (allowed > 0) {
      msg.msg_control = control;
      msg.msg_controllen = CMSG_SPACE(sizeof(int) * allowed);
    }
    const ssize_t n = ::recvmsg(socket_.native_handle(), &msg, MSG_NOSIGNAL | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
      ec = errno_code(errno);
      return false;
    }

    bool got_fd = false;
    if (allowed > 0) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        got_fd = got_fd || count > 0;
        if (ec || read_fds_ + count > read_max_fds_) {
          close_fds(c, count);
          ec = errno_code(EMSGSIZE);
          continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
          int fd;
          std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
          if (received_fd_ >= 0) ::close(received_fd_);
          received_fd_ = fd;
          ++read_fds_;
        }
      }
    }
    if (msg.msg_flags & MSG_CTRUNC) ec = errno_code(EMSGSIZE);
    if (ec) return false;
    if (n == 0) {
      if (got_fd) continue;
      ec = boost::asio::error::eof;
      return false;
    }
    read_done_ += static_cast<std::uint32_t>(n);
    this_turn += static_cast<std::uint32_t>(n);
  }
  return true;
}

// ---- writing -------------------------------------------------------------

void local_ipc_link_t::write_next() {
  write_done_ = 0;
  write_fd_sent_ = false;
  // Always through the loop, so that on_written never runs inside send();
  // posted rather than waited for, since the socket is nearly always
  // writable and a wait costs a re-arm of the socket and a turn of the
  // reactor.
  boost::asio::post(socket_.get_executor(), wrap([this] { pump_write({}); }));
}

void local_ipc_link_t::pump_write(const boost::system::error_code& wait_error) {
  if (wait_error) {
    fail_system(wait_error, "write failed");
    return;
  }
  while (!write_queue_.empty()) {
    write_item_t& item = write_queue_.front();
    while (write_done_ < item.size) {
      iovec iov{item.data.get() + write_done_, item.size - write_done_};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      fd_control_t control;
      const bool attach = item.fd.present() && !write_fd_sent_;
      if (attach) attach_fd(msg, control, item.fd.get());
      const ssize_t n = ::sendmsg(socket_.native_handle(), &msg, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          socket_.async_wait(socket_t::wait_write, wrap([this](const boost::system::error_code& e) { pump_write(e); }));
          maybe_resume();
          return;
        }
        fail_system(errno_code(errno), "write failed");
        return;
      }
      if (attach) write_fd_sent_ = true;
      write_done_ += static_cast<std::uint32_t>(n);
    }
    pop_written();
  }
  maybe_resume();
  delegate_->on_written();
}

void local_ipc_link_t::pop_written() {
  write_item_t& item = write_queue_.front();
  queued_bytes_ -= item.size;
  if (item.fd) --queued_fds_;
  write_queue_.pop_front();
  write_done_ = 0;
  write_fd_sent_ = false;
}

// ---- failure -------------------------------------------------------------

void local_ipc_link_t::fail_system(const boost::system::error_code& ec, const char* prefix) {
  fail(std::make_exception_ptr(boost::system::system_error(ec, prefix)));
}

void local_ipc_link_t::fail(std::exception_ptr error) {
  if (socket_.is_open()) {
    boost::system::error_code ec;
    socket_.close(ec);
    if (ec) throw boost::system::system_error(ec, "close");
  }
  write_queue_.clear();
  queued_bytes_ = 0;
  queued_fds_ = 0;
  read_buffer_.reset();
  read_capacity_ = 0;
  if (received_fd_ >= 0) ::close(received_fd_);
  received_fd_ = -1;
  cancel();
  delegate_->on_error(std::move(error));
}

}  // namespace mq::net
