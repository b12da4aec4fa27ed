#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "util/unique_fd.h"

namespace mq::bench {

// Starts the real daemon with a monitor socket pair and plays its supervisor:
// answers every configuration request with a configuration pointing at a
// private spool directory and sockets, and reports when the daemon is ready.
class daemon_runner_t {
 public:
  // `log_level` is an ov.LogLevel value. Files go to `work_dir`.
  daemon_runner_t(std::string daemon_path, std::string work_dir, std::string spool_dir, int log_level);
  ~daemon_runner_t();
  daemon_runner_t(const daemon_runner_t&) = delete;
  daemon_runner_t& operator=(const daemon_runner_t&) = delete;

  // Returns once the daemon has announced the configuration as applied;
  // throws when it exits first or stays silent for `timeout_ms`.
  void start(int timeout_ms = 120000);
  // SIGTERM, then waits; throws unless the daemon ends with status 107.
  void stop(int timeout_ms = 120000);
  // Starts the daemon, runs `body()` and stops the daemon: the peak
  // resident set once `body` is done. A failure of `body` carries the last
  // lines of the daemon's log and standard error.
  template <class body_t>
  long run(body_t&& body) {
    start();
    try {
      body();
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string(e.what()) + "\n" + diagnostics());
    }
    const long rss = peak_rss_kib();
    stop();
    return rss;
  }

  pid_t pid() const { return pid_; }
  const std::string& sorter_socket() const { return sorter_socket_; }
  const std::string& client_socket() const { return client_socket_; }
  const std::string& spool_dir() const { return spool_dir_; }

  // Peak resident set (VmHWM) of the daemon in KiB, and its reset to the
  // current resident set so that the next case is measured on its own.
  long peak_rss_kib() const;
  void reset_peak_rss() const;

  // CPU time the daemon's threads have used so far, in seconds (from the
  // scheduler's per-thread accounting, exact to the nanosecond).
  double cpu_seconds() const;

  // The last lines of the daemon's log and standard error, for failures.
  std::string diagnostics() const;

 private:
  void supervise();
  int wait_exit(int timeout_ms);

  std::string daemon_path_;
  std::string work_dir_;
  std::string spool_dir_;
  std::string sorter_socket_;
  std::string client_socket_;
  std::string log_path_;
  std::string stderr_path_;
  int log_level_;

  pid_t pid_ = -1;
  mq::util::unique_fd_t monitor_;
  std::thread supervisor_;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  bool gone_ = false;
  std::string failure_;
  std::uint32_t revision_ = 0;
};

}  // namespace mq::bench
