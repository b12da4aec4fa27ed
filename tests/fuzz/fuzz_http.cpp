// Input: bytes as a peer sends them to the HTTP layer of mq-web and of the
// metrics endpoint: a request read by the same parser with the same
// limits, then the request's query string, form body and cookie as mq-web
// decodes them, and its Host and Origin as mq-web checks them.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/buffer.hpp>

#include "http/server.h"
#include "web/escape.h"
#include "web/form.h"
#include "web/hosts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const mq::http::limits_t limits{64, 8192, 16384, {}, {}};  // exchanges, head, body
  auto parser = mq::http::make_parser(limits);
  boost::beast::error_code error;
  // Header first, then the body as it comes; a parser wanting more than is left stops.
  for (std::size_t at = 0, n = 1; at < size && n > 0 && !error && !parser->is_done(); at += n) {
    n = parser->put(boost::asio::buffer(data + at, size - at), error);
    if (error == boost::beast::http::error::need_more) error = {};
  }
  if (error) (void)mq::http::status_for(error);
  if (error || !parser->is_done()) return 0;
  const auto& request = parser->get();
  if (request.body().size() > limits.max_body) __builtin_trap();
  const std::string target(request.target());
  const mq::web::form_t query(
      target.substr(target.find('?') == std::string::npos ? target.size() : target.find('?') + 1));
  const mq::web::form_t form(request.body());
  for (const auto& [name, values] : form.fields())
    for (const auto& v : values) {
      // What is written into a page never carries markup of its own.
      const std::string shown = mq::web::html(v);
      if (shown.find_first_of("<>\"'") != std::string::npos) __builtin_trap();
      if (mq::web::url_decode(mq::web::url_component(v)) != v) __builtin_trap();
    }
  (void)mq::web::cookie_value(std::string(request[boost::beast::http::field::cookie]), "mq_session");
  static const mq::web::hosts_t hosts(9468, "127.0.0.1:9468", {"mail.example.org"});
  const auto host = request[boost::beast::http::field::host];
  // Only the names given, whatever the case.
  if (hosts.allows(host) && host.size() > 22) __builtin_trap();
  (void)hosts.allows_post(request[boost::beast::http::field::origin], true, request["Sec-Fetch-Site"]);
  return 0;
}
