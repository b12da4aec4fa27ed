#include "http/server.h"

#include <array>
#include <stdexcept>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

namespace mq::http {

namespace beast = boost::beast;
using tcp = boost::asio::ip::tcp;

std::unique_ptr<parser_t> make_parser(const limits_t& limits) {
  auto parser = std::make_unique<parser_t>();
  parser->header_limit(static_cast<std::uint32_t>(limits.max_header));
  parser->body_limit(limits.max_body);
  return parser;
}

beast::http::status status_for(const beast::error_code& error) {
  if (error == beast::http::error::header_limit) return beast::http::status::request_header_fields_too_large;
  if (error == beast::http::error::body_limit) return beast::http::status::payload_too_large;
  return beast::http::status::bad_request;
}

class server_t::exchange_t : public std::enable_shared_from_this<exchange_t> {
 public:
  exchange_t(tcp::socket socket, server_t* server)
      : socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        server_(server),
        alive_(server->alive_),
        parser_(make_parser(server->limits_)) {}

  void start(std::list<std::weak_ptr<exchange_t>>::iterator at) {
    at_ = at;
    timer_.expires_after(server_->limits_.deadline);
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
      if (!error) self->close();
    });
    beast::http::async_read(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](const beast::error_code& error, std::size_t) { self->on_read(error); });
  }

  // Whether it may give way to a new connection: it has sent nothing whole.
  bool waiting() const { return !answering_ && !closed_; }

  void close() {
    if (closed_) return;
    closed_ = true;
    gone_->store(true, std::memory_order_relaxed);
    boost::system::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
    if (!alive_.expired()) server_->open_.erase(at_);
  }

 private:
  void on_read(const beast::error_code& error) {
    if (closed_) return;
    answering_ = true;
    if (error == beast::http::error::end_of_stream || error == boost::asio::error::eof ||
        error == boost::asio::error::operation_aborted || error == boost::asio::error::connection_reset)
      return close();
    if (error) {
      response_t r{status_for(error), 11};
      r.set(beast::http::field::content_type, "text/plain");
      r.body() = std::string(beast::http::obsolete_reason(r.result())) + "\n";
      return reply(std::move(r));
    }
    boost::system::error_code e;
    const endpoint_t peer = socket_.remote_endpoint(e);
    auto executor = socket_.get_executor();
    if (server_->limits_.watch_peer) watch();
    server_->handler_(parser_->release(), peer,
                      respond_t(
                          [self = shared_from_this(), executor](response_t r) {
                            boost::asio::post(executor,
                                              [self, r = std::move(r)]() mutable { self->reply(std::move(r)); });
                          },
                          gone_));
  }

  // Until the answer goes out, reads what the peer sends: its end of the
  // stream or a reset closes the exchange. A browser sends nothing more on
  // a connection it asked to close; bytes that come anyway are dropped, up
  // to a bound past which the watch stops (a peer that sends is there).
  void watch() {
    socket_.async_read_some(boost::asio::buffer(scratch_),
                            [self = shared_from_this()](const boost::system::error_code& error, std::size_t n) {
                              if (self->closed_ || self->replied_ || error == boost::asio::error::operation_aborted)
                                return;
                              if (error) return self->close();
                              self->dropped_ += n;
                              if (self->dropped_ < max_dropped) self->watch();
                            });
  }

  void reply(response_t r) {
    if (closed_ || replied_) return;
    replied_ = true;
    // Ends the watch; the write starts after it.
    boost::system::error_code ignored;
    socket_.cancel(ignored);
    response_ = std::move(r);
    for (const auto& [name, value] : server_->limits_.headers)
      if (response_.find(name) == response_.end()) response_.set(name, value);
    response_.keep_alive(false);
    response_.prepare_payload();
    beast::http::async_write(socket_, response_, [self = shared_from_this()](const beast::error_code&, std::size_t) {
      boost::system::error_code ignored;
      self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
      self->close();
    });
  }

  tcp::socket socket_;
  boost::asio::steady_timer timer_;
  server_t* server_;
  std::weak_ptr<bool> alive_;
  std::list<std::weak_ptr<exchange_t>>::iterator at_;
  beast::flat_buffer buffer_;
  std::unique_ptr<parser_t> parser_;
  response_t response_;
  bool answering_ = false, replied_ = false, closed_ = false;
  const std::shared_ptr<std::atomic<bool>> gone_ = std::make_shared<std::atomic<bool>>(false);
  static constexpr std::size_t max_dropped = std::size_t{64} * 1024;
  std::size_t dropped_ = 0;
  std::array<char, 512> scratch_{};
};

tcp::endpoint server_t::parse_address(const std::string& address) {
  const auto colon = address.rfind(':');
  std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  unsigned long number = 0;
  std::size_t used = 0;
  try {
    number = std::stoul(port, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  boost::system::error_code error;
  const auto ip = boost::asio::ip::make_address(host, error);
  if (host.empty() || error || port.empty() || used != port.size() || number > 65535)
    throw std::invalid_argument("not an address HOST:PORT with a numeric host: '" + address + "'");
  return {ip, static_cast<unsigned short>(number)};
}

std::string server_t::url(const endpoint_t& at) {
  const std::string host = at.address().to_string();
  return "http://" + (at.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(at.port());
}

server_t::server_t(boost::asio::io_context& io, const std::string& address, handler_t handler, const limits_t& limits)
    : acceptor_(io), pause_(io), handler_(std::move(handler)), limits_(limits), alive_(std::make_shared<bool>(true)) {
  if (limits_.max_exchanges == 0) throw std::invalid_argument("an HTTP server needs room for one exchange");
  const tcp::endpoint at = parse_address(address);
  acceptor_.open(at.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(at);
  acceptor_.listen();
  accept_next();
}

server_t::~server_t() {  // NOLINT(bugprone-exception-escape): as declared
  alive_.reset();
  for (auto& w : open_)
    if (auto e = w.lock()) e->close();
}

void server_t::admit(tcp::socket socket) {
  if (open_.size() >= limits_.max_exchanges) {
    std::shared_ptr<exchange_t> oldest;
    for (auto& w : open_)
      if (auto e = w.lock(); e && e->waiting()) {
        oldest = e;
        break;
      }
    if (!oldest) return;  // every place is being answered: `socket` closes here
    oldest->close();
  }
  auto e = std::make_shared<exchange_t>(std::move(socket), this);
  open_.push_back(e);
  e->start(std::prev(open_.end()));
}

void server_t::accept_next() {
  acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (error == boost::asio::error::operation_aborted) return;
    if (!error) {
      admit(std::move(socket));
      return accept_next();
    }
    // Accepting again at once would fail again at once.
    pause_.expires_after(std::chrono::milliseconds(100));
    pause_.async_wait([this](const boost::system::error_code& e) {
      if (!e) accept_next();
    });
  });
}

}  // namespace mq::http
