#pragma once

#include <boost/asio/io_context.hpp>

#include "mail_quarantine_config.pb.h"
#include "net/server.h"
#include "store/port.h"

namespace mq::client {

// Listens on the management-client socket and owns a session per connection.
class server_t : public mq::net::server_t {
 public:
  server_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_port_t* store,
           mq::net::connection_counter_t* counter);
};

}  // namespace mq::client
