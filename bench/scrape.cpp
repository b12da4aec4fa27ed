#include "scrape.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bare.h"
#include "daemon_runner.h"
#include "drivers.h"
#include "metrics/exposition.h"
#include "metrics/queue_probe.h"
#include "stats.h"

namespace mq::bench {

namespace {

double scrape(const std::string& client_socket, std::uint64_t count) {
  const auto start = std::chrono::steady_clock::now();
  const auto sample = metrics::queue_probe_t::run(client_socket, std::chrono::minutes(2));
  const std::string text = metrics::render(&sample, {}, nullptr, static_cast<std::uint64_t>(std::time(nullptr)));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (sample.statuses[0].messages != count || text.empty())
    throw std::runtime_error("a scrape counts " + std::to_string(sample.statuses[0].messages) + " of " +
                             std::to_string(count) + " entries");
  return seconds;
}

// p99 of one Sorter's gets, one at a time, spread over the queue, while
// `scrapers` threads scrape back to back; a failed scrape fails the case.
double get_p99_amid_scrapes(const daemon_runner_t& daemon, std::uint64_t count, int scrapers) {
  std::atomic<bool> done{false};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(scrapers));
  for (int i = 0; i < scrapers; ++i) {
    threads.emplace_back([&] {
      while (!done) {
        try {
          scrape(daemon.client_socket(), count);
        } catch (const std::exception&) {
          ++failed;
        }
      }
    });
  }
  constexpr std::size_t gets = 2000;
  batch_stats_t stats;
  try {
    sorter_driver_t sorter(daemon.sorter_socket(), 1);
    stats = sorter.run(
        gets, 1,
        [&](std::size_t i, request_t& q, int&) {
          q.set_tag(request_t::GET_ENTRY_REQUEST);
          q.set_entry_id(1 + i * (count / gets));
        },
        [](std::size_t, const answer_t& r, mq::util::unique_fd_t&) {
          if (r.has_error()) throw std::runtime_error("a get failed: " + r.error().what());
        });
  } catch (...) {
    done = true;
    for (auto& t : threads) t.join();
    throw;
  }
  done = true;
  for (auto& t : threads) t.join();
  if (failed) throw std::runtime_error(std::to_string(failed) + " scrapes failed beside the gets");
  return percentile(stats.latencies, 99);
}

}  // namespace

void scrape_round(report_t& report, const std::string& daemon_path, const std::string& dir, std::uint64_t count,
                  int log_level, int repeats, bool bare_sync) {
  const std::string spool = dir + "/spool";
  std::vector<double> bare;
  {
    bare_store_t store(spool, bare_sync);
    const api::page_key_t after_zero{std::numeric_limits<std::int64_t>::max(), 0};
    for (int i = 0; i < repeats; ++i) {
      mq::store::queue_stats_t s;
      double seconds = store.queue_stat(s);
      // Only one status is filled; the other pages are empty and cheaper.
      for (int status = 0; status < 4; ++status)
        seconds += store.page(bare_store_t::pages_t::briefs, mq::store::smtp_fresh, 1, after_zero);
      bare.push_back(seconds);
    }
  }

  daemon_runner_t daemon(daemon_path, dir, spool, log_level);
  std::vector<double> alone, during_walk;
  double get_alone = 0, get_amid_scrapes = 0;
  const long rss = daemon.run([&] {
    daemon.reset_peak_rss();
    for (int i = 0; i < repeats; ++i) alone.push_back(scrape(daemon.client_socket(), count));
    std::atomic<bool> walking{true};
    std::exception_ptr walk_error;
    std::thread walker([&] {
      try {
        client_driver_t(daemon.client_socket()).walk(mq::SMTP_FRESH, 100);
      } catch (...) {
        walk_error = std::current_exception();
      }
      walking = false;
    });
    // One scrape a second, as a scraper would: back to back, the statistics
    // requests (a full count each) would be most of the walk's time.
    for (int i = 0; i < repeats && (walking || during_walk.empty()); ++i) {
      during_walk.push_back(scrape(daemon.client_socket(), count));
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    walker.join();
    if (walk_error) std::rethrow_exception(walk_error);
    get_alone = get_p99_amid_scrapes(daemon, count, 0);
    get_amid_scrapes = get_p99_amid_scrapes(daemon, count, 40);
  });
  const std::string n = std::to_string(count);
  report.figure("scrape " + n, "ms", false).add(percentile(alone, 50) * 1e3, percentile(bare, 50) * 1e3, rss);
  report.figure("scrape " + n + " during walk p99", "ms", false)
      .add(percentile(during_walk, 99) * 1e3, percentile(bare, 50) * 1e3, rss);
  // Against the same gets without scrapes, in the bare column.
  report.figure("get p99 amid 40 scrapes " + n, "ms", false).add(get_amid_scrapes * 1e3, get_alone * 1e3, rss);
}

}  // namespace mq::bench
