// Case: flush calls per put and per lifecycle.
#include "bench.h"

namespace mq::bench {

void bench_t::flush_round(int run) {
  const std::uint64_t size = 10 * kib;
  const options_t::load_t load{8, 16};
  const std::size_t n = o_.entries();
  const std::vector<std::string> calls{"fsync", "fdatasync", "syncfs"};
  payload_t payload(size, 1), second(size, 2);
  const std::size_t daemon_n = o_.daemon_entries(load, size);
  // Flush calls per put or per cycle: of `bare(store)` in this process, and
  // of `daemon(sorter)` in the daemon's.
  const auto count = [&](const std::string& what, const std::string& case_name, const std::string& unit, auto bare,
                         auto daemon) {
    const auto per_op = [&](std::map<std::string, long> counts, std::size_t ops) {
      return static_cast<double>(counts["fsync"] + counts["fdatasync"] + counts["syncfs"]) / static_cast<double>(ops);
    };
    progress(run, "flush calls of bare and daemon " + what + " of 10 KiB " + load_name(load));
    double bare_flushes = 0, daemon_flushes = 0;
    {
      bare_store_t store(fresh_dir("bare") + "/spool", o_.bare_sync);
      syscall_counter_t counter(::getpid(), calls, root_ + "/strace-bare.txt");
      bare(store);
      bare_flushes = per_op(counter.stop(), n);
    }
    const long rss = on_fresh_daemon([&](daemon_runner_t& runner) {
      sorter_driver_t sorter(runner.sorter_socket(), load.connections);
      runner.reset_peak_rss();
      syscall_counter_t counter(runner.pid(), calls, root_ + "/strace-daemon.txt");
      daemon(sorter);
      daemon_flushes = per_op(counter.stop(), daemon_n);
    });
    report_.figure(case_name, unit, false).add(daemon_flushes, bare_flushes, rss);
  };
  count(
      "puts", "put 10 KiB " + load_name(load), "flushes/put",
      [&](bare_store_t& bare) {
        const mq::store::shared_file_t file(::dup(payload.fd()), size);
        for (std::size_t i = 0; i < n; ++i) bare.put(bench_metadata(i, size), file);
      },
      [&](sorter_driver_t& sorter) { sorter.run(daemon_n, load.in_flight, puts(size, payload), checked_puts()); });
  count(
      "lifecycles", "lifecycle 10 KiB " + load_name(load), "flushes/cycle",
      [&](bare_store_t& bare) { bare_cycles(bare, n, size, payload, second); },
      [&](sorter_driver_t& sorter) { daemon_cycles(sorter, daemon_n, load.in_flight, size, payload, second); });
}

}  // namespace mq::bench
