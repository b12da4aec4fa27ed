#include "metrics/shared_probe.h"

#include <boost/asio/post.hpp>

#include "metrics/queue_probe.h"

namespace mq::metrics {

shared_probe_t::shared_probe_t(boost::asio::io_context& io, std::function<std::string()> client_socket,
                               std::chrono::milliseconds limit, std::chrono::milliseconds keep)
    : io_(io), client_socket_(std::move(client_socket)), limit_(limit), keep_(keep) {}

void shared_probe_t::get(callback_t done) {
  if (last_ && std::chrono::steady_clock::now() - last_at_ < keep_) {
    boost::asio::post(io_, [done = std::move(done), r = *last_] { done(r); });
    return;
  }
  waiting_.push_back(std::move(done));
  if (waiting_.size() > 1) return;  // one is on its way
  ++probes_;
  const auto started = std::chrono::steady_clock::now();
  queue_probe_t::start(io_, client_socket_(), limit_, [this, started](const util::result_t<queue_sample_t>& r) {
    last_ = r;
    last_at_ = std::chrono::steady_clock::now();
    last_seconds_ = std::chrono::duration<double>(last_at_ - started).count();
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& w : waiting) w(r);
  });
}

}  // namespace mq::metrics
