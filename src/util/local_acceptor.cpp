#include "util/local_acceptor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>

#include <boost/asio/error.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "ov/logger.h"

namespace mq::util {

namespace {

constexpr int listen_backlog = 128;
constexpr std::chrono::milliseconds exhausted_pause(100);

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

void local_acceptor_t::listen(const protocol_t::endpoint& endpoint) {
  if (open_) {
    boost::system::error_code ec;
    const protocol_t::endpoint current = acceptor_.local_endpoint(ec);
    if (ec) throw boost::system::system_error(ec, "local_endpoint");
    if (current.path() == endpoint.path()) return;
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
  // No unlink first and no address reuse: an existing file makes bind fail.
  fresh.bind(endpoint, ec);
  if (ec) throw boost::system::system_error(ec, "Cannot bind to " + path);
  // Every local user may connect, whatever the umask.
  if (::chmod(path.c_str(), 0666) != 0)
    throw boost::filesystem::filesystem_error("chmod", path,
                                              boost::system::error_code(errno, boost::system::system_category()));
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
    OV_LOG(error, "Cannot accept a connection on " << path_ << ": " << ec.message() << "; accepting again in "
                                                   << exhausted_pause.count() << " ms");
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
  set_cloexec(peer.native_handle());
  const std::shared_ptr<bool> held = flag();
  delegate_->on_client_accepted(std::move(peer));
  // The delegate may have destroyed or re-pointed the acceptor.
  if (*held) return;
  accept_next();
}

}  // namespace mq::util
