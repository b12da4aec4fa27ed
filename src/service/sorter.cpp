#include "service/sorter.h"

#include <utility>

#include "service/appstat_reporter.h"

namespace mq::service {

sorter_t::client_entry_t::client_entry_t(mq::sorter::tie_t::socket_t socket, mq::store::store_t* store,
                                         std::function<void()> on_disconnect)
    : connection_(std::move(socket), this), store_(store), on_disconnect_(std::move(on_disconnect)) {}

// GCC 12 with sanitizers sees an uninitialized optional inside the signal's
// connect; it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
boost::signals2::connection sorter_t::client_entry_t::subscribe_to_queue_change(
    mq::sorter::tie_t::queue_change_callback_t callback) {
  return store_->queue_changed().connect(std::move(callback));
}
#pragma GCC diagnostic pop

void sorter_t::client_entry_t::get_queue_chunk(
    mq::store::queue_chunk_request_t request,
    mq::sorter::tie_t::completion_t<std::vector<mq::store::queue_key_t>> completion) {
  store_->get_queue_chunk(request, std::move(completion));
}

void sorter_t::client_entry_t::get_entry(std::int64_t id,
                                         mq::sorter::tie_t::completion_t<mq::store::entry_t> completion) {
  store_->get_entry(id, std::move(completion));
}

void sorter_t::client_entry_t::put_entry(mq::store::entry_t entry,
                                         mq::sorter::tie_t::completion_t<std::uint64_t> completion) {
  store_->put_entry(std::move(entry), std::move(completion));
}

void sorter_t::client_entry_t::update_entry(std::int64_t id, mq::store::entry_metadata_update_t update,
                                            boost::optional<mq::store::shared_file_t> file,
                                            mq::sorter::tie_t::completion_t<mq::util::none_t> completion) {
  store_->update_entry(id, std::move(update), std::move(file), std::move(completion));
}

void sorter_t::client_entry_t::remove_entry(std::int64_t id,
                                            mq::sorter::tie_t::completion_t<mq::util::none_t> completion) {
  store_->remove_entry(id, std::move(completion));
}

void sorter_t::client_entry_t::on_disconnected() {
  // The callable destroys this entry: keep it on the stack while it runs.
  auto on_disconnect = std::move(on_disconnect_);
  on_disconnect();
}

sorter_t::sorter_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_t* store,
                   mq::service::appstat_reporter_t* stats)
    : config_(config), store_(store), stats_(stats), acceptor_(io, this) {}

// Members go in reverse order: the acceptor closes before the connections.
sorter_t::~sorter_t() = default;

void sorter_t::configure() { acceptor_.listen(mq::util::make_local_endpoint(config_->sorter_socket_path())); }

void sorter_t::on_client_accepted(mq::util::local_acceptor_t::protocol_t::socket socket) {
  auto element = connections_.insert(connections_.end(), nullptr);
  ++count_;
  stats_->add_client();
  try {
    element->reset(new client_entry_t(std::move(socket), store_, [this, element] { remove(element); }));
  } catch (...) {
    remove(element);
    throw;
  }
  // The first message on every connection.
  (*element)->connection().notify_store_state(store_->path());
}

void sorter_t::on_accept_error(std::exception_ptr error) { std::rethrow_exception(error); }

void sorter_t::remove(connections_t::iterator element) {
  --count_;
  std::unique_ptr<client_entry_t> entry = std::move(*element);
  connections_.erase(element);
  entry.reset();
  stats_->remove_client();
}

}  // namespace mq::service
