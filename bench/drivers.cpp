#include "drivers.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include "util/frame_io.h"

namespace mq::bench {

namespace {

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string alarm_text(const mq::MailQuarantine2SorterMessage& m) {
  std::string text = "ALARM for serial " + std::to_string(m.serial());
  if (m.has_error()) text += ": " + m.error().ShortDebugString();
  return text;
}

// (time, id) order of the queue, with the daemon's signed storage of times.
bool key_less(std::uint64_t ts_a, std::uint64_t id_a, std::uint64_t ts_b, std::uint64_t id_b) {
  auto sa = static_cast<std::int64_t>(ts_a);
  auto sb = static_cast<std::int64_t>(ts_b);
  return sa < sb || (sa == sb && id_a < id_b);
}

}  // namespace

sorter_driver_t::sorter_driver_t(const std::string& socket_path, int connections, int timeout_ms)
    : timeout_ms_(timeout_ms) {
  for (int i = 0; i < connections; ++i) {
    connection_t c;
    c.sock = mq::util::connect_local(socket_path);
    mq::MailQuarantine2SorterMessage hello;
    mq::util::unique_fd_t fd;
    receive(c, hello, fd);
    if (hello.tag() != mq::MailQuarantine2SorterMessage::STORE_STATE_NOTIFICATION)
      throw std::runtime_error("first Sorter frame is " + mq::MailQuarantine2SorterMessage::Tag_Name(hello.tag()) +
                               ", not STORE_STATE_NOTIFICATION");
    store_path_ = hello.store_path();
    connections_.push_back(std::move(c));
  }
}

void sorter_driver_t::receive(connection_t& c, mq::MailQuarantine2SorterMessage& response, mq::util::unique_fd_t& fd) {
  std::string body;
  if (!mq::util::read_frame(c.sock.get(), body, fd, timeout_ms_))
    throw std::runtime_error("the daemon closed a Sorter connection");
  if (!response.ParseFromString(body)) throw std::runtime_error("invalid mq.MailQuarantine2SorterMessage");
}

batch_stats_t sorter_driver_t::run(std::size_t total, int in_flight, const make_t& make, const check_t& check) {
  return std::move(run_cycles(total, 1, in_flight, make, check).front());
}

std::vector<batch_stats_t> sorter_driver_t::run_cycles(std::size_t cycles, std::size_t steps, int in_flight,
                                                       const make_t& make, const check_t& check) {
  std::vector<batch_stats_t> stats(steps);
  for (auto& s : stats) s.latencies.reserve(cycles);
  std::size_t next_cycle = 0;
  std::size_t completed = 0;
  const std::size_t total = cycles * steps;
  mq::Sorter2MailQuarantineMessage request;
  std::string body;

  auto send = [&](connection_t& c, std::size_t index) {
    request.Clear();
    int fd = -1;
    make(index, request, fd);
    std::uint32_t serial = ++c.next_serial;
    request.set_serial(serial);
    request.SerializeToString(&body);
    c.pending.push_back({serial, {index, now_seconds()}});
    mq::util::write_frame(c.sock.get(), body, fd);
  };

  double start = now_seconds();
  for (auto& c : connections_) {
    for (int k = 0; k < in_flight && next_cycle < cycles; ++k) send(c, steps * next_cycle++);
  }
  std::vector<pollfd> polls(connections_.size());
  mq::MailQuarantine2SorterMessage response;
  while (completed < total) {
    for (std::size_t i = 0; i < connections_.size(); ++i) polls[i] = {connections_[i].sock.get(), POLLIN, 0};
    int r = ::poll(polls.data(), polls.size(), timeout_ms_);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (r == 0) throw std::runtime_error("no response from the daemon within " + std::to_string(timeout_ms_) + " ms");
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      if (!polls[i].revents) continue;
      auto& c = connections_[i];
      mq::util::unique_fd_t fd;
      receive(c, response, fd);
      double arrived = now_seconds();
      if (response.tag() == mq::MailQuarantine2SorterMessage::QUEUE_CHANGE_NOTIFICATION) continue;
      if (!response.has_serial()) throw std::runtime_error("response without serial");
      auto it =
          std::find_if(c.pending.begin(), c.pending.end(), [&](const auto& p) { return p.first == response.serial(); });
      if (it == c.pending.end())
        throw std::runtime_error("response with unknown serial " + std::to_string(response.serial()));
      if (response.tag() == mq::MailQuarantine2SorterMessage::ALARM) throw std::runtime_error(alarm_text(response));
      std::size_t index = it->second.first;
      stats[index % steps].latencies.push_back(arrived - it->second.second);
      c.pending.erase(it);
      check(index, response, fd);
      ++completed;
      if (index % steps + 1 < steps) {
        send(c, index + 1);
      } else if (next_cycle < cycles) {
        send(c, steps * next_cycle++);
      }
    }
  }
  for (auto& s : stats) s.seconds = now_seconds() - start;
  return stats;
}

double sorter_driver_t::ids_page(std::uint64_t id, std::uint64_t ts, mq::Status status, std::uint64_t limit,
                                 mq::MailQuarantine2SorterMessage& response) {
  auto& c = connections_.at(0);
  mq::Sorter2MailQuarantineMessage request;
  request.set_tag(mq::Sorter2MailQuarantineMessage::GET_ENTRY_IDS_REQUEST);
  request.set_serial(++c.next_serial);
  request.set_status(status);
  request.set_limit(limit);
  request.set_entry_id(id);
  request.set_next_access_ts(ts);
  double sent = now_seconds();
  mq::util::write_frame(c.sock.get(), request.SerializeAsString());
  mq::util::unique_fd_t fd;
  do {
    receive(c, response, fd);
  } while (response.tag() == mq::MailQuarantine2SorterMessage::QUEUE_CHANGE_NOTIFICATION);
  double seconds = now_seconds() - sent;
  if (response.tag() == mq::MailQuarantine2SorterMessage::ALARM) throw std::runtime_error(alarm_text(response));
  if (response.tag() != mq::MailQuarantine2SorterMessage::GET_ENTRY_IDS_RESPONSE ||
      response.serial() != request.serial())
    throw std::runtime_error("unexpected answer to GET_ENTRY_IDS_REQUEST: " + response.ShortDebugString());
  if (static_cast<std::uint64_t>(response.queue_key_list_size()) > limit)
    throw std::runtime_error("GET_ENTRY_IDS page longer than its limit");
  return seconds;
}

