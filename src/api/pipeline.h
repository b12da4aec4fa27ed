#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "api/sorter_session.h"

namespace mq::api {

// Many requests in flight on one Sorter session, each with a note of the
// caller's (what it was for, when it went out), matched to its answer by
// serial. An answer to no request in flight, or of the wrong kind, ends
// the connection (connection_error_t); the requests stay in flight.
template <class note_t>
class pipeline_t {
 public:
  using request_t = sorter_session_t::request_t;
  using response_t = sorter_session_t::response_t;

  explicit pipeline_t(sorter_session_t& session) : session_(&session) {}

  std::size_t in_flight() const { return pending_.size(); }
  void clear() { pending_.clear(); }

  void send(request_t request, note_t note, int fd = -1) {
    const auto tag = request.tag();
    pending_.emplace(session_->send(std::move(request), fd), std::make_pair(tag, std::move(note)));
  }
  // The next answer, ALARM included, and the note of its request.
  std::pair<note_t, response_t> receive(util::unique_fd_t* fd = nullptr) {
    response_t response = session_->receive(fd);
    const auto it = response.has_serial() ? pending_.find(response.serial()) : pending_.end();
    if (it == pending_.end()) session_->fail_unawaited(response);
    session_->check_answer_to(response, it->first, it->second.first);
    std::pair<note_t, response_t> out{std::move(it->second.second), std::move(response)};
    pending_.erase(it);
    return out;
  }

 private:
  sorter_session_t* session_;
  std::unordered_map<std::uint32_t, std::pair<request_t::Tag, note_t>> pending_;  // by serial
};

}  // namespace mq::api
