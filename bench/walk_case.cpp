// Case: walks of a queue page by page, and its statistics.
#include "bench.h"

namespace mq::bench {

void bench_t::walk_round(int run, std::uint64_t count) {
  const std::uint64_t limit = 100;
  const std::string dir = filled_queue(run, count, false);
  const std::string spool = dir + "/spool";

  walk_stats_t bare_ids, bare_briefs;
  page_times_t bare_id_pages, bare_brief_pages;
  std::vector<double> bare_stats;
  auto run_bare = [&] {
    progress(run, "bare walks of " + std::to_string(count) + " entries");
    bare_store_t bare(spool, o_.bare_sync);
    using pages_t = bare_store_t::pages_t;
    bare_ids = bare.walk(pages_t::ids, mq::store::smtp_fresh, limit);
    bare_briefs = bare.walk(pages_t::briefs, mq::store::smtp_fresh, limit);
    bare_id_pages =
        time_pages(bare_ids, [&](auto key) { return bare.page(pages_t::ids, mq::store::smtp_fresh, limit, key); });
    bare_brief_pages = time_pages(
        bare_briefs, [&](auto key) { return bare.page(pages_t::briefs, mq::store::smtp_fresh, limit, key); });
    for (int i = 0; i < o_.stat_repeats; ++i) {
      mq::store::queue_stats_t s;
      bare_stats.push_back(bare.queue_stat(s));
      require(s.stats[mq::store::smtp_fresh].total_messages == count, "bare statistics count the queue");
    }
  };
  if (run % 2 == 0) run_bare();

  progress(run, "daemon walks of " + std::to_string(count) + " entries");
  daemon_runner_t daemon(o_.daemon, dir, spool, o_.log_level);
  walk_stats_t ids, chunks;
  page_times_t id_pages, chunk_pages;
  std::vector<double> stats;
  const long rss = daemon.run([&] {
    sorter_driver_t sorter(daemon.sorter_socket(), 1);
    client_driver_t client(daemon.client_socket());
    daemon.reset_peak_rss();
    ids = sorter.walk(mq::SMTP_FRESH, limit);
    chunks = client.walk(mq::SMTP_FRESH, limit);
    id_pages = time_pages(ids, [&](auto key) { return sorter.page(mq::SMTP_FRESH, limit, key); });
    chunk_pages = time_pages(chunks, [&](auto key) { return client.page(mq::SMTP_FRESH, limit, key); });
    for (int i = 0; i < o_.stat_repeats; ++i) {
      mq::MailQuarantine2ClientMessage s;
      stats.push_back(client.queue_stat(s));
      require(s.smtp_fresh_stat().total_messages() == count, "GET_QUEUE_STAT counts the queue");
    }
  });
  if (run % 2 == 1) run_bare();
  require(bare_ids.entries == count && bare_briefs.entries == count, "bare walks see every entry once");
  require(ids.entries == count,
          "GET_ENTRY_IDS walk sees " + std::to_string(ids.entries) + " of " + std::to_string(count) + " entries");
  require(chunks.entries == count,
          "GET_QUEUE_CHUNK walk sees " + std::to_string(chunks.entries) + " of " + std::to_string(count) + " entries");

  std::string n = std::to_string(count);
  add_walk("walk " + n + " ids", ids, id_pages, bare_ids, bare_id_pages, rss);
  add_walk("walk " + n + " chunks", chunks, chunk_pages, bare_briefs, bare_brief_pages, rss);
  report_.figure("stat " + n, "ms", false).add(percentile(stats, 50) * 1e3, percentile(bare_stats, 50) * 1e3, rss);
}

}  // namespace mq::bench
