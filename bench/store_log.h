#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "drivers.h"
#include "report.h"

namespace mq::bench {

// The requests the store's log cases send, made and checked as the other
// cases do.
struct log_requests_t {
  sorter_driver_t::make_t put;  // request i: a put of 10 KiB with its file
  std::function<void(std::uint64_t id, mq::Sorter2MailQuarantineMessage&)> get;
  // Throws unless the answer hands back the entry and its file.
  std::function<void(std::uint64_t id, const mq::MailQuarantine2SorterMessage&, mq::util::unique_fd_t&)> check_get;
  // `n` lifecycles (put, get, update, remove) at 8x16 on the connections.
  std::function<void(sorter_driver_t&, std::size_t n)> cycles;
};

// The size of queue.db-wal, sampled every 10 ms, while lifecycles at 8x16
// and gets at 1x1 on another connection run without a pause for `seconds`:
// its peak and its size at the end against the stated bound.
void log_size_round(report_t& report, const std::string& daemon, const std::string& dir, int log_level, double seconds,
                    const log_requests_t& requests);

// `entries` entries written straight into queue.db, then flushed with
// `mqctl flush` while one connection gets one entry after another: the
// slowest get, the failed ones and the flush's time.
void big_flush_round(report_t& report, const std::string& daemon, const std::string& mqctl, const std::string& dir,
                     int log_level, std::uint64_t entries, const log_requests_t& requests);

// `entries` records written straight into queue.db, each with its empty
// file, then `mqctl check` on the quiet store and again while one
// connection puts one entry after another: the slowest put during the
// second check and among as many puts after it, the failed ones, both
// checks' times; the two reports must be the same.
void big_check_round(report_t& report, const std::string& daemon, const std::string& mqctl, const std::string& dir,
                     int log_level, std::uint64_t entries, const log_requests_t& requests);

}  // namespace mq::bench
