#pragma once

// The benchmark: its options, the pieces its cases share, and the cases,
// one file each.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

#include "bare.h"
#include "daemon_runner.h"
#include "drivers.h"
#include "limit.h"
#include "payload.h"
#include "report.h"
#include "scrape.h"
#include "stats.h"
#include "store_log.h"
#include "syscall_counter.h"
#include "tool_runner.h"

namespace mq::bench {

// Sizes in 64 bits, so that no product of them is taken in int.
constexpr std::uint64_t kib = 1024, mib = 1024 * kib;

struct options_t {
  std::string daemon;
  std::string mqctl;
  std::string dir;
  std::string json;
  std::string markdown;
  int runs = 5;
  double scale = 1.0;
  bool smoke = false;
  bool bare_sync = true;
  bool keep = false;
  int log_level = 3;  // LOG_LEVEL_NOTICE
  std::string only;

  std::vector<std::uint64_t> sizes;
  struct load_t {
    int connections;
    int in_flight;
    // Requests in flight across all connections.
    std::size_t total() const { return static_cast<std::size_t>(connections) * static_cast<std::size_t>(in_flight); }
  };
  std::vector<load_t> loads;
  std::vector<std::uint64_t> walk_sizes;
  std::uint64_t check_entries = 1000000;   // the health check case's queue
  std::size_t large_recipients = 1500000;  // the large entry case's
  std::uint64_t update_size = 10 * kib;
  // Puts all in flight at once, for the daemon's peak memory.
  load_t burst_load{8, 125};
  int stat_repeats = 10;
  int page_repeats = 9;

  // Every put, update and remove costs a few synchronous disk flushes, so
  // their counts are small; gets cost none and cycle over the entries.
  std::size_t entries() const {
    if (smoke) return 20;
    auto n = static_cast<std::size_t>(300 * scale);
    return n < 10 ? 10 : n;
  }
  // With many requests in flight, a few hundred would be mostly filling and
  // draining the pipeline: at least 40 rounds of them, within 512 MiB.
  std::size_t daemon_entries(const load_t& load, std::uint64_t size) const {
    const std::size_t in_flight = load.total();
    const std::size_t steady = std::min<std::size_t>(40 * in_flight, (512ull << 20) / size);
    return smoke ? entries() : std::max(entries(), steady);
  }
  std::size_t gets() const { return entries() * (smoke ? 2 : 10); }
  bool wanted(const std::string& group) const { return only.empty() || only.find(group) != std::string::npos; }
};

inline std::string size_name(std::uint64_t size) {
  if (size >= mib && size % mib == 0) return std::to_string(size / mib) + " MiB";
  if (size >= kib && size % kib == 0) return std::to_string(size / kib) + " KiB";
  return std::to_string(size) + " B";
}

inline std::string load_name(const options_t::load_t& l) {
  return std::to_string(l.connections) + "x" + std::to_string(l.in_flight);
}

inline void require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("check failed: " + what);
}

// Rate and latencies of one batch, as figures.
struct op_figures_t {
  double rate = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  double cpu_ms = 0;  // per operation
};

inline op_figures_t figures_of(const batch_stats_t& b) {
  op_figures_t f;
  f.rate = b.seconds > 0 ? static_cast<double>(b.latencies.size()) / b.seconds : 0;
  f.p50_ms = percentile(b.latencies, 50) * 1e3;
  f.p99_ms = percentile(b.latencies, 99) * 1e3;
  f.cpu_ms = b.latencies.empty() ? 0 : b.cpu_seconds / static_cast<double>(b.latencies.size()) * 1e3;
  return f;
}

// Times `n` serial calls of `op` in the bare loop.
template <class F>
batch_stats_t time_serial(std::size_t n, F op) {
  batch_stats_t b;
  b.latencies.reserve(n);
  double cpu_start = thread_cpu_seconds();
  double start = now_seconds();
  for (std::size_t i = 0; i < n; ++i) {
    double t = now_seconds();
    op(i);
    b.latencies.push_back(now_seconds() - t);
  }
  b.seconds = now_seconds() - start;
  b.cpu_seconds = thread_cpu_seconds() - cpu_start;
  return b;
}

