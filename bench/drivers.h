#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "mail_quarantine_client_ipc.pb.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "util/unique_fd.h"

namespace mq::bench {

// Timing of a batch of requests.
struct batch_stats_t {
  double seconds = 0;             // first send to last response
  std::vector<double> latencies;  // per request, send to response, seconds
  double cpu_seconds = 0;         // CPU time of the side that did the work
};

// Timing of a walk through one status queue page by page.
struct walk_stats_t {
  double seconds = 0;
  std::vector<double> page_seconds;  // the final, empty page included
  std::uint64_t entries = 0;
  // The key each non-empty page was requested with (entry id, time).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> page_keys;

  // The key of the page in the middle of the queue.
  std::pair<std::uint64_t, std::uint64_t> middle_key() const {
    return page_keys.empty() ? std::pair<std::uint64_t, std::uint64_t>{0, 0} : page_keys[page_keys.size() / 2];
  }
  // The key of the last non-empty page.
  std::pair<std::uint64_t, std::uint64_t> last_key() const {
    return page_keys.empty() ? std::pair<std::uint64_t, std::uint64_t>{0, 0} : page_keys.back();
  }
};

// Sorter connections to the daemon, driven from one thread: each keeps up to
// `in_flight` requests outstanding and sends the next one as soon as a
// response arrives.
class sorter_driver_t {
 public:
  // Builds request `index` (all but the serial) and names the descriptor to
  // pass with it (-1 for none).
  using make_t = std::function<void(std::size_t index, mq::Sorter2MailQuarantineMessage& request, int& fd)>;
  // Checks the response to request `index`; throws on a wrong answer.
  using check_t = std::function<void(std::size_t index, const mq::MailQuarantine2SorterMessage& response,
                                     mq::util::unique_fd_t& fd)>;

  // Connects and reads the store-state notification of each connection.
  sorter_driver_t(const std::string& socket_path, int connections, int timeout_ms = 120000);

  const std::string& store_path() const { return store_path_; }

  batch_stats_t run(std::size_t total, int in_flight, const make_t& make, const check_t& check);

  // Cycles of `steps` requests each, as a Sorter handles a message: a
  // cycle's next request goes out when the one before it is answered, and
  // each connection runs `in_flight` cycles at once. Request `index` of the
  // callbacks is cycle * steps + step. Timing per step; `seconds` of each is
  // the whole run's.
  std::vector<batch_stats_t> run_cycles(std::size_t cycles, std::size_t steps, int in_flight, const make_t& make,
                                        const check_t& check);

  // GET_ENTRY_IDS pages of `limit` from the start of the queue to its end;
  // checks that keys come in strictly increasing (time, id) order.
  walk_stats_t walk(mq::Status status, std::uint64_t limit);
  // One GET_ENTRY_IDS page after the key; its round trip in seconds.
  double page(mq::Status status, std::uint64_t limit, std::pair<std::uint64_t, std::uint64_t> key);

 private:
  struct connection_t {
    mq::util::unique_fd_t sock;
    std::uint32_t next_serial = 0;
    // serial -> (request index, send time in seconds)
    std::vector<std::pair<std::uint32_t, std::pair<std::size_t, double>>> pending;
  };

  void receive(connection_t& c, mq::MailQuarantine2SorterMessage& response, mq::util::unique_fd_t& fd);
  double ids_page(std::uint64_t id, std::uint64_t ts, mq::Status status, std::uint64_t limit,
                  mq::MailQuarantine2SorterMessage& response);

  std::vector<connection_t> connections_;
  std::string store_path_;
  int timeout_ms_;
};

// A management client connection to the daemon.
class client_driver_t {
 public:
  explicit client_driver_t(const std::string& socket_path, int timeout_ms = 120000);

  // GET_QUEUE_CHUNK pages of `limit` from the start of the queue to its end.
  walk_stats_t walk(mq::Status status, std::uint64_t limit);
  // One GET_QUEUE_CHUNK page after the key; its round trip in seconds.
  double page(mq::Status status, std::uint64_t limit, std::pair<std::uint64_t, std::uint64_t> key);

  // One GET_QUEUE_STAT; returns its round trip in seconds and the answer.
  double queue_stat(mq::MailQuarantine2ClientMessage& response);

 private:
  mq::MailQuarantine2ClientMessage call(mq::Client2MailQuarantineMessage& request);
  double chunk_page(std::uint64_t id, std::uint64_t ts, mq::Status status, std::uint64_t limit,
                    mq::MailQuarantine2ClientMessage& response);

  mq::util::unique_fd_t sock_;
  std::uint32_t serial_ = 0;
  int timeout_ms_;
};

}  // namespace mq::bench
