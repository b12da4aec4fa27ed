#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace mq::http {

using request_t = boost::beast::http::request<boost::beast::http::string_body>;
using response_t = boost::beast::http::response<boost::beast::http::string_body>;
using parser_t = boost::beast::http::request_parser<boost::beast::http::string_body>;

struct limits_t {
  // Exchanges open at once. At the cap a new connection takes the place of
  // the oldest one that has not sent its request yet, or is closed at once
  // when every open one is being answered: silent connections can never
  // keep a scraper out.
  std::size_t max_exchanges = 64;
  std::size_t max_header = 8192;
  std::size_t max_body = 0;
  // From the accept to the last byte of the answer.
  std::chrono::milliseconds deadline{10000};
  // Set on every answer that has not set them itself, the server's own
  // 400/413/431 included.
  std::vector<std::pair<std::string, std::string>> headers;
  // Whether to read the socket while the handler runs, so that its end
  // or a reset closes the exchange and `respond.gone()` tells. A peer that
  // only shuts down its sending side then counts as gone too.
  bool watch_peer = false;
};

// A parser with the limits set, as the server reads requests with it.
std::unique_ptr<parser_t> make_parser(const limits_t& limits);

// The status a request that could not be read gets, for the parser's
// error: 431, 413 or 400.
boost::beast::http::status status_for(const boost::beast::error_code& error);

// A small HTTP/1.1 server: one request per connection, read by Beast with
// the limits of `limits_t`; each request goes to the handler on the loop,
// which answers through `respond` once, at once or later, from any thread.
// With `watch_peer`, when the peer closes its socket while the handler
// works, the exchange closes and `respond.gone()` turns true.
class server_t {
 public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;

  // Answers one request, once, from any thread; and tells whether its
  // peer is still there, so that long work for it can stop.
  class respond_t {
   public:
    respond_t(std::function<void(response_t)> send, std::shared_ptr<const std::atomic<bool>> gone)
        : send_(std::move(send)), gone_(std::move(gone)) {}
    void operator()(response_t r) const { send_(std::move(r)); }
    // The peer closed or reset its connection (or the exchange's deadline
    // passed) after sending the request: the answer would reach nobody.
    // Bytes it sends meanwhile do not count.
    bool gone() const { return gone_ && gone_->load(std::memory_order_relaxed); }

   private:
    std::function<void(response_t)> send_;
    std::shared_ptr<const std::atomic<bool>> gone_;
  };
  using handler_t = std::function<void(request_t request, const endpoint_t& peer, respond_t respond)>;

  // `address` is HOST:PORT (an IPv6 host in brackets); throws
  // std::invalid_argument when it is not one, std::system_error when it
  // cannot be bound.
  server_t(boost::asio::io_context& io, const std::string& address, handler_t handler, const limits_t& limits);
  ~server_t();  // NOLINT(bugprone-exception-escape): only a timer's cancel could throw, and it never fails

  endpoint_t endpoint() const { return acceptor_.local_endpoint(); }

  static endpoint_t parse_address(const std::string& address);
  // "http://HOST:PORT" (an IPv6 host in brackets), for the log.
  static std::string url(const endpoint_t& at);

  class exchange_t;

 private:
  void accept_next();
  void admit(boost::asio::ip::tcp::socket socket);

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;  // after a failed accept (out of descriptors)
  handler_t handler_;
  limits_t limits_;
  // Oldest first; an exchange leaves the list when it closes.
  std::list<std::weak_ptr<exchange_t>> open_;
  std::shared_ptr<bool> alive_;
};

}  // namespace mq::http
