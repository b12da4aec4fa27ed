#pragma once

#include "api/session.h"
#include "mail_quarantine_client_ipc.pb.h"

namespace mq::api {

// A connection to the management client socket: each request answered by
// the response of its kind, with its serial.
class client_session_t
    : public session_t<client_session_t, Client2MailQuarantineMessage, MailQuarantine2ClientMessage> {
 public:
  // Throws connection_error_t; `timeout_ms` < 0 waits for ever.
  client_session_t(const std::string& path, int timeout_ms);

  // The next answer, error answers included (see throw_if_error).
  response_t receive();
  static void throw_if_error(const response_t& response);

  // One request and its answer; an error answer becomes its typed error.
  response_t call(request_t request);

  response_t stat();
  response_t flush(Status status);
  response_t check(bool fix);
  // One GET_QUEUE_CHUNK page of `status` after `key`.
  response_t page(Status status, const page_key_t& key, std::uint64_t limit);

 private:
  // Throws the clear message when `path_` turns out to be a Sorter socket.
  void diagnose() const;

  bool called_ = false;
};

}  // namespace mq::api
