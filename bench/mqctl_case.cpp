// Case: mqctl on a large queue.
#include "bench.h"

namespace mq::bench {

void bench_t::mqctl_round(int run, std::uint64_t count) {
  const std::string n = std::to_string(count);
  for (bool arrival_order : {false, true}) {
    const std::string dir = filled_queue(run, count, arrival_order);
    const std::string spool = dir + "/spool";
    double bare_seconds = 0;
    {
      progress(run, "bare walk of " + n + " entries by 1000");
      bare_store_t bare(spool, o_.bare_sync);
      bare_seconds = bare.walk(bare_store_t::pages_t::briefs, mq::store::smtp_fresh, 1000).seconds;
    }
    progress(run, "mqctl on " + n + " entries");
    daemon_runner_t daemon(o_.daemon, dir, spool, o_.log_level);
    tool_run_t count_run, shape_run;
    daemon.run([&] {
      auto mqctl = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {o_.mqctl, "--client-socket", daemon.client_socket(), "--sorter-socket",
                                     daemon.sorter_socket(), "--timeout", "0"});
        return run_tool(words, dir + "/mqctl.out");
      };
      count_run = mqctl({"list", "smtp-fresh", "--count", "--domain", "example.org"});
      shape_run = mqctl({"shape"});
    });
    require(std::stoull(count_run.output) == (count + 9) / 10, "mqctl counts the entries at example.org");
    require(shape_run.output.find("example.org") != std::string::npos, "mqctl shape shows example.org");
    std::string name = "mqctl " + n;
    if (arrival_order) name += " (due in arrival order)";
    report_.figure(name + " list --count --domain", "s", false)
        .add(count_run.seconds, bare_seconds, count_run.peak_rss_kib);
    report_.figure(name + " shape", "s", false).add(shape_run.seconds, bare_seconds, shape_run.peak_rss_kib);
  }
}

}  // namespace mq::bench
