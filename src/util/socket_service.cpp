#include "util/connection_owner.h"

#include <utility>

namespace mq::util {

void connection_entry_t::disconnect() {
  // The callable destroys this entry: keep it on the stack while it runs.
  auto on_disconnect = std::move(on_disconnect_);
  on_disconnect();
}

connection_owner_t::connection_owner_t(boost::asio::io_context& io, connection_counter_t* counter)
    : counter_(counter), acceptor_(io, this) {}

// Members go in reverse order: the acceptor closes before the connections.
connection_owner_t::~connection_owner_t() = default;

void connection_owner_t::listen(const std::string& path) { acceptor_.listen(make_local_endpoint(path)); }

void connection_owner_t::on_client_accepted(socket_t socket) {
  auto element = connections_.insert(connections_.end(), nullptr);
  ++count_;
  counter_->add_client();
  try {
    *element = make_entry(std::move(socket));
  } catch (...) {
    remove(element);
    throw;
  }
  (*element)->on_disconnect_ = [this, element] { remove(element); };
}

void connection_owner_t::on_accept_error(std::exception_ptr error) { std::rethrow_exception(error); }

void connection_owner_t::remove(connections_t::iterator element) {
  --count_;
  std::unique_ptr<connection_entry_t> entry = std::move(*element);
  connections_.erase(element);
  entry.reset();
  counter_->remove_client();
}

}  // namespace mq::util
