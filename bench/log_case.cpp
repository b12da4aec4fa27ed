// The requests that the log and freeze cases send: puts of 10 KiB, gets
// checked against their content, and whole Sorter cycles.
#include "bench.h"

namespace mq::bench {

log_requests_t bench_t::log_requests() {
  static const payload_t first(10 * kib, 1), second(10 * kib, 2);
  log_requests_t r;
  r.put = puts(10 * kib, first);
  r.get = make_get;
  r.check_get = [](std::uint64_t id, const answer_t& a, mq::util::unique_fd_t& fd) {
    std::string content;
    check_get(id, a, fd, first, content);
  };
  r.cycles = [this](sorter_driver_t& sorter, std::size_t n) { daemon_cycles(sorter, n, 16, 10 * kib, first, second); };
  return r;
}

}  // namespace mq::bench
