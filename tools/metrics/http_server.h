#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "http/server.h"

namespace mq::metrics {

// The endpoint for scrapers: GET /metrics only (a query allowed), anything
// else gets 404 or 405; the limits of the HTTP layer hold (a request head
// of at most 8 KiB, no body, `time_limit` for the whole exchange, 64
// exchanges at once).
class http_server_t {
 public:
  using respond_t = std::function<void(const std::string& body)>;
  // Called on the loop for each GET /metrics; answers through `respond`,
  // at once or later, at most once.
  using handler_t = std::function<void(respond_t respond)>;

  // Throws as http::server_t does.
  http_server_t(boost::asio::io_context& io, const std::string& address, handler_t handler,
                std::chrono::milliseconds time_limit = std::chrono::seconds(10));

  http::server_t::endpoint_t endpoint() const { return server_.endpoint(); }

 private:
  http::server_t server_;
};

}  // namespace mq::metrics
