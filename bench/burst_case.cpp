// Case: puts all in flight at once, for the peak memory.
#include "bench.h"

namespace mq::bench {

void bench_t::burst_round(int run) {
  const std::uint64_t size = 10 * kib;
  const auto& load = o_.burst_load;
  const std::size_t n = load.total();
  payload_t first(size, 1);
  payload_t second(size, 2);
  progress(run, "bare and daemon " + std::to_string(n) + " puts of 10 KiB at once");
  sorter_results_t bare = bare_round(size, n, false, first, second);
  sorter_results_t d = daemon_round(size, n, false, load, first, second, true);
  add_ops("put 10 KiB " + load_name(load) + " (all in flight)", "puts/s", d.put, bare.put, d.put_rss, load.total());
}

}  // namespace mq::bench
