#pragma once

#include <cstdint>

#include "mail_quarantine_client_ipc.pb.h"
#include "util/protocol_codec.h"
#include "util/unique_fd.h"

namespace mq::client {

class tie_t;

// Codec of one management-client connection: parses, checks and dispatches
// incoming frames for its tie_t; the shared codec frames, logs and ends.
class ipc_t : public mq::util::protocol_codec_t {
 public:
  // The request kinds that carry serials.
  enum kind_t : std::size_t { get_queue_stat, get_queue_chunk, flush_queue, check_health, kinds };

  // The link starts reading at once.
  ipc_t(socket_t socket, tie_t* tie);
  ~ipc_t();

 private:
  // A descriptor sent along is never used: it closes when this returns.
  void handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  void disconnected() override;
  void dispatch(const Client2MailQuarantineMessage& message);

  tie_t* tie_;
};

}  // namespace mq::client
