#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "api/channel.h"
#include "api/page.h"
#include "mail_quarantine_client_ipc.pb.h"

namespace mq::api {

// A connection to the management client socket: each request answered by
// the response of its kind, with its serial.
class client_session_t {
 public:
  using request_t = Client2MailQuarantineMessage;
  using response_t = MailQuarantine2ClientMessage;

  // Throws connection_error_t; `timeout_ms` < 0 waits for ever.
  client_session_t(const std::string& path, int timeout_ms);

  // Pipelining: sends `request` with a fresh serial, returns the serial.
  std::uint32_t send(request_t request);
  // The next answer, error answers included (see throw_if_error).
  response_t receive();
  static void throw_if_error(const response_t& response);

  // One request and its answer; an error answer becomes its typed error.
  response_t call(request_t request);

  response_t stat();
  response_t flush(Status status);
  response_t check(bool fix);
  // One GET_QUEUE_CHUNK page of `status` after `key`.
  response_t chunk(Status status, const page_key_t& key, std::uint64_t limit);
  // The queue of `status` page by page, as walk_pages() tells.
  void walk(Status status, const page_key_t& start, std::uint64_t limit,
            const std::function<bool(const response_t& page, const page_key_t& key)>& on_page);

 private:
  // Throws the clear message when `path_` turns out to be a Sorter socket.
  void diagnose() const;

  channel_t channel_;
  bool called_ = false;
};

}  // namespace mq::api