double sorter_driver_t::page(mq::Status status, std::uint64_t limit, std::pair<std::uint64_t, std::uint64_t> key) {
  mq::MailQuarantine2SorterMessage response;
  double seconds = ids_page(key.first, key.second, status, limit, response);
  if (response.queue_key_list_size() == 0) throw std::runtime_error("GET_ENTRY_IDS page unexpectedly empty");
  return seconds;
}

walk_stats_t sorter_driver_t::walk(mq::Status status, std::uint64_t limit) {
  walk_stats_t stats;
  std::uint64_t last_id = 0;
  std::uint64_t last_ts = 0;
  mq::MailQuarantine2SorterMessage response;
  double start = now_seconds();
  for (;;) {
    stats.page_seconds.push_back(ids_page(last_id, last_ts, status, limit, response));
    if (response.queue_key_list_size() == 0) break;
    stats.page_keys.push_back({last_id, last_ts});
    for (const auto& key : response.queue_key_list()) {
      if (!key_less(last_ts, last_id, key.next_access_ts(), key.entry_id()))
        throw std::runtime_error("GET_ENTRY_IDS keys out of order at entry " + std::to_string(key.entry_id()));
      last_id = key.entry_id();
      last_ts = key.next_access_ts();
    }
    stats.entries += static_cast<std::uint64_t>(response.queue_key_list_size());
  }
  stats.seconds = now_seconds() - start;
  return stats;
}

client_driver_t::client_driver_t(const std::string& socket_path, int timeout_ms)
    : sock_(mq::util::connect_local(socket_path)), timeout_ms_(timeout_ms) {}

mq::MailQuarantine2ClientMessage client_driver_t::call(mq::Client2MailQuarantineMessage& request) {
  request.set_serial(++serial_);
  mq::util::write_frame(sock_.get(), request.SerializeAsString());
  std::string body;
  mq::util::unique_fd_t fd;
  if (!mq::util::read_frame(sock_.get(), body, fd, timeout_ms_))
    throw std::runtime_error("the daemon closed the client connection");
  mq::MailQuarantine2ClientMessage response;
  if (!response.ParseFromString(body)) throw std::runtime_error("invalid mq.MailQuarantine2ClientMessage");
  if (response.serial() != request.serial() || static_cast<int>(response.tag()) != static_cast<int>(request.tag()))
    throw std::runtime_error("unexpected client response: " + response.ShortDebugString());
  if (response.has_error()) throw std::runtime_error("client request failed: " + response.error().ShortDebugString());
  return response;
}

double client_driver_t::chunk_page(std::uint64_t id, std::uint64_t ts, mq::Status status, std::uint64_t limit,
                                   mq::MailQuarantine2ClientMessage& response) {
  mq::Client2MailQuarantineMessage request;
  request.set_tag(mq::Client2MailQuarantineMessage::GET_QUEUE_CHUNK_REQUEST);
  request.set_status(status);
  request.set_limit(limit);
  request.set_entry_id(id);
  request.set_next_access_ts(ts);
  double sent = now_seconds();
  response = call(request);
  double seconds = now_seconds() - sent;
  if (static_cast<std::uint64_t>(response.entry_size()) > limit)
    throw std::runtime_error("GET_QUEUE_CHUNK page longer than its limit");
  return seconds;
}

double client_driver_t::page(mq::Status status, std::uint64_t limit, std::pair<std::uint64_t, std::uint64_t> key) {
  mq::MailQuarantine2ClientMessage response;
  double seconds = chunk_page(key.first, key.second, status, limit, response);
  if (response.entry_size() == 0) throw std::runtime_error("GET_QUEUE_CHUNK page unexpectedly empty");
  return seconds;
}

walk_stats_t client_driver_t::walk(mq::Status status, std::uint64_t limit) {
  walk_stats_t stats;
  std::uint64_t last_id = 0;
  std::uint64_t last_ts = 0;
  mq::MailQuarantine2ClientMessage response;
  double start = now_seconds();
  for (;;) {
    stats.page_seconds.push_back(chunk_page(last_id, last_ts, status, limit, response));
    if (response.entry_size() == 0) break;
    stats.page_keys.push_back({last_id, last_ts});
    for (const auto& e : response.entry()) {
      if (!key_less(last_ts, last_id, e.next_access_ts(), e.id()))
        throw std::runtime_error("GET_QUEUE_CHUNK entries out of order at entry " + std::to_string(e.id()));
      last_id = e.id();
      last_ts = e.next_access_ts();
    }
    stats.entries += static_cast<std::uint64_t>(response.entry_size());
  }
  stats.seconds = now_seconds() - start;
  return stats;
}

double client_driver_t::queue_stat(mq::MailQuarantine2ClientMessage& response) {
  mq::Client2MailQuarantineMessage request;
  request.set_tag(mq::Client2MailQuarantineMessage::GET_QUEUE_STAT_REQUEST);
  double sent = now_seconds();
  response = call(request);
  return now_seconds() - sent;
}

}  // namespace mq::bench
