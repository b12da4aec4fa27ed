#pragma once

#include <cstdint>

#include "mail_quarantine_sorter_ipc.pb.h"
#include "util/protocol_codec.h"
#include "util/unique_fd.h"

namespace mq::sorter {

class tie_t;

// Codec of one Sorter connection: parses, checks and converts incoming
// frames for its tie_t; the shared codec frames, logs and ends.
class ipc_t : public mq::util::protocol_codec_t {
 public:
  // The request kinds that carry serials.
  enum kind_t : std::size_t { get_entry_ids, get_entry, put_entry, remove_entry, update_entry, kinds };

  // The link starts reading at once.
  ipc_t(socket_t socket, tie_t* tie);
  ~ipc_t();

 private:
  void handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  void disconnected() override;
  void dispatch(const Sorter2MailQuarantineMessage& message, mq::util::unique_fd_t fd);

  tie_t* tie_;
};

}  // namespace mq::sorter
