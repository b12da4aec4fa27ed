#include "service/client.h"

#include <utility>

#include "service/appstat_reporter.h"

namespace mq::service {

client_t::client_entry_t::client_entry_t(mq::client::tie_t::socket_t socket, mq::store::store_t* store,
                                         std::function<void()> on_disconnect)
    : connection_(std::move(socket), this), store_(store), on_disconnect_(std::move(on_disconnect)) {}

void client_t::client_entry_t::get_queue_stat(mq::client::tie_t::completion_t<mq::store::queue_stats_t> completion) {
  store_->get_queue_stat(std::move(completion));
}

void client_t::client_entry_t::get_queue_chunk(
    mq::store::queue_chunk_request_t request,
    mq::client::tie_t::completion_t<std::vector<mq::store::entry_brief_t>> completion) {
  store_->get_queue_chunk_brief(request, std::move(completion));
}

void client_t::client_entry_t::flush_queue(mq::store::status_t status,
                                           mq::client::tie_t::completion_t<std::string> completion) {
  store_->flush_queue(status, std::move(completion));
}

void client_t::client_entry_t::check_health(bool fix, mq::client::tie_t::completion_t<std::string> completion) {
  store_->check_health(fix, std::move(completion));
}

void client_t::client_entry_t::on_disconnected() {
  // The callable destroys this entry: keep it on the stack while it runs.
  auto on_disconnect = std::move(on_disconnect_);
  on_disconnect();
}

client_t::client_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_t* store,
                   mq::service::appstat_reporter_t* stats)
    : config_(config), store_(store), stats_(stats), acceptor_(io, this) {}

// Members go in reverse order: the acceptor closes before the connections.
client_t::~client_t() = default;

void client_t::configure() { acceptor_.listen(mq::util::make_local_endpoint(config_->client_socket_path())); }

void client_t::on_client_accepted(mq::util::local_acceptor_t::protocol_t::socket socket) {
  auto element = connections_.insert(connections_.end(), nullptr);
  ++count_;
  stats_->add_client();
  try {
    element->reset(new client_entry_t(std::move(socket), store_, [this, element] { remove(element); }));
  } catch (...) {
    remove(element);
    throw;
  }
}

void client_t::on_accept_error(std::exception_ptr error) { std::rethrow_exception(error); }

void client_t::remove(connections_t::iterator element) {
  --count_;
  std::unique_ptr<client_entry_t> entry = std::move(*element);
  connections_.erase(element);
  entry.reset();
  stats_->remove_client();
}

}  // namespace mq::service