struct sorter_results_t {
  batch_stats_t put, get, update, remove;
  long put_rss = 0, get_rss = 0, update_rss = 0, remove_rss = 0;
};

class bench_t {
 public:
  bench_t(options_t options, std::string root) : o_(std::move(options)), root_(std::move(root)) {}

  void run();

  const report_t& report() const { return report_; }

 private:
  void progress(int run, const std::string& what) const {
    std::cerr << "mq-bench: run " << run + 1 << "/" << o_.runs << ": " << what << std::endl;
  }

  // A new empty directory; everything written before is flushed first so
  // that its writeback does not land in the next measurement.
  std::string fresh_dir(const std::string& name);

  // `body(daemon)` on a daemon of a fresh directory, which goes with it
  // unless --keep: the daemon's peak resident set once `body` is done.
  template <class F>
  long on_fresh_daemon(F&& body) {
    const std::string dir = fresh_dir("daemon");
    daemon_runner_t daemon(o_.daemon, dir, dir + "/spool", o_.log_level);
    const long rss = daemon.run([&] { body(daemon); });
    if (!o_.keep) boost::filesystem::remove_all(dir);
    return rss;
  }

  sorter_results_t bare_round(std::uint64_t size, std::size_t n, bool with_update, const payload_t& first,
                              const payload_t& second);

  // Groups of at most limit_store_t::group operations, each timed as a
  // whole: every operation of a group finishes with it.
  template <class F>
  static batch_stats_t time_groups(std::size_t n, F group) {
    batch_stats_t b;
    b.latencies.reserve(n);
    const double start = now_seconds();
    for (std::size_t at = 0; at < n; at += limit_store_t::group) {
      const std::size_t end = std::min(n, at + limit_store_t::group);
      const double t = now_seconds();
      group(at, end);
      b.latencies.insert(b.latencies.end(), end - at, now_seconds() - t);
    }
    b.seconds = now_seconds() - start;
    return b;
  }

  sorter_results_t limit_round(std::uint64_t size, std::size_t n, bool with_update, const payload_t& first,
                               const payload_t& second);

  void check_stat(client_driver_t& client, std::uint64_t messages, std::uint64_t bytes, const std::string& when);

  // The `i`th put, of `size` with `file`.
  static void make_put(std::size_t i, std::uint64_t size, const payload_t& file, request_t& q, int& fd);
  static sorter_driver_t::make_t puts(std::uint64_t size, const payload_t& file);
  static void check_put(const answer_t& a);
  // check_put; with `ids`, notes the new id of put i there.
  static sorter_driver_t::check_t checked_puts(std::vector<std::uint64_t>* ids = nullptr);

  static void make_get(std::uint64_t id, request_t& q);
  // The `i`th update: a new file of `size` (`second`), attempts and next access time.
  static void make_update(std::size_t i, std::uint64_t id, std::uint64_t size, const payload_t& second, request_t& q,
                          int& fd);

  // The answer names the entry and hands back its file; `content` receives it.
  static void check_get(std::uint64_t id, const answer_t& a, mq::util::unique_fd_t& fd, const payload_t& stored,
                        std::string& content);

  // Puts (and, unless `puts_only`, gets, updates and removes) through the
  // daemon under one load.
  sorter_results_t daemon_round(std::uint64_t size, std::size_t n, bool with_update, const options_t::load_t& load,
                                const payload_t& first, const payload_t& second, bool puts_only = false);

  // `in_flight` requests at once: by Little's law their mean latency is
  // in_flight / rate, shown beside the measured p50 and p99 (the bare loop
  // has one at a time).
  void add_ops(const std::string& case_name, const char* unit, const batch_stats_t& daemon, const batch_stats_t& bare,
               long rss, std::size_t in_flight, const batch_stats_t* limit = nullptr);

