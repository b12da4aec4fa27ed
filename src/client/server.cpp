#include "client/server.h"

#include <memory>
#include <utility>

#include "client/session.h"

namespace mq::client {

server_t::server_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config, mq::store::store_port_t* store,
                   mq::net::connection_counter_t* counter)
    : mq::net::server_t(
          io, counter, [config] { return config->client_socket_path(); },
          [store](socket_t socket) { return std::make_unique<session_t>(std::move(socket), store); }) {}

}  // namespace mq::client
