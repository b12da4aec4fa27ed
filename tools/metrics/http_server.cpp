#include "metrics/http_server.h"

#include <memory>
#include <stdexcept>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "metrics/exposition.h"
#include "metrics/http_request.h"

namespace mq::metrics {

namespace {

using tcp = boost::asio::ip::tcp;

class exchange_t : public std::enable_shared_from_this<exchange_t> {
 public:
  exchange_t(tcp::socket socket, const http_server_t::handler_t& handler)
      : socket_(std::move(socket)), timer_(socket_.get_executor()), handler_(handler) {}

  void start(std::chrono::milliseconds limit) {
    timer_.expires_after(limit);
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
      if (!error) self->close();
    });
    read();
  }

 private:
  void read() {
    socket_.async_read_some(boost::asio::buffer(chunk_),
                            [self = shared_from_this()](const boost::system::error_code& error, std::size_t n) {
                              if (error) return self->close();
                              self->request_.append(self->chunk_, n);
                              self->on_read();
                            });
  }

  void on_read() {
    const auto end = request_.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (request_.size() >= http_server_t::max_request) return reply("431 Request Header Fields Too Large", "");
      return read();
    }
    if (end + 4 > http_server_t::max_request) return reply("431 Request Header Fields Too Large", "");
    const std::string status = http_status_for(request_.substr(0, end));
    if (status == "405 Method Not Allowed") return reply(status, "", "Allow: GET\r\n");
    if (status != "200 OK") return reply(status, "");
    handler_([self = shared_from_this()](const std::string& body) {
      self->reply("200 OK", body, std::string("Content-Type: ") + content_type + "\r\n");
    });
  }

  void reply(const std::string& status, const std::string& body, const std::string& headers = "") {
    if (replied_) return;
    replied_ = true;
    response_ = "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body;
    boost::asio::async_write(socket_, boost::asio::buffer(response_),
                             [self = shared_from_this()](const boost::system::error_code&, std::size_t) {
                               boost::system::error_code ignored;
                               self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
                               self->close();
                             });
  }

  void close() {
    boost::system::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
  }

  tcp::socket socket_;
  boost::asio::steady_timer timer_;
  http_server_t::handler_t handler_;
  char chunk_[1024];
  std::string request_;
  std::string response_;
  bool replied_ = false;
};

}  // namespace

tcp::endpoint http_server_t::parse_address(const std::string& address) {
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

http_server_t::http_server_t(boost::asio::io_context& io, const std::string& address, handler_t handler,
                             std::chrono::milliseconds time_limit)
    : acceptor_(io), pause_(io), handler_(std::move(handler)), time_limit_(time_limit) {
  const tcp::endpoint at = parse_address(address);
  acceptor_.open(at.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(at);
  acceptor_.listen();
  accept_next();
}

void http_server_t::accept_next() {
  acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (error == boost::asio::error::operation_aborted) return;
    if (!error) {
      std::make_shared<exchange_t>(std::move(socket), handler_)->start(time_limit_);
      return accept_next();
    }
    // Accepting again at once would fail again at once.
    pause_.expires_after(std::chrono::milliseconds(100));
    pause_.async_wait([this](const boost::system::error_code& e) {
      if (!e) accept_next();
    });
  });
}

}  // namespace mq::metrics
