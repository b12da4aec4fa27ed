#include "metrics/queue_probe.h"

#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "mail_quarantine_client_ipc.pb.h"

namespace mq::metrics {

namespace {

using request_t = mq::Client2MailQuarantineMessage;
using response_t = mq::MailQuarantine2ClientMessage;

// Serial 1 asks for the statistics, serials 2 to 5 for the page of status
// 1 to 4. The page starts after the key (0, largest id): entries made due
// at once (next access time 0) carry no time to age by.
constexpr std::uint32_t stat_serial = 1;
constexpr unsigned all_answered = 0x1f;
constexpr std::uint64_t after_every_id = std::numeric_limits<std::int64_t>::max();

void send(util::local_ipc_link_t& link, const request_t& request) {
  const std::string body = request.SerializeAsString();
  std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[body.size()]);
  std::memcpy(bytes.get(), body.data(), body.size());
  link.send(std::move(bytes), static_cast<std::uint32_t>(body.size()));
}

}  // namespace

queue_probe_t::queue_probe_t(boost::asio::io_context& io, callback_t done)
    : io_(io), timer_(io), socket_(io), done_(std::move(done)) {}

queue_probe_t::~queue_probe_t() = default;

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
  boost::asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = boost::asio::local::stream_protocol::endpoint(client_socket);
  } catch (const std::exception&) {  // a path too long for a socket
    boost::asio::post(io_, [self, error = std::current_exception()] {
      self->finish(util::make_error_result<queue_sample_t>(error));
    });
    return;
  }
  socket_.async_connect(endpoint, [self, client_socket](const boost::system::error_code& error) {
    if (!self->done_) return;
    if (error) {
      self->finish(util::make_error_result<queue_sample_t>(std::make_exception_ptr(
          std::runtime_error("cannot connect to the client socket " + client_socket + ": " + error.message()))));
      return;
    }
    self->sent_ = std::chrono::steady_clock::now();
    self->link_ = std::make_unique<util::local_ipc_link_t>(
        std::move(self->socket_), static_cast<util::local_ipc_link_t::delegate_t*>(self.get()));
    request_t stat;
    stat.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
    stat.set_serial(stat_serial);
    send(*self->link_, stat);
    for (int status = 1; status <= 4; ++status) {
      request_t page;
      page.set_tag(request_t::GET_QUEUE_CHUNK_REQUEST);
      page.set_serial(stat_serial + static_cast<std::uint32_t>(status));
      page.set_status(static_cast<mq::Status>(status));
      page.set_entry_id(after_every_id);
      page.set_next_access_ts(0);
      page.set_limit(1);
      send(*self->link_, page);
    }
  });
}

void queue_probe_t::on_message(const std::uint8_t* data, std::uint32_t size, util::unique_fd_t) {
  response_t r;
  if (!r.ParseFromArray(data, static_cast<int>(size)) || r.serial() < 1 || r.serial() > 5) {
    finish(util::make_error_result<queue_sample_t>(
        std::make_exception_ptr(std::runtime_error("unexpected answer on the client socket"))));
    return;
  }
  if (r.has_error()) {
    finish(util::make_error_result<queue_sample_t>(
        std::make_exception_ptr(std::runtime_error("the daemon answered with an error: " + r.error().what()))));
    return;
  }
  if (r.serial() == stat_serial) {
    const response_t::QueueStat* stats[] = {&r.smtp_fresh_stat(), &r.smtp_accepted_stat(), &r.bcc_fresh_stat(),
                                            &r.bcc_accepted_stat()};
    for (std::size_t i = 0; i < 4; ++i) {
      sample_.statuses[i].messages = stats[i]->total_messages();
      sample_.statuses[i].bytes = stats[i]->total_bytes();
    }
  } else if (r.entry_size() > 0) {
    sample_.statuses[r.serial() - 2].first_due_ts = r.entry(0).next_access_ts();
  }
  answered_ |= 1u << (r.serial() - 1);
  if (answered_ == all_answered) {
    sample_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent_).count();
    finish(sample_);
  }
}

void queue_probe_t::on_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    finish(util::make_error_result<queue_sample_t>(
        std::make_exception_ptr(std::runtime_error(std::string("client socket: ") + e.what()))));
  } catch (...) {
    finish(util::make_error_result<queue_sample_t>(std::current_exception()));
  }
}

void queue_probe_t::finish(util::result_t<queue_sample_t> result) {
  if (!done_) return;
  callback_t done = std::move(done_);
  done_ = nullptr;
  // The link may be reporting right now; it is destroyed once that returns.
  boost::asio::post(io_,
                    [self = shared_from_this(), link = std::shared_ptr<util::local_ipc_link_t>(std::move(link_))] {});
  boost::system::error_code ignored;
  socket_.close(ignored);
  timer_.cancel();
  done(std::move(result));
}

}  // namespace mq::metrics
