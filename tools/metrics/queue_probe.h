#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "api/async_client.h"
#include "metrics/sample.h"
#include "util/result.h"

namespace mq::metrics {

// One look at the queues over the client socket: a statistics request and,
// per status, one page of one key (the earliest entry with a due time), all
// sent at once on one connection. Never pages on: a scrape costs the daemon
// five small requests however long the queues are.
class queue_probe_t : public std::enable_shared_from_this<queue_probe_t> {
 public:
  using callback_t = std::function<void(util::result_t<queue_sample_t>)>;

  // `done` is called once on the loop of `io`, with the sample or the
  // reason there is none (connect failure, an error answer, `limit` passed).
  static void start(boost::asio::io_context& io, const std::string& client_socket, std::chrono::milliseconds limit,
                    callback_t done);

  // The same, run to its end on a private loop.
  static queue_sample_t run(const std::string& client_socket, std::chrono::milliseconds limit);

  queue_probe_t(boost::asio::io_context& io, callback_t done);

 private:
  void begin(const std::string& client_socket, std::chrono::milliseconds limit);
  // Whether the answer came; the first failure ends the probe.
  bool answered(util::result_t<api::async_client_t::response_t>& result);
  void finish(util::result_t<queue_sample_t> result);

  boost::asio::io_context& io_;
  boost::asio::steady_timer timer_;
  std::shared_ptr<api::async_client_t> client_;
  callback_t done_;
  queue_sample_t sample_;
  unsigned answers_ = 0;
  std::chrono::steady_clock::time_point sent_;
};

}  // namespace mq::metrics
