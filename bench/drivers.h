#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/client_session.h"
#include "api/page.h"
#include "api/sorter_session.h"
#include "stats.h"

namespace mq::bench {

using request_t = mq::Sorter2MailQuarantineMessage;
using answer_t = mq::MailQuarantine2SorterMessage;

// Timing of a batch of requests.
struct batch_stats_t {
  double seconds = 0;             // first send to last response
  std::vector<double> latencies;  // per request, send to response, seconds
  double cpu_seconds = 0;         // CPU time of the side that did the work
  double driver_cpu_seconds = 0;  // CPU time of the thread that drove it (the Sorter's side)
};

// Timing of a walk through one status queue page by page.
struct walk_stats_t {
  double seconds = 0;
  std::uint64_t entries = 0;
  // The key each non-empty page was requested with.
  std::vector<api::page_key_t> page_keys;

  // The key of the page in the middle of the queue.
  api::page_key_t middle_key() const { return page_keys.empty() ? api::page_key_t{} : page_keys[page_keys.size() / 2]; }
  // The key of the last non-empty page.
  api::page_key_t last_key() const { return page_keys.empty() ? api::page_key_t{} : page_keys.back(); }
};

// A walk from the head of a queue, timed: `fetch(key)` gets the page after
// `key`.
template <class fetch_t>
walk_stats_t timed_walk(fetch_t&& fetch) {
  walk_stats_t stats;
  const double start = now_seconds();
  api::walk_pages(api::page_key_t{}, fetch, [&](const auto& page, const api::page_key_t& key) {
    const auto entries = static_cast<std::uint64_t>(api::page_items(page).size());
    if (entries > 0) stats.page_keys.push_back(key);
    stats.entries += entries;
    return true;
  });
  stats.seconds = now_seconds() - start;
  return stats;
}

// The round trip of one page after `key` that must not be empty.
template <class fetch_t>
double timed_page(const api::page_key_t& key, fetch_t&& fetch) {
  const double sent = now_seconds();
  const auto page = fetch(key);
  const double seconds = now_seconds() - sent;
  if (api::page_items(page).empty()) throw std::runtime_error("page unexpectedly empty");
  return seconds;
}

// Sorter connections to the daemon, driven from one thread: each keeps up to
// `in_flight` requests outstanding and sends the next one as soon as a
// response arrives.
class sorter_driver_t {
 public:
  // Builds request `index` (all but the serial) and names the descriptor to
  // pass with it (-1 for none).
  using make_t = std::function<void(std::size_t index, request_t& request, int& fd)>;
  // Checks the response to request `index`; throws on a wrong answer.
  using check_t = std::function<void(std::size_t index, const answer_t& response, mq::util::unique_fd_t& fd)>;

  // Connects; each connection reads its store-state notification.
  sorter_driver_t(const std::string& socket_path, int connections, int timeout_ms = 120000);

  const std::string& store_path() const { return sessions_.front()->store_path(); }

  batch_stats_t run(std::size_t total, int in_flight, const make_t& make, const check_t& check);

  // Cycles of `steps` requests each, as a Sorter handles a message: a
  // cycle's next request goes out when the one before it is answered, and
  // each connection runs `in_flight` cycles at once. Request `index` of the
  // callbacks is cycle * steps + step. Timing per step; `seconds` of each is
  // the whole run's.
  std::vector<batch_stats_t> run_cycles(std::size_t cycles, std::size_t steps, int in_flight, const make_t& make,
                                        const check_t& check);

  // GET_ENTRY_IDS pages of `limit` from the start of the queue to its end.
  walk_stats_t walk(mq::Status status, std::uint64_t limit);
  // One GET_ENTRY_IDS page after the key; its round trip in seconds.
  double page(mq::Status status, std::uint64_t limit, const api::page_key_t& key);

 private:
  std::vector<std::unique_ptr<api::sorter_session_t>> sessions_;
  int timeout_ms_;
};

// A management client connection to the daemon.
class client_driver_t {
 public:
  explicit client_driver_t(const std::string& socket_path, int timeout_ms = 120000);

  // GET_QUEUE_CHUNK pages of `limit` from the start of the queue to its end.
  walk_stats_t walk(mq::Status status, std::uint64_t limit);
  // One GET_QUEUE_CHUNK page after the key; its round trip in seconds.
  double page(mq::Status status, std::uint64_t limit, const api::page_key_t& key);

  // One GET_QUEUE_STAT; returns its round trip in seconds and the answer.
  double queue_stat(mq::MailQuarantine2ClientMessage& response);

 private:
  api::client_session_t session_;
};

}  // namespace mq::bench
