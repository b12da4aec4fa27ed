#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "mail_quarantine_client_ipc.pb.h"
#include "net/connection.h"
#include "store/port.h"

namespace mq::client {

// One management-client connection: parses and checks its requests, hands
// them to the store and answers them in completion order; writes the audit
// line of a flush; a descriptor sent along is never used. Event-loop thread
// only.
class session_t : public mq::net::connection_t {
 public:
  // The link starts reading at once; nothing is sent unasked.
  session_t(socket_t socket, mq::store::store_port_t* store);
  ~session_t() override;

  // What a management client sends and what it is sent.
  using request_t = Client2MailQuarantineMessage;
  using response_t = MailQuarantine2ClientMessage;

 private:
  // The request kinds that carry serials.
  enum kind_t : std::size_t { get_queue_stat, get_queue_chunk, flush_queue, check_health, kinds };

  // A failure is answered under the request's own response tag.
  void handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;

  mq::store::store_port_t* const store_;
  // Lowered as the connection goes: its reads not started never run.
  std::shared_ptr<std::atomic<bool>> open_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace mq::client
