#include "net/local_acceptor.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "ov/logger.h"

namespace mq::net {

namespace {

constexpr int listen_backlog = 128;
constexpr std::chrono::milliseconds exhausted_pause(100);
constexpr std::chrono::seconds report_interval(1);

// Accept failures that pass once descriptors or memory are freed again.
bool out_of_resources(const boost::system::error_code& ec) {
  if (ec.category() != boost::system::system_category()) return false;
  switch (ec.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

void set_cloexec(int fd) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
    throw boost::system::system_error(errno, boost::system::generic_category(), "fcntl");
}

[[noreturn]] void bind_failed(int error, const std::string& path) {
  throw boost::system::system_error(error, boost::system::system_category(), "Cannot bind to " + path);
}

// Binds `sock` to `path` with the socket file mode 0666, set on the very
// file bind created: the socket is bound inside a fresh private (0700)
// directory beside `path`, where nobody else can swap the file, given its
// mode there and then moved to `path` without replacing anything. An
// existing file at `path` (a stale socket included) fails as bind would.
void bind_with_mode(int sock, const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string private_dir = dir + "/.mq-bind-XXXXXX";
  if (::mkdtemp(private_dir.data()) == nullptr) bind_failed(errno, path);
  const int dir_fd = ::open(private_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  int error = dir_fd < 0 ? errno : 0;
  if (error == 0) {
    // Through the directory's descriptor when its name is too long for an
    // address.
    std::string name = private_dir + "/s";
    if (name.size() > 107) name = "/proc/self/fd/" + std::to_string(dir_fd) + "/s";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&address),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) != 0 ||
        ::fchmodat(dir_fd, "s", 0666, 0) != 0) {
      error = errno;
    } else if (::renameat2(dir_fd, "s", AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
      error = errno == EEXIST ? EADDRINUSE : errno;
    }
    ::unlinkat(dir_fd, "s", 0);
    ::close(dir_fd);
  }
  ::rmdir(private_dir.c_str());
  if (error != 0) bind_failed(error, path);
}

}  // namespace

local_acceptor_t::protocol_t::endpoint make_local_endpoint(const std::string& path) {
  // sun_path holds 108 bytes including the terminating zero.
  if (path.size() > 107) throw boost::system::system_error(ENAMETOOLONG, boost::system::system_category());
  return local_acceptor_t::protocol_t::endpoint(path);
}

local_acceptor_t::local_acceptor_t(boost::asio::io_context& io, delegate_t* delegate)
    : io_(io), delegate_(delegate), acceptor_(io), retry_timer_(io) {}

local_acceptor_t::~local_acceptor_t() {
  cancel();
  boost::system::error_code ignored;
  if (open_) acceptor_.close(ignored);
  // The socket file stays on disk.
}

void local_acceptor_t::close() {
  cancel();
  retry_timer_.cancel();
  boost::system::error_code ignored;
  if (open_) acceptor_.close(ignored);
  open_ = false;
}

void local_acceptor_t::listen(const protocol_t::endpoint& endpoint) {
  if (open_) {
    // The socket's own address names the private directory it was bound in.
    if (path_ == endpoint.path()) return;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    open_ = false;
  }
  // Silences the accept (or the pause) still pending on the old socket.
  cancel();
  retry_timer_.cancel();

  const std::string path = endpoint.path();
  protocol_t::acceptor fresh(io_);
  boost::system::error_code ec;
  fresh.open(endpoint.protocol(), ec);
  if (ec) throw boost::system::system_error(ec, "Cannot open stream acceptor");
  set_cloexec(fresh.native_handle());
  // No unlink first and no address reuse: an existing file makes bind
  // fail. Every local user may connect, whatever the umask.
  bind_with_mode(fresh.native_handle(), path);
  fresh.listen(listen_backlog, ec);
  if (ec) throw boost::system::system_error(ec, "listen");

  acceptor_ = std::move(fresh);
  path_ = path;
  open_ = true;
  accept_next();
}

void local_acceptor_t::accept_next() {
  acceptor_.async_accept(
      wrap([this](const boost::system::error_code& ec, protocol_t::socket peer) { on_accepted(ec, std::move(peer)); }));
}

void local_acceptor_t::on_accepted(const boost::system::error_code& ec, protocol_t::socket peer) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (out_of_resources(ec)) {
    // A burst of connections must not end the daemon: the connection stays
    // in the backlog and is taken once descriptors are free again.
    report_exhausted(ec);
    retry_timer_.expires_after(exhausted_pause);
    retry_timer_.async_wait(wrap([this](const boost::system::error_code& wait_error) {
      if (!wait_error) accept_next();
    }));
    return;
  }
  if (ec) {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    open_ = false;
    cancel();
    delegate_->on_accept_error(std::make_exception_ptr(boost::system::system_error(ec, "accept")));
    return;
  }
  if (unreported_ > 0) {
    OV_LOG(error,
           "Cannot accept a connection on " << path_ << ": " << unreported_ << " more failures before accepting again");
    unreported_ = 0;
  }
  set_cloexec(peer.native_handle());
  const std::shared_ptr<bool> held = flag();
  delegate_->on_client_accepted(std::move(peer));
  // The delegate may have destroyed or re-pointed the acceptor.
  if (*held) return;
  accept_next();
}

void local_acceptor_t::report_exhausted(const boost::system::error_code& ec) {
  const auto now = std::chrono::steady_clock::now();
  if (reported_ && now - last_report_ < report_interval) {
    ++unreported_;
    return;
  }
  OV_LOG(error, "Cannot accept a connection on "
                    << path_ << ": " << ec.message() << "; accepting again in " << exhausted_pause.count() << " ms"
                    << (unreported_ > 0 ? "; " + std::to_string(unreported_) + " more failures since the last report"
                                        : std::string()));
  reported_ = true;
  last_report_ = now;
  unreported_ = 0;
}

}  // namespace mq::net
