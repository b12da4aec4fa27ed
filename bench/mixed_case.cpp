// Case: gets alone and while puts go on.
#include "bench.h"

namespace mq::bench {

void bench_t::mixed_round(int run) {
  const std::uint64_t size = 10 * kib;
  const options_t::load_t puts_load = o_.smoke ? options_t::load_t{2, 4} : options_t::load_t{8, 16};
  payload_t first(size, 1);
  const std::size_t n = o_.entries();
  const std::size_t puts_n = o_.daemon_entries(puts_load, size);
  progress(run, "gets of 10 KiB alone and during " + load_name(puts_load) + " puts");
  batch_stats_t alone, during;
  const long rss = on_fresh_daemon([&](daemon_runner_t& daemon) {
    sorter_driver_t reader(daemon.sorter_socket(), 1);
    sorter_driver_t writer(daemon.sorter_socket(), puts_load.connections);
    std::vector<std::uint64_t> ids(n, 0);
    writer.run(n, puts_load.in_flight, puts(size, first), checked_puts(&ids));
    std::string content;
    auto gets = [&](std::size_t count) {
      return reader.run(
          count, 1, [&](std::size_t i, request_t& q, int&) { make_get(ids[i % n], q); },
          [&](std::size_t i, const answer_t& a, mq::util::unique_fd_t& fd) {
            check_get(ids[i % n], a, fd, first, content);
          });
    };
    alone = gets(o_.gets());
    std::atomic<bool> done{false};
    std::exception_ptr put_error;
    std::thread putter([&] {
      try {
        writer.run(puts_n, puts_load.in_flight, puts(size, first), checked_puts());
      } catch (...) {
        put_error = std::current_exception();
      }
      done = true;
    });
    // Only gets that overlap the puts count.
    while (!done) {
      auto batch = gets(10);
      if (done) break;
      during.latencies.insert(during.latencies.end(), batch.latencies.begin(), batch.latencies.end());
      during.seconds += batch.seconds;
    }
    putter.join();
    if (put_error) std::rethrow_exception(put_error);
    require(!during.latencies.empty(), "gets ran while the puts did");
  });
  // The gets alone stand in the bare column: the ratio is how much of
  // their speed the gets keep while the puts run.
  const auto a = figures_of(alone);
  const auto d = figures_of(during);
  const std::string name = "mixed 10 KiB gets 1x1 during " + load_name(puts_load) + " puts (bare = gets alone)";
  report_.figure(name, "p50 ms", false).add(d.p50_ms, a.p50_ms, rss);
  report_.figure(name, "p99 ms", false).add(d.p99_ms, a.p99_ms, rss);
}

}  // namespace mq::bench
