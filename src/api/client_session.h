#pragma once

#include "api/session.h"
#include "mail_quarantine_client_ipc.pb.h"

namespace mq::api {

// A connection to the management client socket: each request answered by
// the response of its kind, with its serial.
class client_session_t
    : public session_t<client_session_t, Client2MailQuarantineMessage, MailQuarantine2ClientMessage> {
 public:
  // Error answers keep the tag of their request.
  static constexpr response_t::Tag error_tag = response_t::Tag(0);

  // Throws connection_error_t; `timeout_ms` < 0 waits for ever.
  client_session_t(const std::string& path, int timeout_ms);

  // The next answer, error answers included (see throw_if_error).
  response_t receive();
  static void throw_if_error(const response_t& response);

  // One request and its answer; an error answer becomes its typed error.
  // An answer to another serial or of another kind is a
  // connection_error_t, and ends the connection.
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
