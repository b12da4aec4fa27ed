#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "peers.h"

namespace mq::test {

// Several Sorter connections, several requests in flight on each, every
// request and its acknowledgement timed on CLOCK_MONOTONIC.
class storm_t {
 public:
  enum mix_t { puts, mixed /* puts, updates with new files, removes */ };
  struct event_t {
    std::uint64_t id;     // 0: a put not yet acknowledged
    std::string content;  // empty: removed
    std::int64_t sent_ns, acked_ns = std::numeric_limits<std::int64_t>::max();
  };

  storm_t(const std::string& sorter_socket, mix_t mix, int connections = 4, int depth = 8);
  // Until `count` more acknowledgements came; every one must be a success.
  void run(int count);
  // Each entry with its acknowledged or in-flight contents ("" removed) that
  // a crash at `crash_ns` may leave: the last acknowledged one first.
  std::vector<std::pair<std::uint64_t, std::vector<std::string>>> outcomes(std::int64_t crash_ns) const;
  std::vector<event_t> events;

  static std::int64_t now_ns();

 private:
  void send(int c);
  // Records an answer on connection c; false for a notification.
  bool take(std::size_t c, const sorter_peer_t::response_t& r);

  mix_t mix_;
  std::vector<std::unique_ptr<sorter_peer_t>> peers_;
  std::vector<std::vector<std::pair<std::uint32_t, std::size_t>>> pending_;  // serial, event
  std::vector<std::vector<std::uint64_t>> idle_;  // acknowledged entries of each connection, none in flight
};

}  // namespace mq::test
