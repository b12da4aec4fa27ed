#pragma once

#include <chrono>
#include <exception>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "util/callback_wrapper.h"

namespace mq::net {

// A listening local stream socket bound to a path; hands every accepted
// connection to its delegate. An accept that fails for want of descriptors
// or memory is tried again after a short pause and logged at most once a
// second, with the number of failures not logged; any other accept error
// goes to the delegate and ends accepting. Event-loop thread only.
class local_acceptor_t : public mq::util::callback_wrapper_t {
 public:
  using protocol_t = boost::asio::local::stream_protocol;

  class delegate_t {
   public:
    virtual void on_client_accepted(protocol_t::socket socket) = 0;
    virtual void on_accept_error(std::exception_ptr error) = 0;

   protected:
    ~delegate_t() = default;
  };

  local_acceptor_t(boost::asio::io_context& io, delegate_t* delegate);
  ~local_acceptor_t();

  // Listens on `endpoint`; the same path again changes nothing, another
  // path moves the listening socket (the old socket file stays).
  void listen(const protocol_t::endpoint& endpoint);

  // Stops accepting; the socket file stays. A later listen opens again.
  void close();

  bool is_open() const { return open_; }

 private:
  void accept_next();
  void on_accepted(const boost::system::error_code& ec, protocol_t::socket peer);
  void report_exhausted(const boost::system::error_code& ec);

  boost::asio::io_context& io_;
  delegate_t* delegate_;
  bool open_ = false;
  protocol_t::acceptor acceptor_;
  // Path listened on, for log lines.
  std::string path_;
  // Pause before accepting again when descriptors or memory ran out.
  boost::asio::steady_timer retry_timer_;
  // Rate limit of the log line about exhausted resources.
  std::chrono::steady_clock::time_point last_report_;
  bool reported_ = false;
  unsigned long unreported_ = 0;
};

// Endpoint for a socket path; throws ENAMETOOLONG beyond 107 bytes.
local_acceptor_t::protocol_t::endpoint make_local_endpoint(const std::string& path);

}  // namespace mq::net
