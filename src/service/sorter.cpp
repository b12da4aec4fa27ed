#include "service/sorter.h"

#include <utility>

#include "ov/logger.h"

namespace mq::service {

sorter_t::client_entry_t::client_entry_t(mq::sorter::tie_t::socket_t socket, mq::store::store_t* store)
    : store_entry_t(std::move(socket), store) {
  tie_.notify_store_state(store->path());
}

// GCC 12 with sanitizers sees an uninitialized optional inside the signal's
// connect; it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
boost::signals2::connection sorter_t::client_entry_t::subscribe_to_queue_change(
    mq::sorter::tie_t::queue_change_callback_t callback) {
  return store_->queue_changed().connect(std::move(callback));
}
#pragma GCC diagnostic pop

void sorter_t::client_entry_t::get_queue_chunk(mq::store::queue_chunk_request_t request,
                                               completion_t<std::vector<mq::store::queue_key_t>> completion) {
  store_->get_queue_chunk(request, std::move(completion));
}

void sorter_t::client_entry_t::get_entry(std::int64_t id, completion_t<mq::store::entry_t> completion) {
  store_->get_entry(id, std::move(completion), this);
}

void sorter_t::client_entry_t::run_large(std::function<void()> job, std::function<void()> done) {
  store_->run_large(this, std::move(job), std::move(done));
}

void sorter_t::client_entry_t::put_entry(mq::store::entry_t entry, completion_t<std::uint64_t> completion) {
  store_->put_entry(std::move(entry), std::move(completion));
}

void sorter_t::client_entry_t::update_entry(std::int64_t id, mq::store::entry_metadata_update_t update,
                                            boost::optional<mq::store::shared_file_t> file,
                                            completion_t<mq::util::none_t> completion) {
  // A status change is a move: one notice line per entry, the audit trail
  // of what operators did (other updates are the Sorter's daily work).
  boost::optional<mq::store::status_t> moved_to = update.status;
  store_->update_entry(
      id, std::move(update), std::move(file),
      [id, moved_to, peer = peer_, completion = std::move(completion)](mq::util::result_t<mq::util::none_t> r) {
        if (moved_to && mq::util::has_value(r))
          OV_LOG(notice,
                 "Sorter: moved entry " << id << " to " << mq::store::status_log_name(*moved_to) << " (" << peer << ")");
        completion(std::move(r));
      });
}

void sorter_t::client_entry_t::remove_entry(std::int64_t id, completion_t<mq::util::none_t> completion) {
  store_->remove_entry(id,
                       [id, peer = peer_, completion = std::move(completion)](mq::util::result_t<mq::util::none_t> r) {
                         if (mq::util::has_value(r))
                           OV_LOG(notice, "Sorter: removed entry " << id << " (" << peer << ")");
                         completion(std::move(r));
                       });
}

sorter_t::sorter_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_t* store,
                   mq::util::connection_counter_t* stats)
    : socket_service_t(
          io, stats, [config] { return config->sorter_socket_path(); },
          [store](socket_t socket) { return std::make_unique<client_entry_t>(std::move(socket), store); }) {}

}  // namespace mq::service
