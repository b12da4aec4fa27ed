#pragma once

#include <cstdint>
#include <string>

#include "api/session.h"
#include "mail_quarantine_sorter_ipc.pb.h"

namespace mq::api {

// A connection to the Sorter socket: greets with the store path, then
// answers requests by serial, in any order. A socket that does not greet so
// is told at once: a request sent right after connecting makes any other
// kind of socket answer or hang up.
class sorter_session_t
    : public session_t<sorter_session_t, Sorter2MailQuarantineMessage, MailQuarantine2SorterMessage> {
 public:
  enum class notifications_t { skip, deliver };
  // Any request may be answered by an ALARM.
  static constexpr response_t::Tag error_tag = response_t::ALARM;

  // Throws connection_error_t; `timeout_ms` < 0 waits for ever.
  sorter_session_t(const std::string& path, int timeout_ms);

  const std::string& store_path() const { return store_path_; }

  // Asks for queue-change notifications (receive them with
  // notifications_t::deliver). The request has no answer.
  void subscribe();

  // The next answer to any request sent (ALARM included: see
  // throw_if_alarm). Queue-change notifications on the way are skipped,
  // or returned with notifications_t::deliver.
  response_t receive(util::unique_fd_t* fd = nullptr, int timeout_ms = channel_t::channel_timeout,
                     notifications_t notifications = notifications_t::skip);
  // An ALARM becomes its typed error (daemon_error_t, entry_not_found_t).
  static void throw_if_alarm(const response_t& response);

  // A request about entry `id` (get, update, remove), to fill in further.
  static request_t entry_request(request_t::Tag tag, std::uint64_t id);

  // One request and the answer to it, of tag `expected`; an answer to
  // another serial or of another tag is a connection_error_t, and ends
  // the connection.
  response_t call(request_t request, response_t::Tag expected, int fd = -1, util::unique_fd_t* out_fd = nullptr);

  // One GET_ENTRY_IDS page of `status` after `key`.
  response_t page(Status status, const page_key_t& key, std::uint64_t limit);

  // For pipeline_t: the answer must be the one to a request of `tag` sent
  // as `serial`; see call().
  void check_answer_to(const response_t& response, std::uint32_t serial, request_t::Tag tag) {
    check_answer(response, serial, answer_tag(tag));
  }
  // Ends the connection on an answer no request awaits.
  [[noreturn]] void fail_unawaited(const response_t& response);

 private:
  std::string store_path_;
};

}  // namespace mq::api
