#include "store_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Requests at 1x1 on a thread of their own until stopped (gets of one entry
// by default); each latency, and the number that failed.
class reader_t {
 public:
  reader_t(const std::string& socket, std::uint64_t id, const log_requests_t& requests)
      : reader_t(
            socket, [&requests, id](std::size_t, request_t& q, int&) { requests.get(id, q); },
            [&requests, id](std::size_t, const answer_t& a, mq::util::unique_fd_t& fd) {
              requests.check_get(id, a, fd);
            }) {}
  reader_t(const std::string& socket, sorter_driver_t::make_t make, sorter_driver_t::check_t check)
      : driver_(socket, 1), thread_([this, make = std::move(make), check = std::move(check)] { loop(make, check); }) {}
  ~reader_t() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Read only once stopped; `answered` at any time.
  std::vector<double> latencies;
  std::atomic<std::size_t> answered{0}, failed{0};

 private:
  void loop(const sorter_driver_t::make_t& make, const sorter_driver_t::check_t& check) {
    for (std::size_t i = 0; !stop_; ++i) {
      try {
        auto batch = driver_.run(
            1, 1, [&](std::size_t, request_t& q, int& fd) { make(i, q, fd); },
            [&](std::size_t, const answer_t& a, mq::util::unique_fd_t& fd) { check(i, a, fd); });
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

// A spool under `dir` whose queue.db holds `entries` records named
// PREFIX<i>, due one second apart; the spool's path.
std::string seed_records(const std::string& dir, std::uint64_t entries, const std::string& prefix, int size) {
  std::string spool = dir + "/spool";
  boost::filesystem::create_directories(spool + "/queue");
  mq::store::metadata_writer_t db(spool + "/queue.db", false);
  db.connection().execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                          std::to_string(entries) +
                          ") INSERT INTO entry(message_filename, message_size, received_ts, next_access_ts, status, "
                          "attempts) SELECT '" +
                          prefix + "' || i, " + std::to_string(size) + ", 1, 1700000000 + i, 0, 0 FROM n;");
  return spool;
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
  const std::string spool = seed_records(dir, entries, "none-", 1);
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

void big_check_round(report_t& report, const std::string& daemon_path, const std::string& mqctl, const std::string& dir,
                     int log_level, std::uint64_t entries, const log_requests_t& requests) {
  const std::string spool = seed_records(dir, entries, "seed-", 0);
  // Every record gets its (empty) file: a quiet store checks "Ok".
  for (std::uint64_t i = 1; i <= entries; ++i) {
    const std::string name = spool + "/queue/seed-" + std::to_string(i);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0) throw std::runtime_error("cannot create " + name);
    ::close(fd);
  }
  // The seeding's dirty inodes would go with the first puts' syncs.
  ::sync();
  daemon_runner_t daemon(daemon_path, dir, spool, log_level);
  double slowest_ms = 0, alone_ms = 0, quiet_seconds = 0, busy_seconds = 0;
  std::size_t failed = 0, during = 0;
  std::string quiet, busy;
  const long rss = daemon.run([&] {
    const auto check = [&] {
      auto run =
          run_tool({mqctl, "--client-socket", daemon.client_socket(), "--timeout", "0", "check"}, dir + "/mqctl.out");
      if (run.status != 0) throw std::runtime_error("mqctl check ended with " + std::to_string(run.status));
      return run;
    };
    const auto first = check();
    quiet = first.output;
    quiet_seconds = first.seconds;
    reader_t putter(daemon.sorter_socket(), requests.put, [](std::size_t, const answer_t& a, mq::util::unique_fd_t&) {
      if (!a.entry_id()) throw std::runtime_error("a put answered no entry id");
    });
    // The puts are under way before the check starts.
    while (putter.answered < 10 && !putter.failed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::size_t before = putter.answered;
    const auto second = check();
    // As many puts again without a check: what the disk alone costs them.
    const std::size_t after = putter.answered;
    const double until = now_seconds() + 2 * second.seconds + 5;
    while (putter.answered < after + (after - before) && now_seconds() < until && !putter.failed)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    putter.stop();
    busy = second.output;
    busy_seconds = second.seconds;
    failed = putter.failed;
    during = after - before;
    for (std::size_t i = before; i < putter.latencies.size(); ++i)
      (i < after ? slowest_ms : alone_ms) = std::max(i < after ? slowest_ms : alone_ms, putter.latencies[i] * 1e3);
  });
  if (busy != quiet)
    throw std::runtime_error("the check beside puts said \"" + busy + "\", on a quiet store \"" + quiet + "\"");
  // 100 ms stands in the bare column: a ratio of 1 or more keeps to it.
  const std::string name = "check of " + std::to_string(entries) + " entries beside puts 1x1, " +
                           std::to_string(during) + " puts (bare = 100 ms)";
  report.figure(name, "slowest put ms", false).add(slowest_ms, 100, rss);
  report.figure(name, "slowest put ms, no check", false).add(alone_ms, 100, rss);
  report.figure(name, "failed puts", false).add(static_cast<double>(failed), 0, rss);
  report.figure(name, "check s (bare = quiet)", false).add(busy_seconds, quiet_seconds, rss);
}

}  // namespace mq::bench
