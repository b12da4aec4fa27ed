#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "client/tie.h"
#include "mail_quarantine_config.pb.h"
#include "net/server.h"
#include "service/store_entry.h"

namespace mq::service {

// Listens on the client socket and owns the management-client connections,
// answering their requests from the store.
class client_t : public mq::net::socket_service_t {
 public:
  // Adapter between one connection and the store.
  class client_entry_t : public store_entry_t<mq::client::tie_t> {
   public:
    using store_entry_t::store_entry_t;
    ~client_entry_t() override;

    void get_queue_stat(completion_t<mq::store::queue_stats_t> completion) override;
    void get_queue_chunk(mq::store::queue_chunk_request_t request,
                         completion_t<std::vector<mq::store::entry_brief_t>> completion) override;
    void flush_queue(mq::store::status_t status, completion_t<std::string> completion) override;
    void check_health(bool fix, completion_t<std::string> completion) override;

   private:
    // Lowered as the connection goes: its reads not started never run.
    std::shared_ptr<std::atomic<bool>> open_ = std::make_shared<std::atomic<bool>>(true);
  };

  client_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_t* store,
           mq::net::connection_counter_t* stats);
};

}  // namespace mq::service
