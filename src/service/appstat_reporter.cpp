#include "service/appstat_reporter.h"

#include <chrono>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "overseer/channel.h"

namespace mq::service {

namespace {

// now + 1 s, saturating at the clock's largest value.
std::chrono::steady_clock::time_point next_expiry() {
  using clock = std::chrono::steady_clock;
  const auto now = clock::now();
  const auto step = std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(1000000000));
  if (now > clock::time_point::max() - step) return clock::time_point::max();
  return now + step;
}

}  // namespace

appstat_reporter_t::appstat_reporter_t(boost::asio::io_context& io, mq::overseer::channel_t* channel)
    : timer_(io), channel_(channel) {
  stat_.set_clients(0);
  start_timer();
}

// The timer's own destruction ends its wait (cancel() could throw here);
// the wrapped handler, cancelled first, does not run.
appstat_reporter_t::~appstat_reporter_t() { cancel(); }

void appstat_reporter_t::add_client() { stat_.set_clients(stat_.clients() + 1); }

void appstat_reporter_t::remove_client() { stat_.set_clients(stat_.clients() - 1); }

void appstat_reporter_t::start_timer() {
  // Setting the expiry cancels a pending wait.
  timer_.expires_at(next_expiry());
  timer_.async_wait(wrap([this](const boost::system::error_code& error) { on_timer(error); }));
}

void appstat_reporter_t::on_timer(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  if (error) throw boost::system::system_error(error, "statistics timer");
  channel_->notify_stat(stat_);
  start_timer();
}

}  // namespace mq::service
