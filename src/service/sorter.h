#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "mail_quarantine_config.pb.h"
#include "net/server.h"
#include "service/store_entry.h"
#include "sorter/tie.h"

namespace mq::service {

// Listens on the Sorter socket and owns the Sorter connections, answering
// their requests from the store.
class sorter_t : public mq::net::socket_service_t {
 public:
  // Adapter between one connection and the store.
  class client_entry_t : public store_entry_t<mq::sorter::tie_t> {
   public:
    // Greets with the store path: the first message on every connection.
    client_entry_t(mq::sorter::tie_t::socket_t socket, mq::store::store_t* store);

    boost::signals2::connection subscribe_to_queue_change(mq::sorter::tie_t::queue_change_callback_t callback) override;
    void get_queue_chunk(mq::store::queue_chunk_request_t request,
                         completion_t<std::vector<mq::store::queue_key_t>> completion) override;
    void get_entry(std::int64_t id, completion_t<mq::store::entry_t> completion) override;
    void put_entry(mq::store::entry_t entry, completion_t<std::uint64_t> completion) override;
    void update_entry(std::int64_t id, mq::store::entry_metadata_update_t update,
                      boost::optional<mq::store::shared_file_t> file,
                      completion_t<mq::util::none_t> completion) override;
    void remove_entry(std::int64_t id, completion_t<mq::util::none_t> completion) override;
    void run_large(std::function<void()> job, std::function<void()> done) override;
  };

  sorter_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_t* store,
           mq::net::connection_counter_t* stats);
};

}  // namespace mq::service
