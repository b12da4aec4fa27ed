#include "api/channel.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "api/error.h"
#include "net/frame_io.h"

namespace mq::api {

channel_t::channel_t(const std::string& path, const std::string& name, int timeout_ms)
    : path_(path), name_(name), timeout_ms_(timeout_ms) {
  try {
    socket_ = net::connect_local(path);
  } catch (const std::system_error& e) {
    std::string hint;
    if (e.code().value() == ENOENT || e.code().value() == ECONNREFUSED) hint = " (is the daemon running?)";
    throw connection_error_t("cannot connect to the " + name + " " + path + ": " + std::strerror(e.code().value()) +
                             hint);
  }
}

void channel_t::send(const google::protobuf::Message& message, int fd) {
  std::string body;
  message.SerializePartialToString(&body);
  try {
    net::write_frame(socket_.get(), body, fd);
  } catch (const std::system_error& e) {
    throw connection_error_t("cannot send to the " + name_ + " " + path_ + ": " + std::strerror(e.code().value()));
  }
}

std::string channel_t::receive_body(util::unique_fd_t* fd, int timeout_ms) {
  auto body = receive_body_or_end(fd, timeout_ms);
  if (!body) throw connection_error_t("the daemon closed the connection on the " + name_ + " " + path_);
  return std::move(*body);
}

std::optional<std::string> channel_t::receive_body_or_end(util::unique_fd_t* fd, int timeout_ms) {
  std::string body;
  util::unique_fd_t received;
  bool got = false;
  try {
    got = net::read_frame(socket_.get(), body, received, timeout_ms == channel_timeout ? timeout_ms_ : timeout_ms);
  } catch (const std::runtime_error& e) {  // std::system_error too
    // A frame may be left half read: nothing that follows can be trusted.
    close();
    throw connection_error_t("connection to the " + name_ + " " + path_ + " failed: " + e.what());
  }
  if (!got) return std::nullopt;
  if (fd) *fd = std::move(received);
  return body;
}

void channel_t::receive(google::protobuf::Message& message, util::unique_fd_t* fd, int timeout_ms) {
  const std::string body = receive_body(fd, timeout_ms);
  if (!message.ParsePartialFromString(body) || !message.IsInitialized()) {
    close();
    throw connection_error_t("the daemon sent a message that is not a valid " + message.GetTypeName());
  }
}

}  // namespace mq::api
