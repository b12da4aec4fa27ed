#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "mail_quarantine_client_ipc.pb.h"
#include "util/local_ipc_link.h"
#include "util/unique_fd.h"

namespace mq::client {

class tie_t;

// Codec of one management-client connection: parses, checks and dispatches
// incoming frames for its tie_t, encodes responses, logs the traffic.
class ipc_t : public mq::util::local_ipc_link_t::delegate_t {
 public:
  using socket_t = mq::util::local_ipc_link_t::socket_t;

  // The link starts reading at once.
  ipc_t(socket_t socket, tie_t* tie);
  ipc_t(const ipc_t&) = delete;
  ipc_t& operator=(const ipc_t&) = delete;
  ~ipc_t();

  // Logs and queues one response. Does nothing once the link has ended.
  void send(const MailQuarantine2ClientMessage& message);

  void on_written() override;
  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  void on_error(std::exception_ptr error) override;

 private:
  void dispatch(const Client2MailQuarantineMessage& message);
  // Destroys the link and tells the tie; nothing of this object may be
  // touched afterwards.
  void end(std::exception_ptr error);

  std::unique_ptr<mq::util::local_ipc_link_t> link_;
  tie_t* tie_;
};

// Enumerator name of a tag, or its decimal value.
std::string tag_name(Client2MailQuarantineMessage::Tag tag);
std::string tag_name(MailQuarantine2ClientMessage::Tag tag);

}  // namespace mq::client
