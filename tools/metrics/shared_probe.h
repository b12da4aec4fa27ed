#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "metrics/sample.h"
#include "util/result.h"

namespace mq::metrics {

// Scrapes at the same time share one queue probe, and a result is kept for
// `keep` after it came: a crowd of scrapers costs the daemon one probe a
// second. A probe that passes its limit is given up (its answer, should it
// come, is dropped) and the waiting scrapes get the error.
class shared_probe_t {
 public:
  using callback_t = std::function<void(const util::result_t<queue_sample_t>&)>;

  shared_probe_t(boost::asio::io_context& io, std::function<std::string()> client_socket,
                 std::chrono::milliseconds limit, std::chrono::milliseconds keep = std::chrono::seconds(1));

  // `done` is called on the loop, maybe at once.
  void get(callback_t done);

  // How many probes were started, for the tests.
  std::uint64_t probes() const { return probes_; }
  // How long the last probe took, answered or not: until its last answer or
  // its failure (the limit when the daemon did not answer).
  std::optional<double> last_seconds() const { return last_seconds_; }

 private:
  boost::asio::io_context& io_;
  std::function<std::string()> client_socket_;
  std::chrono::milliseconds limit_, keep_;
  std::vector<callback_t> waiting_;
  std::optional<util::result_t<queue_sample_t>> last_;
  std::chrono::steady_clock::time_point last_at_;
  std::optional<double> last_seconds_;
  std::uint64_t probes_ = 0;
};

}  // namespace mq::metrics
