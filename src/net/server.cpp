#include "net/server.h"

#include <utility>

#include <boost/asio/post.hpp>

namespace mq::net {

server_t::server_t(boost::asio::io_context& io, connection_counter_t* counter, path_t path, make_session_t make_session)
    : io_(io), counter_(counter), path_(std::move(path)), make_session_(std::move(make_session)), acceptor_(io, this) {}

// Members go in reverse order: the acceptor closes before the connections.
server_t::~server_t() = default;

void server_t::configure() { acceptor_.listen(make_local_endpoint(path_())); }

void server_t::on_client_accepted(socket_t socket) {
  auto element = sessions_.insert(sessions_.end(), nullptr);
  counter_->add_client();
  try {
    *element = make_session_(std::move(socket));
  } catch (...) {
    remove(element);
    throw;
  }
  (*element)->on_end([this, element] { remove(element); });
}

void server_t::drain(std::function<void()> drained) {
  acceptor_.close();
  drained_ = std::move(drained);
  // A session may end inside its drain: only its own element goes.
  for (auto it = sessions_.begin(); it != sessions_.end();) (*it++)->drain();
  if (drained_ && sessions_.empty()) boost::asio::post(io_, std::exchange(drained_, nullptr));
}

void server_t::abandon() {
  for (auto it = sessions_.begin(); it != sessions_.end();) (*it++)->abandon();
}

void server_t::on_accept_error(std::exception_ptr error) { std::rethrow_exception(error); }

void server_t::remove(sessions_t::iterator element) {
  std::unique_ptr<connection_t> session = std::move(*element);
  sessions_.erase(element);
  session.reset();
  counter_->remove_client();
  if (drained_ && sessions_.empty()) boost::asio::post(io_, std::exchange(drained_, nullptr));
}

}  // namespace mq::net
