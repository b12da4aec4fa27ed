#include "api/async_client.h"

#include <boost/asio/post.hpp>

#include "api/error.h"

namespace mq::api {

std::shared_ptr<async_client_t> async_client_t::connect(boost::asio::io_context& io, const std::string& path,
                                                        std::function<void(std::exception_ptr)> connected) {
  auto client = std::make_shared<async_client_t>(io, path);
  client->begin(std::move(connected));
  return client;
}

async_client_t::async_client_t(boost::asio::io_context& io, std::string path)
    : io_(io), path_(std::move(path)), socket_(io) {}

async_client_t::~async_client_t() = default;

void async_client_t::begin(std::function<void(std::exception_ptr)> connected) {
  auto self = shared_from_this();
  boost::asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = boost::asio::local::stream_protocol::endpoint(path_);
  } catch (const std::exception& e) {  // a path too long for a socket
    auto error =
        std::make_exception_ptr(connection_error_t("cannot connect to the client socket " + path_ + ": " + e.what()));
    boost::asio::post(io_, [self, error, connected = std::move(connected)] {
      self->fail(error);
      connected(error);
    });
    return;
  }
  socket_.async_connect(endpoint, [self, connected = std::move(connected)](const boost::system::error_code& error) {
    if (self->failed_) {
      connected(std::make_exception_ptr(connection_error_t("the connection to the client socket was closed")));
      return;
    }
    if (error) {
      auto e = std::make_exception_ptr(
          connection_error_t("cannot connect to the client socket " + self->path_ + ": " + error.message()));
      self->fail(e);
      connected(e);
      return;
    }
    self->connected_ = true;
    self->link_ = std::make_unique<net::local_ipc_link_t>(std::move(self->socket_),
                                                          static_cast<net::local_ipc_link_t::delegate_t*>(self.get()));
    for (const auto& [serial, call] : self->pending_) self->write(call.first);
    connected(nullptr);
  });
}

void async_client_t::write(const request_t& request) {
  net::frame_t frame = net::serialize_frame(request);
  link_->send(std::move(frame.data), frame.size);
}

void async_client_t::call(request_t request, callback_t done) {
  if (failed_) {
    auto error = std::make_exception_ptr(connection_error_t("the connection to the client socket has ended"));
    boost::asio::post(io_, [error, done = std::move(done)] { done(util::make_error_result<response_t>(error)); });
    return;
  }
  request.set_serial(++serial_);
  if (connected_) write(request);
  pending_.emplace(serial_, std::make_pair(std::move(request), std::move(done)));
}

void async_client_t::on_message(const std::uint8_t* data, std::uint32_t size, util::unique_fd_t) {
  response_t response;
  const auto it =
      response.ParseFromArray(data, static_cast<int>(size)) ? pending_.find(response.serial()) : pending_.end();
  if (it == pending_.end() || static_cast<int>(response.tag()) != static_cast<int>(it->second.first.tag())) {
    fail(std::make_exception_ptr(connection_error_t("unexpected answer on the client socket")));
    return;
  }
  callback_t done = std::move(it->second.second);
  pending_.erase(it);
  if (response.has_error()) {
    try {
      throw_error(response.error());
    } catch (const daemon_error_t&) {
      done(util::make_error_result<response_t>(std::current_exception()));
    }
    return;
  }
  done(std::move(response));
}

void async_client_t::on_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    fail(std::make_exception_ptr(connection_error_t(std::string("client socket: ") + e.what())));
  }
}

void async_client_t::close() {
  fail(std::make_exception_ptr(connection_error_t("the connection to the client socket was closed")));
}

void async_client_t::fail(const std::exception_ptr& error) {
  if (failed_) return;
  failed_ = true;
  // The link may be reporting right now; it is destroyed once that returns.
  boost::asio::post(io_,
                    [self = shared_from_this(), link = std::shared_ptr<net::local_ipc_link_t>(std::move(link_))] {});
  boost::system::error_code ignored;
  socket_.close(ignored);
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& [serial, call] : pending) call.second(util::make_error_result<response_t>(error));
}

}  // namespace mq::api
