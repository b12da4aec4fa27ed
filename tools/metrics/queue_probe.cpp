#include "metrics/queue_probe.h"

#include <limits>
#include <optional>
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "api/error.h"

namespace mq::metrics {

namespace {

using request_t = api::async_client_t::request_t;
using response_t = api::async_client_t::response_t;

// The statistics, then the page of status 1 to 4. A page starts after the
// key (0, largest id): entries made due at once (next access time 0) carry
// no time to age by.
constexpr unsigned all_answered = 5;
constexpr std::uint64_t after_every_id = std::numeric_limits<std::int64_t>::max();

}  // namespace

queue_probe_t::queue_probe_t(boost::asio::io_context& io, callback_t done)
    : io_(io), timer_(io), done_(std::move(done)) {}

void queue_probe_t::start(boost::asio::io_context& io, const std::string& client_socket,
                          std::chrono::milliseconds limit, callback_t done) {
  std::make_shared<queue_probe_t>(io, std::move(done))->begin(client_socket, limit);
}

queue_sample_t queue_probe_t::run(const std::string& client_socket, std::chrono::milliseconds limit) {
  boost::asio::io_context io;
  std::optional<util::result_t<queue_sample_t>> result;
  start(io, client_socket, limit, [&](util::result_t<queue_sample_t> r) { result = std::move(r); });
  io.run();
  if (!result) throw std::logic_error("queue probe ended without a result");
  return util::value_of(*result);
}

void queue_probe_t::begin(const std::string& client_socket, std::chrono::milliseconds limit) {
  auto self = shared_from_this();
  // The timer's handler keeps the probe alive until the end.
  timer_.expires_after(limit);
  timer_.async_wait([self](const boost::system::error_code& error) {
    if (error) return;
    self->finish(util::make_error_result<queue_sample_t>(
        std::make_exception_ptr(std::runtime_error("the daemon did not answer in time"))));
  });
  client_ = api::async_client_t::connect(io_, client_socket, [self](const std::exception_ptr& error) {
    if (error) self->finish(util::make_error_result<queue_sample_t>(error));
    self->sent_ = std::chrono::steady_clock::now();
  });
  request_t stat;
  stat.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
  client_->call(stat, [self](util::result_t<response_t> r) {
    if (!self->answered(r)) return;
    const response_t& s = util::value_of(r);
    const response_t::QueueStat* stats[] = {&s.smtp_fresh_stat(), &s.smtp_accepted_stat(), &s.bcc_fresh_stat(),
                                            &s.bcc_accepted_stat()};
    for (std::size_t i = 0; i < 4; ++i) {
      self->sample_.statuses[i].messages = stats[i]->total_messages();
      self->sample_.statuses[i].bytes = stats[i]->total_bytes();
    }
  });
  for (int status = 1; status <= 4; ++status) {
    request_t page;
    page.set_tag(request_t::GET_QUEUE_CHUNK_REQUEST);
    page.set_status(static_cast<mq::Status>(status));
    page.set_entry_id(after_every_id);
    page.set_next_access_ts(0);
    page.set_limit(1);
    client_->call(page, [self, status](util::result_t<response_t> r) {
      if (!self->answered(r)) return;
      const response_t& p = util::value_of(r);
      if (p.entry_size() > 0) self->sample_.statuses[status - 1].first_due_ts = p.entry(0).next_access_ts();
    });
  }
}

bool queue_probe_t::answered(util::result_t<response_t>& result) {
  if (!done_) return false;
  if (!util::has_value(result)) {
    try {
      std::rethrow_exception(util::error_of(result));
    } catch (const api::daemon_error_t& e) {
      finish(util::make_error_result<queue_sample_t>(
          std::make_exception_ptr(std::runtime_error(std::string("the daemon answered with an error: ") + e.what()))));
    } catch (...) {
      finish(util::make_error_result<queue_sample_t>(std::current_exception()));
    }
    return false;
  }
  if (++answers_ == all_answered) {
    // Counted once the last answer is in: the callback of that one runs
    // right after this.
    boost::asio::post(io_, [self = shared_from_this()] {
      self->sample_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - self->sent_).count();
      self->finish(self->sample_);
    });
  }
  return true;
}

void queue_probe_t::finish(util::result_t<queue_sample_t> result) {
  if (!done_) return;
  callback_t done = std::move(done_);
  done_ = nullptr;
  timer_.cancel();
  if (client_) client_->close();
  done(std::move(result));
}

}  // namespace mq::metrics
