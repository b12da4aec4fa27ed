#include "net/server.h"

#include <utility>

#include <boost/asio/post.hpp>

namespace mq::net {

void connection_entry_t::disconnect() {
  // The callable destroys this entry: keep it on the stack while it runs.
  auto on_disconnect = std::move(on_disconnect_);
  on_disconnect();
}

socket_service_t::socket_service_t(boost::asio::io_context& io, connection_counter_t* counter, path_t path,
                                   make_entry_t make_entry)
    : io_(io), counter_(counter), path_(std::move(path)), make_entry_(std::move(make_entry)), acceptor_(io, this) {}

// Members go in reverse order: the acceptor closes before the connections.
socket_service_t::~socket_service_t() = default;

void socket_service_t::configure() { acceptor_.listen(make_local_endpoint(path_())); }

void socket_service_t::on_client_accepted(socket_t socket) {
  auto element = connections_.insert(connections_.end(), nullptr);
  counter_->add_client();
  try {
    *element = make_entry_(std::move(socket));
  } catch (...) {
    remove(element);
    throw;
  }
  (*element)->on_disconnect_ = [this, element] { remove(element); };
}

void socket_service_t::drain(std::function<void()> drained) {
  acceptor_.close();
  drained_ = std::move(drained);
  // An entry may disconnect inside its drain: only its own element goes.
  for (auto it = connections_.begin(); it != connections_.end();) (*it++)->drain();
  if (drained_ && connections_.empty()) boost::asio::post(io_, std::exchange(drained_, nullptr));
}

void socket_service_t::abandon() {
  for (auto it = connections_.begin(); it != connections_.end();) (*it++)->abandon();
}

void socket_service_t::on_accept_error(std::exception_ptr error) { std::rethrow_exception(error); }

void socket_service_t::remove(connections_t::iterator element) {
  std::unique_ptr<connection_entry_t> entry = std::move(*element);
  connections_.erase(element);
  entry.reset();
  counter_->remove_client();
  if (drained_ && connections_.empty()) boost::asio::post(io_, std::exchange(drained_, nullptr));
}

}  // namespace mq::net
