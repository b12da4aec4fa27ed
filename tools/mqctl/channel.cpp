#include "channel.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "errors.h"
#include "util/frame_io.h"

namespace mqctl {

channel_t::channel_t(const std::string& path, const std::string& name, int timeout_ms)
    : path_(path), name_(name), timeout_ms_(timeout_ms) {
  try {
    socket_ = mq::util::connect_local(path);
  } catch (const std::system_error& e) {
    std::string hint;
    if (e.code().value() == ENOENT || e.code().value() == ECONNREFUSED) hint = " (is the daemon running?)";
    throw connection_error_t("cannot connect to the " + name + " " + path + ": " + std::strerror(e.code().value()) +
                             hint);
  }
}

void channel_t::send(const google::protobuf::Message& message, int fd) {
  std::string body;
  message.SerializeToString(&body);
  try {
    mq::util::write_frame(socket_.get(), body, fd);
  } catch (const std::system_error& e) {
    throw connection_error_t("cannot send to the " + name_ + " " + path_ + ": " + std::strerror(e.code().value()));
  }
}

void channel_t::receive(google::protobuf::Message& message, mq::util::unique_fd_t* fd, int timeout_ms) {
  std::string body;
  mq::util::unique_fd_t received;
  bool got = false;
  try {
    got = mq::util::read_frame(socket_.get(), body, received, timeout_ms >= -1 ? timeout_ms : timeout_ms_);
  } catch (const std::system_error& e) {
    throw connection_error_t("connection to the " + name_ + " " + path_ + " failed: " + e.what());
  } catch (const std::runtime_error& e) {
    throw connection_error_t("connection to the " + name_ + " " + path_ + " failed: " + e.what());
  }
  if (!got) throw connection_error_t("the daemon closed the connection on the " + name_ + " " + path_);
  if (!message.ParsePartialFromString(body) || !message.IsInitialized()) {
    // The Sorter greets every connection: that greeting on the client
    // socket means the two paths were mixed up.
    mq::MailQuarantine2SorterMessage greeting;
    if (name_ == "client socket" && greeting.ParsePartialFromString(body) && greeting.IsInitialized() &&
        greeting.tag() == mq::MailQuarantine2SorterMessage::STORE_STATE_NOTIFICATION)
      throw connection_error_t(path_ + " is a Sorter socket, not the client socket (see --client-socket)");
    throw connection_error_t("the daemon sent a message that is not a valid " + message.GetTypeName());
  }
  if (fd) *fd = std::move(received);
}

bool is_not_found(const std::string& what) { return what == "Entry not found"; }

namespace {

// Serial 0 is never used by a request of mqctl: it marks the probe.
constexpr std::uint32_t probe_serial = 0;

}  // namespace

sorter_session_t::sorter_session_t(const std::string& path, int timeout_ms)
    : channel_(path, "Sorter socket", timeout_ms) {
  request_t probe;
  probe.set_tag(request_t::GET_ENTRY_IDS_REQUEST);
  probe.set_serial(probe_serial);
  probe.set_status(mq::SMTP_FRESH);
  probe.set_limit(1);
  response_t greeting;
  try {
    channel_.send(probe);
    channel_.receive(greeting);
  } catch (const connection_error_t& e) {
    throw connection_error_t(path +
                             " did not greet as a Sorter socket does (is it the client socket? see "
                             "--sorter-socket): " +
                             e.what());
  }
  if (greeting.tag() != response_t::STORE_STATE_NOTIFICATION)
    throw connection_error_t(path +
                             " did not greet as a Sorter socket does (is it the client socket? see "
                             "--sorter-socket)");
  store_path_ = greeting.store_path();
}

bool sorter_session_t::skip(const response_t& m) {
  return m.tag() == response_t::QUEUE_CHANGE_NOTIFICATION ||
         (m.tag() == response_t::GET_ENTRY_IDS_RESPONSE && m.has_serial() && m.serial() == probe_serial);
}

sorter_session_t::response_t sorter_session_t::call(request_t request, response_t::Tag expected, int fd,
                                                    mq::util::unique_fd_t* out_fd) {
  const std::uint32_t serial = channel_.next_serial();
  request.set_serial(serial);
  channel_.send(request, fd);
  for (;;) {
    response_t response;
    mq::util::unique_fd_t received;
    channel_.receive(response, &received);
    if (skip(response)) continue;
    if (!response.has_serial() || response.serial() != serial)
      throw connection_error_t("the daemon answered serial " + std::to_string(response.serial()) + " instead of " +
                               std::to_string(serial));
    if (response.tag() == response_t::ALARM) throw daemon_error_t(response.error().code(), response.error().what());
    if (response.tag() != expected)
      throw connection_error_t("the daemon answered " + response_t::Tag_Name(response.tag()) + " instead of " +
                               response_t::Tag_Name(expected));
    if (out_fd) *out_fd = std::move(received);
    return response;
  }
}

client_session_t::client_session_t(const std::string& path, int timeout_ms)
    : path_(path), channel_(path, "client socket", timeout_ms) {}

void client_session_t::diagnose() const {
  // A Sorter socket hangs up on a client request, maybe before its greeting
  // got out; on a quiet connection it greets at once.
  bool sorter = false;
  try {
    channel_t quiet(path_, "Sorter socket", 2000);
    mq::MailQuarantine2SorterMessage greeting;
    quiet.receive(greeting);
    sorter = greeting.tag() == mq::MailQuarantine2SorterMessage::STORE_STATE_NOTIFICATION;
  } catch (const connection_error_t&) {
  }
  if (sorter) throw connection_error_t(path_ + " is a Sorter socket, not the client socket (see --client-socket)");
}

client_session_t::response_t client_session_t::call(request_t request) {
  const std::uint32_t serial = channel_.next_serial();
  request.set_serial(serial);
  response_t response;
  try {
    channel_.send(request);
    channel_.receive(response);
  } catch (const connection_error_t&) {
    if (serial == 1) diagnose();
    throw;
  }
  if (!response.has_serial() || response.serial() != serial)
    throw connection_error_t("the daemon answered serial " + std::to_string(response.serial()) + " instead of " +
                             std::to_string(serial));
  if (static_cast<int>(response.tag()) != static_cast<int>(request.tag()))
    throw connection_error_t("the daemon answered " + response_t::Tag_Name(response.tag()) + " to " +
                             request_t::Tag_Name(request.tag()));
  if (response.has_error()) throw daemon_error_t(response.error().code(), response.error().what());
  return response;
}

}  // namespace mqctl
