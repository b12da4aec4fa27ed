#include "drivers.h"

#include <poll.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "api/pipeline.h"

namespace mq::bench {

namespace {

using sorter_response_t = mq::MailQuarantine2SorterMessage;
using client_response_t = mq::MailQuarantine2ClientMessage;

std::string alarm_text(const sorter_response_t& m) {
  std::string text = "ALARM for serial " + std::to_string(m.serial());
  if (m.has_error()) text += ": " + m.error().ShortDebugString();
  return text;
}

// GET_ENTRY_IDS or GET_QUEUE_CHUNK pages of `limit` from the start of the
// queue to its end; each must keep to its limit.
template <class session_t>
walk_stats_t walk_of(session_t& session, mq::Status status, std::uint64_t limit) {
  return timed_walk([&](const api::page_key_t& key) {
    auto page = session.page(status, key, limit);
    if (static_cast<std::uint64_t>(api::page_items(page).size()) > limit)
      throw std::runtime_error("page longer than its limit");
    return page;
  });
}

template <class session_t>
double page_of(session_t& session, mq::Status status, std::uint64_t limit, const api::page_key_t& key) {
  return timed_page(key, [&](const api::page_key_t& k) { return session.page(status, k, limit); });
}

}  // namespace

sorter_driver_t::sorter_driver_t(const std::string& socket_path, int connections, int timeout_ms)
    : timeout_ms_(timeout_ms) {
  for (int i = 0; i < connections; ++i)
    sessions_.push_back(std::make_unique<api::sorter_session_t>(socket_path, timeout_ms));
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
  // Each request notes its index and its send time.
  using note_t = std::pair<std::size_t, double>;
  std::vector<api::pipeline_t<note_t>> pipelines;
  for (auto& s : sessions_) pipelines.emplace_back(*s);
  mq::Sorter2MailQuarantineMessage request;

  auto send = [&](api::pipeline_t<note_t>& pipeline, std::size_t index) {
    request.Clear();
    int fd = -1;
    make(index, request, fd);
    pipeline.send(request, {index, now_seconds()}, fd);
  };

  const double start = now_seconds();
  const double cpu_start = thread_cpu_seconds();
  for (auto& p : pipelines) {
    for (int k = 0; k < in_flight && next_cycle < cycles; ++k) send(p, steps * next_cycle++);
  }
  std::vector<pollfd> polls(sessions_.size());
  while (completed < total) {
    for (std::size_t i = 0; i < sessions_.size(); ++i) polls[i] = {sessions_[i]->fd(), POLLIN, 0};
    int r = ::poll(polls.data(), polls.size(), timeout_ms_);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (r == 0) throw std::runtime_error("no response from the daemon within " + std::to_string(timeout_ms_) + " ms");
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
      if (!polls[i].revents) continue;
      mq::util::unique_fd_t fd;
      const auto [note, response] = pipelines[i].receive(&fd);
      const double arrived = now_seconds();
      if (response.tag() == sorter_response_t::ALARM) throw std::runtime_error(alarm_text(response));
      const std::size_t index = note.first;
      stats[index % steps].latencies.push_back(arrived - note.second);
      check(index, response, fd);
      ++completed;
      if (index % steps + 1 < steps) {
        send(pipelines[i], index + 1);
      } else if (next_cycle < cycles) {
        send(pipelines[i], steps * next_cycle++);
      }
    }
  }
  for (auto& s : stats) {
    s.seconds = now_seconds() - start;
    s.driver_cpu_seconds = thread_cpu_seconds() - cpu_start;
  }
  return stats;
}

walk_stats_t sorter_driver_t::walk(mq::Status status, std::uint64_t limit) {
  return walk_of(*sessions_.front(), status, limit);
}

double sorter_driver_t::page(mq::Status status, std::uint64_t limit, const api::page_key_t& key) {
  return page_of(*sessions_.front(), status, limit, key);
}

client_driver_t::client_driver_t(const std::string& socket_path, int timeout_ms) : session_(socket_path, timeout_ms) {}

walk_stats_t client_driver_t::walk(mq::Status status, std::uint64_t limit) { return walk_of(session_, status, limit); }

double client_driver_t::page(mq::Status status, std::uint64_t limit, const api::page_key_t& key) {
  return page_of(session_, status, limit, key);
}

double client_driver_t::queue_stat(client_response_t& response) {
  const double sent = now_seconds();
  response = session_.stat();
  return now_seconds() - sent;
}

}  // namespace mq::bench