  void sorter_round(int run, std::uint64_t size);

  // `n` round trips of a get's frames, answered with `file` by a process
  // that does nothing else: what the sockets alone cost a get at 1x1.
  batch_stats_t floor_round(std::size_t n, const payload_t& file);

  // The Sorter's requests for message `i` of a cycle: put, get, update
  // (attempts and next access time, new file), remove.
  enum step_t : std::size_t { put_step, get_step, update_step, remove_step, steps };

  void make_cycle_step(std::size_t index, std::uint64_t size, const std::vector<std::uint64_t>& ids,
                       const payload_t& first, const payload_t& second, request_t& q, int& fd);

  void check_cycle_step(std::size_t index, std::uint64_t size, std::vector<std::uint64_t>& ids, const payload_t& first,
                        const answer_t& a, mq::util::unique_fd_t& fd, std::string& content);

  // `n` cycles through the daemon; per-step timings in step order.
  std::vector<batch_stats_t> daemon_cycles(sorter_driver_t& sorter, std::size_t n, int in_flight, std::uint64_t size,
                                           const payload_t& first, const payload_t& second);

  // The four steps serially in the bare loop, `n` times.
  std::vector<batch_stats_t> bare_cycles(bare_store_t& bare, std::size_t n, std::uint64_t size, const payload_t& first,
                                         const payload_t& second);

  // The cycles of a group at a time, each step grouped as the daemon does.
  double limit_cycles_seconds(limit_store_t& limit, std::size_t n, std::uint64_t size, const payload_t& first,
                              const payload_t& second);

  void lifecycle_round(int run);

  // Gets at 1x1 on one connection, first alone and then while 8x16 puts run
  // on eight others: what a Sorter reading its queue sees while mail
  // arrives.
  void mixed_round(int run);

  // Median of repeated timings of one page: the first, the middle or the
  // last one.
  struct page_times_t {
    double first = 0;
    double middle = 0;
    double last = 0;
  };

  template <class F>
  page_times_t time_pages(const walk_stats_t& walk, F page) {
    std::vector<double> first, middle, last;
    for (int i = 0; i < o_.page_repeats; ++i) {
      first.push_back(page(api::page_key_t{}));
      middle.push_back(page(walk.middle_key()));
      last.push_back(page(walk.last_key()));
    }
    return {percentile(first, 50), percentile(middle, 50), percentile(last, 50)};
  }

  void add_walk(const std::string& case_name, const walk_stats_t& daemon, const page_times_t& daemon_pages,
                const walk_stats_t& bare, const page_times_t& bare_pages, long rss);

  // The directory of a queue of `count` smtp-fresh entries (its spool below
  // it), filled on first use and kept for the later runs and cases.
  std::string filled_queue(int run, std::uint64_t count, bool arrival_order);

  void walk_round(int run, std::uint64_t count);

  // mqctl's streaming listings on the largest queue, due times against and
  // in arrival order: wall time and mqctl's own peak memory, beside a bare
  // walk of the same pages (1,000 entries) straight on the database.
  void mqctl_round(int run, std::uint64_t count);

  // Puts of 10 KiB all in flight at once (8 connections x 125 by default):
  // the daemon's peak resident set while it holds them.
  void burst_round(int run);

  // Hostile peers beside a normal one: the daemon's peak resident set
  // against the README's bound, and the normal peer's latency.
  void hostile_round(int run);
  void large_round(int run);

  // The requests of the log and freeze cases (store_log.h), 10 KiB each.
  log_requests_t log_requests();

  // fsync, fdatasync and syncfs calls per put of 10 KiB at 8x16, counted
  // with strace in a run of their own (tracing slows every system call down).
  void flush_round(int run);

  options_t o_;
  std::string root_;
  report_t report_;
};

}  // namespace mq::bench
