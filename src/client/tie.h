#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mail_quarantine_client_ipc.pb.h"
#include "net/connection.h"
#include "store/entry.h"

namespace mq::client {

// One management-client connection: parses and checks its requests, forwards
// them to its delegate and answers them in completion order; a descriptor
// sent along is never used. Event-loop thread only.
class tie_t : public mq::net::protocol_codec_t {
 public:
  class delegate_t : public mq::net::connection_delegate_t {
   public:
    virtual void get_queue_stat(completion_t<mq::store::queue_stats_t> completion) = 0;
    virtual void get_queue_chunk(mq::store::queue_chunk_request_t request,
                                 completion_t<std::vector<mq::store::entry_brief_t>> completion) = 0;
    virtual void flush_queue(mq::store::status_t status, completion_t<std::string> completion) = 0;
    virtual void check_health(bool fix, completion_t<std::string> completion) = 0;

   protected:
    ~delegate_t() = default;
  };

  // The link starts reading at once; nothing is sent unasked.
  tie_t(socket_t socket, delegate_t* delegate);

 private:
  // The request kinds that carry serials.
  enum kind_t : std::size_t { get_queue_stat, get_queue_chunk, flush_queue, check_health, kinds };

  // A failure is answered under the request's own response tag.
  void handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;

  delegate_t* delegate_;
};

}  // namespace mq::client
