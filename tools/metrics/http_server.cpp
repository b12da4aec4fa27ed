#include "metrics/http_server.h"

#include "metrics/exposition.h"

namespace mq::metrics {

namespace {

namespace bh = boost::beast::http;

http::limits_t limits_for(std::chrono::milliseconds time_limit) {
  http::limits_t limits;
  limits.deadline = time_limit;
  return limits;
}

http::response_t answer(bh::status status, unsigned version, std::string body = "") {
  http::response_t r{status, version};
  r.set(bh::field::content_type, body.empty() ? "text/plain" : content_type);
  r.body() = std::move(body);
  return r;
}

}  // namespace

http_server_t::http_server_t(boost::asio::io_context& io, const std::string& address, handler_t handler,
                             std::chrono::milliseconds time_limit)
    : server_(
          io, address,
          [handler = std::move(handler)](const http::request_t& request, const http::server_t::endpoint_t&,
                                         const http::server_t::respond_t& respond) {
            const auto target = request.target();
            const unsigned version = request.version();
            if (target.substr(0, target.find('?')) != "/metrics")
              return respond(answer(bh::status::not_found, version));
            if (request.method() != bh::verb::get) {
              auto r = answer(bh::status::method_not_allowed, version);
              r.set(bh::field::allow, "GET");
              return respond(std::move(r));
            }
            handler([respond, version](const std::string& body) { respond(answer(bh::status::ok, version, body)); });
          },
          limits_for(time_limit)) {}

}  // namespace mq::metrics
