#pragma once

#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "net/connection.h"
#include "net/local_acceptor.h"
#include "util/service.h"

namespace mq::net {

// Counts the open connections of the servers (the statistics).
class connection_counter_t {
 public:
  virtual void add_client() = 0;
  virtual void remove_client() = 0;

 protected:
  ~connection_counter_t() = default;
};

// Listens on a socket path and owns the sessions it accepts, in accept
// order. Event-loop thread only.
class server_t : public local_acceptor_t::delegate_t, public mq::util::service_t {
 public:
  using socket_t = local_acceptor_t::protocol_t::socket;
  // The socket path of the configuration now in force.
  using path_t = std::function<std::string()>;
  // The session of an accepted connection, which starts reading at once.
  using make_session_t = std::function<std::unique_ptr<connection_t>(socket_t socket)>;

  server_t(boost::asio::io_context& io, connection_counter_t* counter, path_t path, make_session_t make_session);
  // Stops listening (the socket file stays), then closes every connection;
  // the counter is not told.
  ~server_t() override;

  // Listens on the path (ENAMETOOLONG beyond 107 bytes); the same path
  // again changes nothing, another one keeps the existing connections.
  void configure() override;

  // Stops accepting and reading; each connection closes once its requests
  // in progress are answered, and `drained` runs on the loop when none is
  // left.
  void drain(std::function<void()> drained);
  // After drain(), past its limit: see connection_t::abandon().
  void abandon();

  void on_client_accepted(socket_t socket) override;
  // Accept errors leave the event loop (the daemon exits with their code).
  void on_accept_error(std::exception_ptr error) override;

 private:
  using sessions_t = std::list<std::unique_ptr<connection_t>>;

  void remove(sessions_t::iterator element);

  boost::asio::io_context& io_;
  connection_counter_t* counter_;
  path_t path_;
  make_session_t make_session_;
  sessions_t sessions_;
  std::function<void()> drained_;
  local_acceptor_t acceptor_;
};

}  // namespace mq::net
