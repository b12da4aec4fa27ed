// Case: flush calls per put and per lifecycle.
#include "bench.h"

namespace mq::bench {

// fsync, fdatasync and syncfs calls per put of 10 KiB at 8x16, counted
// with strace in a run of their own (tracing slows every system call down).
void bench_t::flush_round(int run) {
  const std::uint64_t size = 10 * 1024;
  const options_t::load_t load{8, 16};
  const std::size_t n = o_.entries();
  const std::vector<std::string> calls{"fsync", "fdatasync", "syncfs"};
  payload_t payload(size, 1);
  const std::size_t daemon_n = o_.daemon_entries(load, size);
  auto per_put = [&](std::map<std::string, long> counts, std::size_t puts) {
    return static_cast<double>(counts["fsync"] + counts["fdatasync"] + counts["syncfs"]) / static_cast<double>(puts);
  };
  progress(run, "flush calls of bare and daemon puts of 10 KiB " + load_name(load));
  double bare_flushes = 0;
  {
    std::string dir = fresh_dir("bare");
    bare_store_t bare(dir + "/spool", o_.bare_sync);
    syscall_counter_t counter(::getpid(), calls, root_ + "/strace-bare.txt");
    for (std::size_t i = 0; i < n; ++i) bare.put(bench_metadata(i, size), payload.fd(), size);
    bare_flushes = per_put(counter.stop(), n);
  }
  std::string dir = fresh_dir("daemon");
  daemon_runner_t daemon(o_.daemon, dir, dir + "/spool", o_.log_level);
  daemon.start();
  double daemon_flushes = 0;
  long rss = 0;
  try {
    sorter_driver_t sorter(daemon.sorter_socket(), load.connections);
    daemon.reset_peak_rss();
    syscall_counter_t counter(daemon.pid(), calls, root_ + "/strace-daemon.txt");
    sorter.run(
        daemon_n, load.in_flight,
        [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int& fd) {
          make_put(i, size, q);
          fd = payload.fd();
        },
        [&](std::size_t, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t&) { check_put(a); });
    daemon_flushes = per_put(counter.stop(), daemon_n);
    rss = daemon.peak_rss_kib();
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(e.what()) + "\n" + daemon.diagnostics());
  }
  daemon.stop();
  if (!o_.keep) boost::filesystem::remove_all(dir);
  report_.figure("put 10 KiB " + load_name(load), "flushes/put", false).add(daemon_flushes, bare_flushes, rss);

  progress(run, "flush calls of bare and daemon lifecycles of 10 KiB " + load_name(load));
  payload_t second(size, 2);
  {
    std::string bare_dir = fresh_dir("bare");
    bare_store_t bare(bare_dir + "/spool", o_.bare_sync);
    syscall_counter_t counter(::getpid(), calls, root_ + "/strace-bare.txt");
    bare_cycles(bare, n, size, payload, second);
    bare_flushes = per_put(counter.stop(), n);
  }
  dir = fresh_dir("daemon");
  daemon_runner_t cycler(o_.daemon, dir, dir + "/spool", o_.log_level);
  cycler.start();
  try {
    sorter_driver_t sorter(cycler.sorter_socket(), load.connections);
    cycler.reset_peak_rss();
    syscall_counter_t counter(cycler.pid(), calls, root_ + "/strace-daemon.txt");
    daemon_cycles(sorter, daemon_n, load.in_flight, size, payload, second);
    daemon_flushes = per_put(counter.stop(), daemon_n);
    rss = cycler.peak_rss_kib();
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(e.what()) + "\n" + cycler.diagnostics());
  }
  cycler.stop();
  if (!o_.keep) boost::filesystem::remove_all(dir);
  report_.figure("lifecycle 10 KiB " + load_name(load), "flushes/cycle", false).add(daemon_flushes, bare_flushes, rss);
}

}  // namespace mq::bench
