#include "storm.h"

#include <poll.h>

#include <chrono>
#include <map>

namespace mq::test {

namespace {

// Sizes from a few hundred bytes to some hundred kilobytes; a misplaced block shows.
std::string content_of(std::size_t n) {
  return "message " + std::to_string(n) + "\n" + pattern(n % 5 ? 300 + n * 7919 % 9000 : 20000 + n * 7919 % 200000, n);
}

}  // namespace

std::int64_t storm_t::now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

storm_t::storm_t(const std::string& sorter_socket, mix_t mix, int connections, int depth)
    : mix_(mix), pending_(connections), idle_(connections) {
  for (int c = 0; c < connections; ++c) peers_.push_back(std::make_unique<sorter_peer_t>(sorter_socket));
  for (int c = 0; c < connections; ++c)
    for (int i = 0; i < depth; ++i) send(c);
}

void storm_t::send(int c) {
  const std::size_t n = events.size();
  auto& idle = idle_[c];
  const bool update = mix_ == mixed && n % 4 == 2 && !idle.empty();
  const bool remove = mix_ == mixed && n % 4 == 3 && idle.size() > 2;
  sorter_peer_t::request_t m;
  m.set_serial(peers_[c]->next_serial());
  event_t e{0, remove ? "" : content_of(n), now_ns()};
  if (update || remove) {
    e.id = idle.front();
    idle.erase(idle.begin());
    m.set_entry_id(e.id);
  }
  m.set_tag(remove ? m.REMOVE_ENTRY_REQUEST : update ? m.UPDATE_ENTRY_REQUEST : m.PUT_ENTRY_REQUEST);
  if (update) m.mutable_entry_update()->set_message_size(e.content.size());
  if (!update && !remove) m.set_status(mq::SMTP_FRESH), m.mutable_entry()->set_message_size(e.content.size());
  events.push_back(e);
  pending_[c].emplace_back(m.serial(), n);
  peers_[c]->send(m, remove ? -1 : memory_file_fd(e.content).get());
}

void storm_t::run(int count) {
  while (count > 0) {
    std::vector<pollfd> fds;
    for (auto& peer : peers_) fds.push_back(pollfd{peer->fd(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait_limit().count())) <= 0)
      throw std::runtime_error("no response");
    for (std::size_t c = 0; c < peers_.size(); ++c) {
      if (!fds[c].revents) continue;
      if (!take(c, peers_[c]->read())) continue;
      --count;
      send(static_cast<int>(c));
    }
  }
}

bool storm_t::take(std::size_t c, const sorter_peer_t::response_t& r) {
  const std::int64_t now = now_ns();
  if (!r.has_serial()) return false;  // a notification
  auto& pending = pending_[c];
  auto it = pending.begin();
  while (it != pending.end() && it->first != r.serial()) ++it;
  if (it == pending.end() || r.has_error()) throw std::runtime_error("unexpected answer " + r.ShortDebugString());
  event_t& e = events[it->second];
  pending.erase(it);
  e.acked_ns = now;
  if (!e.id) e.id = r.entry_id();
  if (!e.content.empty()) idle_[c].push_back(e.id);
  return true;
}

std::vector<std::pair<std::uint64_t, std::vector<std::string>>> storm_t::outcomes(std::int64_t crash_ns) const {
  std::map<std::uint64_t, std::vector<std::string>> by_id;
  for (const event_t& e : events) {
    if (!e.id || e.sent_ns >= crash_ns) continue;
    auto [it, put] = by_id.try_emplace(e.id);
    if (e.acked_ns < crash_ns)
      it->second = {e.content};
    else if (put)
      it->second = {"", e.content};  // a put in flight
    else
      it->second.push_back(e.content);
  }
  return {by_id.begin(), by_id.end()};
}

}  // namespace mq::test
