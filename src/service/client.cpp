#include "service/client.h"

#include <utility>

#include "ov/logger.h"

namespace mq::service {

client_t::client_entry_t::~client_entry_t() { *open_ = false; }

void client_t::client_entry_t::get_queue_stat(completion_t<mq::store::queue_stats_t> completion) {
  store_->get_queue_stat(std::move(completion), open_);
}

void client_t::client_entry_t::get_queue_chunk(mq::store::queue_chunk_request_t request,
                                               completion_t<std::vector<mq::store::entry_brief_t>> completion) {
  store_->get_queue_chunk_brief(request, std::move(completion), open_);
}

void client_t::client_entry_t::flush_queue(mq::store::status_t status, completion_t<std::string> completion) {
  // One notice line per flush: the entries it made due are announced to the
  // Sorter, so the count is what the audit trail needs.
  store_->flush_queue(
      status, [status, peer = peer_, completion = std::move(completion)](mq::util::result_t<std::string> r) {
        if (mq::util::has_value(r))
          OV_LOG(notice, "Client: flush of the " << mq::store::status_log_name(status)
                                                 << " queue: " << boost::get<std::string>(r) << " (" << peer << ")");
        completion(std::move(r));
      });
}

void client_t::client_entry_t::check_health(bool fix, completion_t<std::string> completion) {
  store_->check_health(fix, std::move(completion));
}

client_t::client_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_t* store,
                   mq::util::connection_counter_t* stats)
    : socket_service_t(
          io, stats, [config] { return config->client_socket_path(); },
          [store](socket_t socket) { return std::make_unique<client_entry_t>(std::move(socket), store); }) {}

}  // namespace mq::service
