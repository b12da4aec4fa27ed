#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>

namespace mq::bench {

// Starts the real daemon under mq-overseer, with a configuration file that
// points at a private spool directory and sockets, and tells when the
// daemon is ready. A daemon that dies is not started again: the run fails.
class daemon_runner_t {
 public:
  // `log_level` is an ov.LogLevel value. Files go to `work_dir`.
  daemon_runner_t(std::string daemon_path, const std::string& work_dir, const std::string& spool_dir, int log_level);
  ~daemon_runner_t();
  daemon_runner_t(const daemon_runner_t&) = delete;
  daemon_runner_t& operator=(const daemon_runner_t&) = delete;

  // Returns once the daemon has announced the configuration as applied;
  // throws when it ends first or stays silent for `timeout_ms`.
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

  // The daemon's.
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

  // The last lines of the daemon's log and of mq-overseer's output (the
  // daemon's standard error among them), for failures.
  std::string diagnostics() const;

 private:
  // Waits up to `timeout_ms` for mq-overseer to end (then kills it); its
  // status as waitpid gives it.
  int wait_exit(int timeout_ms);

  std::string daemon_path_;
  std::string work_dir_;
  std::string spool_dir_;
  std::string sorter_socket_;
  std::string client_socket_;
  std::string log_path_;
  std::string output_path_;
  int log_level_;

  pid_t overseer_ = -1;
  pid_t pid_ = -1;
};

}  // namespace mq::bench
