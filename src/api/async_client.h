#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "mail_quarantine_client_ipc.pb.h"
#include "net/local_ipc_link.h"
#include "util/result.h"

namespace mq::api {

// The client socket on an event loop: requests go out at once, as many as
// the caller likes, and each answer is delivered once, on the loop, to the
// callback of its request. Event-loop thread only.
class async_client_t final : private net::local_ipc_link_t::delegate_t,
                             public std::enable_shared_from_this<async_client_t> {
 public:
  using request_t = Client2MailQuarantineMessage;
  using response_t = MailQuarantine2ClientMessage;
  // The answer; an error answer comes as its typed error (daemon_error_t,
  // entry_not_found_t), a failed connection as connection_error_t.
  using callback_t = std::function<void(util::result_t<response_t>)>;

  // Connects to `path`; `connected` is called once on the loop, with no
  // error when requests may follow. Calls made before that wait for it.
  static std::shared_ptr<async_client_t> connect(boost::asio::io_context& io, const std::string& path,
                                                 std::function<void(std::exception_ptr)> connected);

  async_client_t(boost::asio::io_context& io, std::string path);
  ~async_client_t();

  // Sends `request` with a fresh serial.
  void call(request_t request, callback_t done);
  // Ends the connection; requests in flight get connection_error_t.
  void close();

 private:
  void begin(std::function<void(std::exception_ptr)> connected);
  void write(const request_t& request);
  void on_written() override {}
  void on_message(const std::uint8_t* data, std::uint32_t size, util::unique_fd_t fd) override;
  void on_error(std::exception_ptr error) override;
  void fail(const std::exception_ptr& error);

  boost::asio::io_context& io_;
  std::string path_;
  net::local_ipc_link_t::socket_t socket_;
  std::unique_ptr<net::local_ipc_link_t> link_;
  bool connected_ = false;
  bool failed_ = false;
  std::uint32_t serial_ = 0;
  std::map<std::uint32_t, std::pair<request_t, callback_t>> pending_;  // by serial; unsent until connected
};

}  // namespace mq::api
