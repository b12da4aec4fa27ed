#include "store_log.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "daemon_runner.h"
#include "store/metadata_writer.h"
#include "store/write_ahead_log.h"
#include "tool_runner.h"

namespace mq::bench {

namespace {

// One entry put through the daemon: what the gets read.
std::uint64_t put_one(const std::string& socket, const log_requests_t& requests) {
  sorter_driver_t sorter(socket, 1);
  std::uint64_t id = 0;
  sorter.run(1, 1, requests.put, [&](std::size_t, const answer_t& a, mq::util::unique_fd_t&) { id = a.entry_id(); });
  if (!id) throw std::runtime_error("the put answered no entry id");
  return id;
}

// Gets of one entry at 1x1 on a thread of their own until stopped; each
// latency, and the number that failed.
class reader_t {
 public:
  reader_t(const std::string& socket, std::uint64_t id, const log_requests_t& requests)
      : driver_(socket, 1), thread_([this, id, &requests] { loop(id, requests); }) {}
  ~reader_t() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Read only once stopped; `answered` at any time.
  std::vector<double> latencies;
  std::atomic<std::size_t> answered{0}, failed{0};

 private:
  void loop(std::uint64_t id, const log_requests_t& requests) {
    while (!stop_) {
      try {
        auto batch = driver_.run(
            1, 1, [&](std::size_t, request_t& q, int&) { requests.get(id, q); },
            [&](std::size_t, const answer_t& a, mq::util::unique_fd_t& fd) { requests.check_get(id, a, fd); });
        latencies.insert(latencies.end(), batch.latencies.begin(), batch.latencies.end());
        answered = latencies.size();
      } catch (const std::exception&) {
        ++failed;
      }
    }
  }

  sorter_driver_t driver_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace

void log_size_round(report_t& report, const std::string& daemon_path, const std::string& dir, int log_level,
                    double seconds, const log_requests_t& requests) {
  daemon_runner_t daemon(daemon_path, dir, dir + "/spool", log_level);
  std::uint64_t peak = 0, last = 0;
  std::size_t cycles = 0;
  const long rss = daemon.run([&] {
    const std::uint64_t id = put_one(daemon.sorter_socket(), requests);
    reader_t reader(daemon.sorter_socket(), id, requests);
    std::atomic<bool> done{false};
    std::thread sampler([&] {
      while (!done) {
        peak = std::max(peak, file_size(dir + "/spool/queue.db-wal"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    sorter_driver_t cycler(daemon.sorter_socket(), 8);
    const double start = now_seconds();
    while (now_seconds() - start < seconds) {
      requests.cycles(cycler, 512);
      cycles += 512;
    }
    done = true;
    sampler.join();
    reader.stop();
    last = file_size(dir + "/spool/queue.db-wal");
    if (reader.failed) throw std::runtime_error(std::to_string(reader.failed) + " gets failed");
  });
  // The bound stands in the bare column: a ratio of 1 or more keeps to it.
  const double bound = static_cast<double>(mq::store::write_ahead_log_t::limit_frames) * (4096 + 24) / (1 << 20);
  const std::string name =
      "log under lifecycles 8x16 and gets 1x1, " + std::to_string(cycles) + " cycles (bare = bound)";
  report.figure(name, "peak MiB", false).add(static_cast<double>(peak) / (1 << 20), bound, rss);
  report.figure(name, "last MiB", false).add(static_cast<double>(last) / (1 << 20), bound, rss);
}

void big_flush_round(report_t& report, const std::string& daemon_path, const std::string& mqctl, const std::string& dir,
                     int log_level, std::uint64_t entries, const log_requests_t& requests) {
  const std::string spool = dir + "/spool";
  boost::filesystem::create_directories(spool + "/queue");
  {
    mq::store::metadata_writer_t db(spool + "/queue.db", false);
    db.connection().execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                            std::to_string(entries) +
                            ") INSERT INTO entry(message_filename, message_size, received_ts, next_access_ts, status, "
                            "attempts) SELECT 'none-' || i, 1, 1, 1700000000 + i, 0, 0 FROM n;");
  }
  daemon_runner_t daemon(daemon_path, dir, spool, log_level);
  double slowest_ms = 0, flush_seconds = 0;
  std::size_t failed = 0, during = 0;
  const long rss = daemon.run([&] {
    const std::uint64_t id = put_one(daemon.sorter_socket(), requests);
    reader_t reader(daemon.sorter_socket(), id, requests);
    // The reader is under way before the flush starts.
    while (reader.answered < 10 && !reader.failed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::size_t before = reader.answered;
    const auto flushed =
        run_tool({mqctl, "--client-socket", daemon.client_socket(), "--timeout", "0", "flush", "smtp-fresh"},
                 dir + "/mqctl.out");
    reader.stop();
    if (flushed.status != 0) throw std::runtime_error("mqctl flush ended with " + std::to_string(flushed.status));
    flush_seconds = flushed.seconds;
    failed = reader.failed;
    during = reader.latencies.size() - before;
    for (std::size_t i = before; i < reader.latencies.size(); ++i)
      slowest_ms = std::max(slowest_ms, reader.latencies[i] * 1e3);
  });
  // 100 ms stands in the bare column: a ratio of 1 or more keeps to it.
  const std::string name = "flush of " + std::to_string(entries) + " entries beside gets 1x1, " +
                           std::to_string(during) + " gets (bare = 100 ms)";
  report.figure(name, "slowest get ms", false).add(slowest_ms, 100, rss);
  report.figure(name, "failed gets", false).add(static_cast<double>(failed), 0, rss);
  report.figure(name, "flush s", false).add(flush_seconds, flush_seconds, rss);
}

}  // namespace mq::bench
