#pragma once

#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "net/local_acceptor.h"
#include "util/service.h"

namespace mq::net {

// Counts the open connections of the socket services (the statistics).
class connection_counter_t {
 public:
  virtual void add_client() = 0;
  virtual void remove_client() = 0;

 protected:
  ~connection_counter_t() = default;
};

// A service's entry for one connection.
class connection_entry_t {
 public:
  virtual ~connection_entry_t() = default;
  // Reads no further request; the entry disconnects (perhaps at once) once
  // the requests in progress are answered.
  virtual void drain() = 0;
  // Past the drain limit: requests whose work will never run no longer
  // count; the entry disconnects once its answers are written.
  virtual void abandon() = 0;

 protected:
  // Removes and destroys this entry: the last thing its caller does.
  void disconnect();

 private:
  friend class socket_service_t;
  std::function<void()> on_disconnect_;
};

// A service that listens on a socket path and owns the connections it
// accepts, in accept order. Event-loop thread only.
class socket_service_t : public local_acceptor_t::delegate_t, public mq::util::service_t {
 public:
  using socket_t = local_acceptor_t::protocol_t::socket;
  // The socket path of the configuration now in force.
  using path_t = std::function<std::string()>;
  // The entry for an accepted connection, which starts reading at once.
  using make_entry_t = std::function<std::unique_ptr<connection_entry_t>(socket_t socket)>;

  socket_service_t(boost::asio::io_context& io, connection_counter_t* counter, path_t path, make_entry_t make_entry);
  // Stops listening (the socket file stays), then closes every connection;
  // the counter is not told.
  ~socket_service_t() override;

  // Listens on the path (ENAMETOOLONG beyond 107 bytes); the same path
  // again changes nothing, another one keeps the existing connections.
  void configure() override;

  // Stops accepting and reading; each connection closes once its requests
  // in progress are answered, and `drained` runs on the loop when none is
  // left.
  void drain(std::function<void()> drained);
  // After drain(), past its limit: see connection_entry_t::abandon().
  void abandon();

  void on_client_accepted(socket_t socket) override;
  // Accept errors leave the event loop (the daemon exits with their code).
  void on_accept_error(std::exception_ptr error) override;

 private:
  using connections_t = std::list<std::unique_ptr<connection_entry_t>>;

  void remove(connections_t::iterator element);

  boost::asio::io_context& io_;
  connection_counter_t* counter_;
  path_t path_;
  make_entry_t make_entry_;
  connections_t connections_;
  std::function<void()> drained_;
  local_acceptor_t acceptor_;
};

}  // namespace mq::net
