#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "mail_quarantine_sorter_ipc.pb.h"
#include "util/local_ipc_link.h"
#include "util/unique_fd.h"

namespace mq::sorter {

class tie_t;

// Codec of one Sorter connection: parses, checks and converts incoming
// frames for its tie_t, encodes outgoing messages, logs the traffic.
class ipc_t : public mq::util::local_ipc_link_t::delegate_t {
 public:
  using socket_t = mq::util::local_ipc_link_t::socket_t;

  // The link starts reading at once.
  ipc_t(socket_t socket, tie_t* tie);
  ipc_t(const ipc_t&) = delete;
  ipc_t& operator=(const ipc_t&) = delete;
  ~ipc_t();

  // Logs and queues one message, with an optional descriptor. Does nothing
  // once the link has ended.
  void send(const MailQuarantine2SorterMessage& message, mq::util::unique_fd_t fd = mq::util::unique_fd_t());

  void on_written() override;
  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  void on_error(std::exception_ptr error) override;

 private:
  void dispatch(const Sorter2MailQuarantineMessage& message, mq::util::unique_fd_t fd);
  // Destroys the link and tells the tie; nothing of this object may be
  // touched afterwards.
  void end(std::exception_ptr error);

  std::unique_ptr<mq::util::local_ipc_link_t> link_;
  tie_t* tie_;
};

// Enumerator name of a tag, or its decimal value.
std::string tag_name(Sorter2MailQuarantineMessage::Tag tag);
std::string tag_name(MailQuarantine2SorterMessage::Tag tag);

}  // namespace mq::sorter
