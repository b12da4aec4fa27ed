#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace mq::metrics {

// A minimal HTTP/1.x endpoint for scrapers: GET /metrics only, one request
// per connection, a request head of at most `max_request` bytes that must
// arrive within `time_limit`. Anything else gets 404, 405 or 431, or the
// connection is closed.
class http_server_t {
 public:
  using respond_t = std::function<void(const std::string& body)>;
  // Called on the loop for each GET /metrics; answers through `respond`,
  // at once or later, at most once.
  using handler_t = std::function<void(respond_t respond)>;

  static constexpr std::size_t max_request = 8192;

  // `address` is HOST:PORT (an IPv6 host in brackets); throws
  // std::invalid_argument when it is not one, std::system_error when it
  // cannot be bound.
  http_server_t(boost::asio::io_context& io, const std::string& address, handler_t handler,
                std::chrono::milliseconds time_limit = std::chrono::seconds(10));

  boost::asio::ip::tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }

  static boost::asio::ip::tcp::endpoint parse_address(const std::string& address);

 private:
  void accept_next();

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;  // after a failed accept (out of descriptors)
  handler_t handler_;
  std::chrono::milliseconds time_limit_;
};

}  // namespace mq::metrics
