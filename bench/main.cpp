// mq-bench: drives the real daemon over its sockets and sets each figure
// beside the bare cost of the same work on the same machine, in one run.

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
#include "syscall_counter.h"
#include "tool_runner.h"

namespace po = boost::program_options;

namespace mq::bench {

namespace {

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
  };
  std::vector<load_t> loads;
  std::vector<std::uint64_t> walk_sizes;
  std::uint64_t update_size = 10 * 1024;
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
    const auto in_flight = static_cast<std::size_t>(load.connections * load.in_flight);
    const std::size_t steady = std::min<std::size_t>(40 * in_flight, (512ull << 20) / size);
    return smoke ? entries() : std::max(entries(), steady);
  }
  std::size_t gets() const { return entries() * (smoke ? 2 : 10); }
  bool wanted(const std::string& group) const { return only.empty() || only.find(group) != std::string::npos; }
};

std::string size_name(std::uint64_t size) {
  if (size >= 1024 * 1024 && size % (1024 * 1024) == 0) return std::to_string(size / (1024 * 1024)) + " MiB";
  if (size >= 1024 && size % 1024 == 0) return std::to_string(size / 1024) + " KiB";
  return std::to_string(size) + " B";
}

std::string load_name(const options_t::load_t& l) {
  return std::to_string(l.connections) + "x" + std::to_string(l.in_flight);
}

void require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("check failed: " + what);
}

// Rate and latencies of one batch, as figures.
struct op_figures_t {
  double rate = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  double cpu_ms = 0;  // per operation
};

op_figures_t figures_of(const batch_stats_t& b) {
  op_figures_t f;
  f.rate = b.seconds > 0 ? static_cast<double>(b.latencies.size()) / b.seconds : 0;
  f.p50_ms = percentile(b.latencies, 50) * 1e3;
  f.p99_ms = percentile(b.latencies, 99) * 1e3;
  f.cpu_ms = b.latencies.empty() ? 0 : b.cpu_seconds / static_cast<double>(b.latencies.size()) * 1e3;
  return f;
}

double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
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

  void run() {
    for (int run = 0; run < o_.runs; ++run) {
      if (o_.wanted("put") || o_.wanted("get") || o_.wanted("update") || o_.wanted("remove")) {
        for (auto size : o_.sizes) sorter_round(run, size);
      }
      if (o_.wanted("walk") || o_.wanted("stat")) {
        for (auto count : o_.walk_sizes) walk_round(run, count);
      }
      if (o_.wanted("mqctl") && !o_.walk_sizes.empty()) {
        mqctl_round(run, *std::max_element(o_.walk_sizes.begin(), o_.walk_sizes.end()));
      }
      if (o_.wanted("scrape") && !o_.walk_sizes.empty()) {
        const auto n = *std::max_element(o_.walk_sizes.begin(), o_.walk_sizes.end());
        progress(run, "scrapes of " + std::to_string(n) + " entries");
        scrape_round(report_, o_.daemon, filled_queue(run, n, false), n, o_.log_level, o_.stat_repeats, o_.bare_sync);
      }
      if (o_.wanted("lifecycle")) lifecycle_round(run);
      if (o_.wanted("mixed")) mixed_round(run);
      if (o_.wanted("burst")) burst_round(run);
      if (o_.wanted("flush")) {
        if (syscall_counter_t::available()) {
          flush_round(run);
        } else if (run == 0) {
          std::cerr << "mq-bench: no strace here, flush calls not counted" << std::endl;
        }
      }
    }
  }

  const report_t& report() const { return report_; }

 private:
  void progress(int run, const std::string& what) {
    std::cerr << "mq-bench: run " << run + 1 << "/" << o_.runs << ": " << what << std::endl;
  }

  // A new empty directory; everything written before is flushed first so
  // that its writeback does not land in the next measurement.
  std::string fresh_dir(const std::string& name) {
    std::string path = root_ + "/" + name;
    boost::filesystem::remove_all(path);
    boost::filesystem::create_directories(path);
    ::sync();
    return path;
  }

  sorter_results_t bare_round(std::uint64_t size, std::size_t n, bool with_update, const payload_t& first,
                              const payload_t& second) {
    sorter_results_t r;
    std::string dir = fresh_dir("bare");
    {
      bare_store_t bare(dir + "/spool", o_.bare_sync);
      std::vector<std::uint64_t> ids(n);
      r.put = time_serial(n, [&](std::size_t i) { ids[i] = bare.put(bench_metadata(i, size), first.fd(), size); });
      std::string content;
      r.get = time_serial(o_.gets(), [&](std::size_t i) {
        auto m = bare.get(static_cast<std::int64_t>(ids[i % n]), content);
        require(content == first.bytes() && m.message_size == size, "bare get returns the stored file");
      });
      if (with_update) {
        r.update = time_serial(n, [&](std::size_t i) {
          mq::store::entry_metadata_update_t u;
          u.attempts = 1;
          u.next_access_ts = 1800000000 + i;
          bare.update_file(static_cast<std::int64_t>(ids[i]), std::move(u), second.fd(), size);
        });
        r.remove = time_serial(n, [&](std::size_t i) { bare.remove(static_cast<std::int64_t>(ids[i])); });
      }
    }
    boost::filesystem::remove_all(dir);
    return r;
  }

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
                               const payload_t& second) {
    sorter_results_t r;
    std::string dir = fresh_dir("limit");
    {
      limit_store_t limit(dir + "/spool");
      mq::store::shared_file_t one(::dup(first.fd()), size), two(::dup(second.fd()), size);
      std::vector<std::int64_t> ids;
      r.put = time_groups(n, [&](std::size_t at, std::size_t end) {
        std::vector<mq::store::entry_metadata_t> metadata;
        for (std::size_t i = at; i < end; ++i) metadata.push_back(bench_metadata(i, size));
        auto added = limit.put_group(std::move(metadata), one);
        ids.insert(ids.end(), added.begin(), added.end());
      });
      r.get = limit.get_all(ids, o_.gets(), first.bytes());
      if (with_update) {
        auto slice = [&](std::size_t at, std::size_t end) {
          return std::vector<std::int64_t>(ids.begin() + static_cast<std::ptrdiff_t>(at),
                                           ids.begin() + static_cast<std::ptrdiff_t>(end));
        };
        r.update = time_groups(n, [&](std::size_t at, std::size_t end) { limit.update_group(slice(at, end), two); });
        r.remove = time_groups(n, [&](std::size_t at, std::size_t end) { limit.remove_group(slice(at, end)); });
        limit.finish();
      }
    }
    boost::filesystem::remove_all(dir);
    return r;
  }

  void check_stat(client_driver_t& client, std::uint64_t messages, std::uint64_t bytes, const std::string& when) {
    mq::MailQuarantine2ClientMessage stat;
    client.queue_stat(stat);
    require(stat.smtp_fresh_stat().total_messages() == messages && stat.smtp_fresh_stat().total_bytes() == bytes,
            "GET_QUEUE_STAT " + when + ": " + std::to_string(stat.smtp_fresh_stat().total_messages()) +
                " messages of " + std::to_string(stat.smtp_fresh_stat().total_bytes()) + " bytes, expected " +
                std::to_string(messages) + " of " + std::to_string(bytes));
  }

  static void make_put(std::size_t i, std::uint64_t size, mq::Sorter2MailQuarantineMessage& q) {
    q.set_tag(mq::Sorter2MailQuarantineMessage::PUT_ENTRY_REQUEST);
    q.set_status(mq::SMTP_FRESH);
    auto m = bench_metadata(i, size);
    auto* e = q.mutable_entry();
    e->set_session_id(*m.session_id);
    e->set_message_size(size);
    e->set_received_ts(m.received_ts);
    e->set_next_access_ts(m.next_access_ts);
    auto* c = e->mutable_smtp_connect();
    c->set_helo(*m.smtp_connect.helo);
    c->set_address(*m.smtp_connect.address);
    c->set_port(*m.smtp_connect.port);
    c->set_proto(*m.smtp_connect.proto);
    e->mutable_smtp_sender()->set_sender(m.smtp_sender.sender);
    for (const auto& p : m.smtp_sender.esmtp) e->mutable_smtp_sender()->add_esmtp(p);
    for (const auto& rcpt : m.smtp_recipients) {
      auto* to = e->add_smtp_recipient();
      to->set_recipient(rcpt.recipient);
      for (const auto& p : rcpt.esmtp) to->add_esmtp(p);
    }
  }

  static void check_put(const mq::MailQuarantine2SorterMessage& a) {
    require(a.tag() == mq::MailQuarantine2SorterMessage::PUT_ENTRY_RESPONSE && a.has_entry_id() && a.entry_id() > 0,
            "PUT_ENTRY_RESPONSE with an entry id");
  }

  static void make_get(std::uint64_t id, mq::Sorter2MailQuarantineMessage& q) {
    q.set_tag(mq::Sorter2MailQuarantineMessage::GET_ENTRY_REQUEST);
    q.set_entry_id(id);
  }

  // The answer names the entry and hands back its file; `content` receives it.
  static void check_get(std::uint64_t id, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t& fd,
                        const payload_t& stored, std::string& content) {
    require(a.tag() == mq::MailQuarantine2SorterMessage::GET_ENTRY_RESPONSE && a.entry_id() == id && fd.present(),
            "GET_ENTRY_RESPONSE with the entry and a descriptor");
    read_whole(fd.get(), content);
    require(content == stored.bytes(), "GET_ENTRY_RESPONSE hands back the stored file");
  }

  // Puts (and, unless `puts_only`, gets, updates and removes) through the
  // daemon under one load.
  sorter_results_t daemon_round(std::uint64_t size, std::size_t n, bool with_update, const options_t::load_t& load,
                                const payload_t& first, const payload_t& second, bool puts_only = false) {
    sorter_results_t r;
    std::string dir = fresh_dir("daemon");
    daemon_runner_t daemon(o_.daemon, dir, dir + "/spool", o_.log_level);
    daemon.start();
    try {
      sorter_driver_t sorter(daemon.sorter_socket(), load.connections);
      require(sorter.store_path() == daemon.spool_dir(), "STORE_STATE_NOTIFICATION names the spool directory");
      client_driver_t client(daemon.client_socket());
      std::vector<std::uint64_t> ids(n, 0);

      daemon.reset_peak_rss();
      double cpu = daemon.cpu_seconds();
      r.put = sorter.run(
          n, load.in_flight,
          [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int& fd) {
            make_put(i, size, q);
            fd = first.fd();
          },
          [&](std::size_t i, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t&) {
            check_put(a);
            ids[i] = a.entry_id();
          });
      r.put.cpu_seconds = daemon.cpu_seconds() - cpu;
      r.put_rss = daemon.peak_rss_kib();
      check_stat(client, n, n * size, "after the puts");
      if (puts_only) {
        daemon.stop();
        if (!o_.keep) boost::filesystem::remove_all(dir);
        return r;
      }

      std::string content;
      daemon.reset_peak_rss();
      cpu = daemon.cpu_seconds();
      r.get = sorter.run(
          o_.gets(), load.in_flight,
          [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int&) { make_get(ids[i % n], q); },
          [&](std::size_t i, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t& fd) {
            check_get(ids[i % n], a, fd, first, content);
            require(a.entry().message_size() == size, "GET_ENTRY_RESPONSE hands back the stored size");
            require(a.entry().session_id() == session_id_for(i % n) && a.entry().smtp_recipient_size() == 2,
                    "GET_ENTRY_RESPONSE hands back the stored metadata");
          });
      r.get.cpu_seconds = daemon.cpu_seconds() - cpu;
      r.get_rss = daemon.peak_rss_kib();

      if (with_update) {
        daemon.reset_peak_rss();
        cpu = daemon.cpu_seconds();
        r.update = sorter.run(
            n, load.in_flight,
            [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int& fd) {
              q.set_tag(mq::Sorter2MailQuarantineMessage::UPDATE_ENTRY_REQUEST);
              q.set_entry_id(ids[i]);
              auto* u = q.mutable_entry_update();
              u->set_message_size(size);
              u->set_attempts(1);
              u->set_next_access_ts(1800000000 + i);
              fd = second.fd();
            },
            [&](std::size_t, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t&) {
              require(a.tag() == mq::MailQuarantine2SorterMessage::UPDATE_ENTRY_RESPONSE, "UPDATE_ENTRY_RESPONSE");
            });
        r.update.cpu_seconds = daemon.cpu_seconds() - cpu;
        r.update_rss = daemon.peak_rss_kib();
        // A few entries must now hand back the replacement file.
        std::size_t sample = n < 20 ? n : 20;
        sorter.run(
            sample, 1,
            [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int&) { make_get(ids[i * n / sample], q); },
            [&](std::size_t i, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t& fd) {
              check_get(ids[i * n / sample], a, fd, second, content);
              require(a.entry().attempts() == 1, "an update replaces the record");
            });

        daemon.reset_peak_rss();
        cpu = daemon.cpu_seconds();
        r.remove = sorter.run(
            n, load.in_flight,
            [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int&) {
              q.set_tag(mq::Sorter2MailQuarantineMessage::REMOVE_ENTRY_REQUEST);
              q.set_entry_id(ids[i]);
            },
            [&](std::size_t, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t&) {
              require(a.tag() == mq::MailQuarantine2SorterMessage::REMOVE_ENTRY_RESPONSE, "REMOVE_ENTRY_RESPONSE");
            });
        r.remove.cpu_seconds = daemon.cpu_seconds() - cpu;
        r.remove_rss = daemon.peak_rss_kib();
        check_stat(client, 0, 0, "after the removes");
      }
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string(e.what()) + "\n" + daemon.diagnostics());
    }
    daemon.stop();
    if (!o_.keep) boost::filesystem::remove_all(dir);
    return r;
  }

  // `in_flight` requests at once: by Little's law their mean latency is
  // in_flight / rate, shown beside the measured p50 and p99 (the bare loop
  // has one at a time).
  void add_ops(const std::string& case_name, const char* unit, const batch_stats_t& daemon, const batch_stats_t& bare,
               long rss, int in_flight, const batch_stats_t* limit = nullptr) {
    auto d = figures_of(daemon);
    auto b = figures_of(bare);
    if (limit) {
      report_.figure(case_name, unit, true).add(d.rate, b.rate, figures_of(*limit).rate, rss);
    } else {
      report_.figure(case_name, unit, true).add(d.rate, b.rate, rss);
    }
    report_.figure(case_name, std::to_string(in_flight) + "/rate ms", false)
        .add(d.rate > 0 ? in_flight * 1e3 / d.rate : 0, b.rate > 0 ? 1e3 / b.rate : 0, rss);
    report_.figure(case_name, "p50 ms", false).add(d.p50_ms, b.p50_ms, rss);
    report_.figure(case_name, "p99 ms", false).add(d.p99_ms, b.p99_ms, rss);
    report_.figure(case_name, "CPU ms/op", false).add(d.cpu_ms, b.cpu_ms, rss);
  }

  void sorter_round(int run, std::uint64_t size) {
    std::size_t n = o_.entries();
    bool with_update = size == o_.update_size && (o_.wanted("update") || o_.wanted("remove"));
    payload_t first(size, 1);
    payload_t second(size, 2);
    // The order alternates between runs so that neither side always
    // inherits the other's leftovers (dirty pages, cache state).
    sorter_results_t bare, limit;
    auto run_bare = [&] {
      progress(run, "bare " + size_name(size) + ", " + std::to_string(n) + " entries");
      bare = bare_round(size, n, with_update, first, second);
      progress(run, "limit " + size_name(size) + ", " + std::to_string(n) + " entries");
      limit = limit_round(size, n, with_update, first, second);
    };
    if (run % 2 == 0) run_bare();
    std::vector<sorter_results_t> daemon;
    for (const auto& load : o_.loads) {
      const std::size_t count = o_.daemon_entries(load, size);
      progress(run, "daemon " + size_name(size) + " " + load_name(load) + ", " + std::to_string(count) + " entries");
      daemon.push_back(daemon_round(size, count, with_update, load, first, second));
    }
    if (run % 2 == 1) run_bare();
    for (std::size_t l = 0; l < o_.loads.size(); ++l) {
      const auto& load = o_.loads[l];
      const auto& d = daemon[l];
      std::string suffix = " " + size_name(size) + " " + load_name(load);
      const int in_flight = load.connections * load.in_flight;
      add_ops("put" + suffix, "puts/s", d.put, bare.put, d.put_rss, in_flight, &limit.put);
      add_ops("get" + suffix, "gets/s", d.get, bare.get, d.get_rss, in_flight, &limit.get);
      if (with_update) {
        add_ops("update" + suffix, "updates/s", d.update, bare.update, d.update_rss, in_flight, &limit.update);
        add_ops("remove" + suffix, "removes/s", d.remove, bare.remove, d.remove_rss, in_flight, &limit.remove);
      }
    }
  }

  // The Sorter's requests for message `i` of a cycle: put, get, update
  // (attempts and next access time, new file), remove.
  enum step_t : std::size_t { put_step, get_step, update_step, remove_step, steps };

  void make_cycle_step(std::size_t index, std::uint64_t size, const std::vector<std::uint64_t>& ids,
                       const payload_t& first, const payload_t& second, mq::Sorter2MailQuarantineMessage& q, int& fd) {
    const std::size_t i = index / steps;
    switch (index % steps) {
      case put_step:
        make_put(i, size, q);
        fd = first.fd();
        break;
      case get_step:
        make_get(ids[i], q);
        break;
      case update_step: {
        q.set_tag(mq::Sorter2MailQuarantineMessage::UPDATE_ENTRY_REQUEST);
        q.set_entry_id(ids[i]);
        auto* u = q.mutable_entry_update();
        u->set_message_size(size);
        u->set_attempts(1);
        u->set_next_access_ts(1800000000 + i);
        fd = second.fd();
        break;
      }
      default:
        q.set_tag(mq::Sorter2MailQuarantineMessage::REMOVE_ENTRY_REQUEST);
        q.set_entry_id(ids[i]);
    }
  }

  void check_cycle_step(std::size_t index, std::uint64_t size, std::vector<std::uint64_t>& ids, const payload_t& first,
                        const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t& fd, std::string& content) {
    using answer_t = mq::MailQuarantine2SorterMessage;
    const std::size_t i = index / steps;
    switch (index % steps) {
      case put_step:
        check_put(a);
        ids[i] = a.entry_id();
        break;
      case get_step:
        check_get(ids[i], a, fd, first, content);
        require(a.entry().message_size() == size, "GET_ENTRY_RESPONSE hands back the stored size");
        break;
      case update_step:
        require(a.tag() == answer_t::UPDATE_ENTRY_RESPONSE, "UPDATE_ENTRY_RESPONSE");
        break;
      default:
        require(a.tag() == answer_t::REMOVE_ENTRY_RESPONSE, "REMOVE_ENTRY_RESPONSE");
    }
  }

  // `n` cycles through the daemon; per-step timings in step order.
  std::vector<batch_stats_t> daemon_cycles(sorter_driver_t& sorter, std::size_t n, int in_flight, std::uint64_t size,
                                           const payload_t& first, const payload_t& second) {
    std::vector<std::uint64_t> ids(n, 0);
    std::string content;
    return sorter.run_cycles(
        n, steps, in_flight,
        [&](std::size_t index, mq::Sorter2MailQuarantineMessage& q, int& fd) {
          make_cycle_step(index, size, ids, first, second, q, fd);
        },
        [&](std::size_t index, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t& fd) {
          check_cycle_step(index, size, ids, first, a, fd, content);
        });
  }

  // The four steps serially in the bare loop, `n` times.
  std::vector<batch_stats_t> bare_cycles(bare_store_t& bare, std::size_t n, std::uint64_t size, const payload_t& first,
                                         const payload_t& second) {
    std::vector<batch_stats_t> b(steps);
    std::string content;
    auto timed = [&](step_t step, auto op) {
      const double t = now_seconds();
      op();
      b[step].latencies.push_back(now_seconds() - t);
    };
    const double start = now_seconds();
    for (std::size_t i = 0; i < n; ++i) {
      std::int64_t id = 0;
      timed(put_step, [&] { id = static_cast<std::int64_t>(bare.put(bench_metadata(i, size), first.fd(), size)); });
      timed(get_step, [&] {
        bare.get(id, content);
        require(content == first.bytes(), "bare get returns the stored file");
      });
      timed(update_step, [&] {
        mq::store::entry_metadata_update_t u;
        u.attempts = 1;
        u.next_access_ts = 1800000000 + i;
        bare.update_file(id, std::move(u), second.fd(), size);
      });
      timed(remove_step, [&] { bare.remove(id); });
    }
    for (auto& s : b) s.seconds = now_seconds() - start;
    return b;
  }

  // The cycles of a group at a time, each step grouped as the daemon does.
  double limit_cycles_seconds(limit_store_t& limit, std::size_t n, std::uint64_t size, const payload_t& first,
                              const payload_t& second) {
    mq::store::shared_file_t one(::dup(first.fd()), size), two(::dup(second.fd()), size);
    const double start = now_seconds();
    for (std::size_t at = 0; at < n; at += limit_store_t::group) {
      const std::size_t end = std::min(n, at + limit_store_t::group);
      std::vector<mq::store::entry_metadata_t> metadata;
      for (std::size_t i = at; i < end; ++i) metadata.push_back(bench_metadata(i, size));
      auto ids = limit.put_group(std::move(metadata), one);
      limit.get_all(ids, ids.size(), first.bytes());
      limit.update_group(ids, two);
      limit.remove_group(ids);
    }
    limit.finish();
    return now_seconds() - start;
  }

  void lifecycle_round(int run) {
    const std::uint64_t size = 10 * 1024;
    payload_t first(size, 1);
    payload_t second(size, 2);
    const std::size_t n = o_.entries();
    std::vector<batch_stats_t> bare;
    double limit_seconds = 0;
    auto run_bare = [&] {
      progress(run, "bare and limit lifecycles of 10 KiB, " + std::to_string(n) + " messages");
      std::string dir = fresh_dir("bare");
      {
        bare_store_t store(dir + "/spool", o_.bare_sync);
        bare = bare_cycles(store, n, size, first, second);
      }
      dir = fresh_dir("limit");
      {
        limit_store_t limit(dir + "/spool");
        limit_seconds = limit_cycles_seconds(limit, n, size, first, second);
      }
      boost::filesystem::remove_all(dir);
    };
    if (run % 2 == 0) run_bare();
    std::vector<std::pair<std::vector<batch_stats_t>, long>> daemon;
    for (const auto& load : o_.loads) {
      const std::size_t count = o_.daemon_entries(load, size);
      progress(run, "daemon lifecycles of 10 KiB " + load_name(load) + ", " + std::to_string(count) + " messages");
      std::string dir = fresh_dir("daemon");
      daemon_runner_t runner(o_.daemon, dir, dir + "/spool", o_.log_level);
      runner.start();
      try {
        sorter_driver_t sorter(runner.sorter_socket(), load.connections);
        runner.reset_peak_rss();
        auto cycles = daemon_cycles(sorter, count, load.in_flight, size, first, second);
        daemon.emplace_back(std::move(cycles), runner.peak_rss_kib());
      } catch (const std::exception& e) {
        throw std::runtime_error(std::string(e.what()) + "\n" + runner.diagnostics());
      }
      runner.stop();
      if (!o_.keep) boost::filesystem::remove_all(dir);
    }
    if (run % 2 == 1) run_bare();
    const char* names[steps] = {"put", "get", "update", "remove"};
    const double bare_rate = static_cast<double>(n) / bare[put_step].seconds;
    const double limit_rate = static_cast<double>(n) / limit_seconds;
    for (std::size_t l = 0; l < o_.loads.size(); ++l) {
      const auto& [d, rss] = daemon[l];
      const std::string name = "lifecycle 10 KiB " + load_name(o_.loads[l]);
      const double rate = static_cast<double>(d[put_step].latencies.size()) / d[put_step].seconds;
      report_.figure(name, "cycles/s", true).add(rate, bare_rate, limit_rate, rss);
      for (std::size_t s = 0; s < steps; ++s) {
        const auto df = figures_of(d[s]);
        const auto bf = figures_of(bare[s]);
        report_.figure(name, std::string(names[s]) + " p50 ms", false).add(df.p50_ms, bf.p50_ms, rss);
        report_.figure(name, std::string(names[s]) + " p99 ms", false).add(df.p99_ms, bf.p99_ms, rss);
      }
    }
  }

  // Gets at 1x1 on one connection, first alone and then while 8x16 puts run
  // on eight others: what a Sorter reading its queue sees while mail
  // arrives.
  void mixed_round(int run) {
    const std::uint64_t size = 10 * 1024;
    const options_t::load_t puts_load = o_.smoke ? options_t::load_t{2, 4} : options_t::load_t{8, 16};
    payload_t first(size, 1);
    const std::size_t n = o_.entries();
    const std::size_t puts = o_.daemon_entries(puts_load, size);
    progress(run, "gets of 10 KiB alone and during " + load_name(puts_load) + " puts");
    std::string dir = fresh_dir("daemon");
    daemon_runner_t daemon(o_.daemon, dir, dir + "/spool", o_.log_level);
    daemon.start();
    batch_stats_t alone, during, put;
    try {
      sorter_driver_t reader(daemon.sorter_socket(), 1);
      sorter_driver_t writer(daemon.sorter_socket(), puts_load.connections);
      std::vector<std::uint64_t> ids(n, 0);
      auto make_put_i = [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int& fd) {
        make_put(i, size, q);
        fd = first.fd();
      };
      writer.run(n, puts_load.in_flight, make_put_i,
                 [&](std::size_t i, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t&) {
                   check_put(a);
                   ids[i] = a.entry_id();
                 });
      std::string content;
      auto gets = [&](std::size_t count) {
        return reader.run(
            count, 1, [&](std::size_t i, mq::Sorter2MailQuarantineMessage& q, int&) { make_get(ids[i % n], q); },
            [&](std::size_t i, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t& fd) {
              check_get(ids[i % n], a, fd, first, content);
            });
      };
      alone = gets(o_.gets());
      std::atomic<bool> done{false};
      std::exception_ptr put_error;
      std::thread putter([&] {
        try {
          put = writer.run(
              puts, puts_load.in_flight, make_put_i,
              [&](std::size_t, const mq::MailQuarantine2SorterMessage& a, mq::util::unique_fd_t&) { check_put(a); });
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
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string(e.what()) + "\n" + daemon.diagnostics());
    }
    const long rss = daemon.peak_rss_kib();
    daemon.stop();
    if (!o_.keep) boost::filesystem::remove_all(dir);
    // The gets alone stand in the bare column: the ratio is how much of
    // their speed the gets keep while the puts run.
    const auto a = figures_of(alone);
    const auto d = figures_of(during);
    const std::string name = "mixed 10 KiB gets 1x1 during " + load_name(puts_load) + " puts (bare = gets alone)";
    report_.figure(name, "p50 ms", false).add(d.p50_ms, a.p50_ms, rss);
    report_.figure(name, "p99 ms", false).add(d.p99_ms, a.p99_ms, rss);
  }

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
                const walk_stats_t& bare, const page_times_t& bare_pages, long rss) {
    report_.figure(case_name, "total s", false).add(daemon.seconds, bare.seconds, rss);
    report_.figure(case_name, "first page ms", false).add(daemon_pages.first * 1e3, bare_pages.first * 1e3, rss);
    report_.figure(case_name, "middle page ms", false).add(daemon_pages.middle * 1e3, bare_pages.middle * 1e3, rss);
    report_.figure(case_name, "last page ms", false).add(daemon_pages.last * 1e3, bare_pages.last * 1e3, rss);
  }

  // The directory of a queue of `count` smtp-fresh entries (its spool below
  // it), filled on first use and kept for the later runs and cases.
  std::string filled_queue(int run, std::uint64_t count, bool arrival_order) {
    const std::string dir = root_ + (arrival_order ? "/arrival-" : "/walk-") + std::to_string(count);
    if (!boost::filesystem::exists(dir + "/spool/queue.db")) {
      progress(run, "filling a queue of " + std::to_string(count) + " entries");
      boost::filesystem::create_directories(dir);
      fill_queue(dir + "/spool", count, mq::store::smtp_fresh, arrival_order);
      ::sync();
    }
    return dir;
  }

  void walk_round(int run, std::uint64_t count) {
    const std::uint64_t limit = 100;
    const std::string dir = filled_queue(run, count, false);
    const std::string spool = dir + "/spool";

    walk_stats_t bare_ids, bare_briefs;
    page_times_t bare_id_pages, bare_brief_pages;
    std::vector<double> bare_stats;
    auto run_bare = [&] {
      progress(run, "bare walks of " + std::to_string(count) + " entries");
      bare_store_t bare(spool, o_.bare_sync);
      bare_ids = bare.walk_ids(mq::store::smtp_fresh, limit);
      bare_briefs = bare.walk_briefs(mq::store::smtp_fresh, limit);
      bare_id_pages = time_pages(bare_ids, [&](auto key) { return bare.page_ids(mq::store::smtp_fresh, limit, key); });
      bare_brief_pages =
          time_pages(bare_briefs, [&](auto key) { return bare.page_briefs(mq::store::smtp_fresh, limit, key); });
      for (int i = 0; i < o_.stat_repeats; ++i) {
        mq::store::queue_stats_t s;
        bare_stats.push_back(bare.queue_stat(s));
        require(s.stats[mq::store::smtp_fresh].total_messages == count, "bare statistics count the queue");
      }
    };
    if (run % 2 == 0) run_bare();

    progress(run, "daemon walks of " + std::to_string(count) + " entries");
    daemon_runner_t daemon(o_.daemon, dir, spool, o_.log_level);
    daemon.start();
    walk_stats_t ids, chunks;
    page_times_t id_pages, chunk_pages;
    std::vector<double> stats;
    long rss = 0;
    try {
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
      rss = daemon.peak_rss_kib();
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string(e.what()) + "\n" + daemon.diagnostics());
    }
    daemon.stop();
    if (run % 2 == 1) run_bare();
    require(bare_ids.entries == count && bare_briefs.entries == count, "bare walks see every entry once");
    require(ids.entries == count,
            "GET_ENTRY_IDS walk sees " + std::to_string(ids.entries) + " of " + std::to_string(count) + " entries");
    require(chunks.entries == count, "GET_QUEUE_CHUNK walk sees " + std::to_string(chunks.entries) + " of " +
                                         std::to_string(count) + " entries");

    std::string n = std::to_string(count);
    add_walk("walk " + n + " ids", ids, id_pages, bare_ids, bare_id_pages, rss);
    add_walk("walk " + n + " chunks", chunks, chunk_pages, bare_briefs, bare_brief_pages, rss);
    report_.figure("stat " + n, "ms", false).add(percentile(stats, 50) * 1e3, percentile(bare_stats, 50) * 1e3, rss);
  }

  // mqctl's streaming listings on the largest queue, due times against and
  // in arrival order: wall time and mqctl's own peak memory, beside a bare
  // walk of the same pages (1,000 entries) straight on the database.
  void mqctl_round(int run, std::uint64_t count) {
    const std::string n = std::to_string(count);
    for (bool arrival_order : {false, true}) {
      const std::string dir = filled_queue(run, count, arrival_order);
      const std::string spool = dir + "/spool";
      double bare_seconds = 0;
      {
        progress(run, "bare walk of " + n + " entries by 1000");
        bare_store_t bare(spool, o_.bare_sync);
        bare_seconds = bare.walk_briefs(mq::store::smtp_fresh, 1000).seconds;
      }
      progress(run, "mqctl on " + n + " entries");
      daemon_runner_t daemon(o_.daemon, dir, spool, o_.log_level);
      daemon.start();
      const std::vector<std::string> sockets{
          o_.mqctl, "--client-socket", daemon.client_socket(), "--sorter-socket", daemon.sorter_socket(), "--timeout",
          "0"};
      auto mqctl = [&](std::vector<std::string> words) {
        std::vector<std::string> argv = sockets;
        argv.insert(argv.end(), words.begin(), words.end());
        return run_tool(argv, dir + "/mqctl.out");
      };
      tool_run_t count_run, shape_run;
      try {
        count_run = mqctl({"list", "smtp-fresh", "--count", "--domain", "example.org"});
        shape_run = mqctl({"shape"});
      } catch (const std::exception& e) {
        throw std::runtime_error(std::string(e.what()) + "\n" + daemon.diagnostics());
      }
      daemon.stop();
      require(std::stoull(count_run.output) == (count + 9) / 10, "mqctl counts the entries at example.org");
      require(shape_run.output.find("example.org") != std::string::npos, "mqctl shape shows example.org");
      const std::string order = arrival_order ? " (due in arrival order)" : "";
      report_.figure("mqctl " + n + order + " list --count --domain", "s", false)
          .add(count_run.seconds, bare_seconds, count_run.peak_rss_kib);
      report_.figure("mqctl " + n + order + " shape", "s", false)
          .add(shape_run.seconds, bare_seconds, shape_run.peak_rss_kib);
    }
  }

  // Puts of 10 KiB all in flight at once (8 connections x 125 by default):
  // the daemon's peak resident set while it holds them.
  void burst_round(int run) {
    const std::uint64_t size = 10 * 1024;
    const auto& load = o_.burst_load;
    const std::size_t n = static_cast<std::size_t>(load.connections * load.in_flight);
    payload_t first(size, 1);
    payload_t second(size, 2);
    progress(run, "bare and daemon " + std::to_string(n) + " puts of 10 KiB at once");
    sorter_results_t bare = bare_round(size, n, false, first, second);
    sorter_results_t d = daemon_round(size, n, false, load, first, second, true);
    add_ops("put 10 KiB " + load_name(load) + " (all in flight)", "puts/s", d.put, bare.put, d.put_rss,
            load.connections * load.in_flight);
  }

  // fsync, fdatasync and syncfs calls per put of 10 KiB at 8x16, counted
  // with strace in a run of their own (tracing slows every system call down).
  void flush_round(int run) {
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
    report_.figure("lifecycle 10 KiB " + load_name(load), "flushes/cycle", false)
        .add(daemon_flushes, bare_flushes, rss);
  }

  options_t o_;
  std::string root_;
  report_t report_;
};

std::string utc_now() {
  std::time_t t = std::time(nullptr);
  char buf[64];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
  return buf;
}

std::string machine() {
  utsname u{};
  ::uname(&u);
  return std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs, " + u.sysname + " " + u.release + " " + u.machine +
         ", " + MQ_BENCH_BUILD_TYPE + " build";
}

std::vector<std::uint64_t> parse_list(const std::string& text) {
  std::vector<std::uint64_t> values;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    auto end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    if (!item.empty()) {
      std::size_t used = 0;
      values.push_back(std::stoull(item, &used));
      if (used != item.size() || values.back() == 0) throw std::runtime_error("not a positive number: " + item);
    }
    start = end + 1;
  }
  return values;
}

int run_main(int argc, char** argv) {
  options_t o;
  po::options_description desc("Usage: mq-bench [options]");
  // clang-format off
  desc.add_options()
    ("help,h", "this text")
    ("daemon", po::value(&o.daemon)->default_value(ORVANE_MAIL_QUARANTINE_PATH), "the daemon executable")
    ("mqctl", po::value(&o.mqctl)->default_value(MQCTL_PATH), "the mqctl executable")
    ("dir", po::value(&o.dir)->default_value("/tmp"), "where the temporary spool directories go")
    ("json", po::value(&o.json), "write the results as JSON to this file")
    ("markdown", po::value(&o.markdown), "write the table in Markdown to this file")
    ("runs", po::value(&o.runs)->default_value(3), "runs of every case")
    ("scale", po::value(&o.scale)->default_value(1.0), "multiplies the number of operations per case (300 entries)")
    ("only", po::value(&o.only), "comma-separated groups: put,get,update,remove,lifecycle,mixed,walk,stat,burst,flush,mqctl,scrape")
    ("smoke", po::bool_switch(&o.smoke), "a few hundred operations, to check that the benchmark still works")
    ("bare-sync", po::value(&o.bare_sync)->default_value(true), "sync each message file in the bare loop")
    ("log-level", po::value(&o.log_level)->default_value(3), "ov.LogLevel of the daemon (1 debug .. 5 error)")
    ("sizes", po::value<std::string>(), "comma-separated message sizes in bytes instead of 1, 10, 100 and 1024 KiB")
    ("loads", po::value<std::string>(), "comma-separated CONNECTIONSxIN_FLIGHT instead of 1x1,8x16")
    ("walk-sizes", po::value<std::string>(),
     "comma-separated queue lengths for the walks instead of 10000, 100000 and 1000000")
    ("keep", po::bool_switch(&o.keep), "keep the spool directories of the daemon runs")
    ("fill", po::value<std::string>(),
     "only fill the spool directory SPOOL with a smtp-fresh queue of --fill-count entries as the walks do, "
     "then exit (for bench/web_bench.py)")
    ("fill-count", po::value<std::uint64_t>()->default_value(1000000), "entries of --fill");
  // clang-format on
  po::variables_map vm;
  po::store(po::parse_command_line(argc, argv, desc), vm);
  po::notify(vm);
  if (vm.count("help")) {
    std::cout << desc << "\n";
    return 0;
  }
  if (vm.count("fill")) {
    fill_queue(vm["fill"].as<std::string>(), vm["fill-count"].as<std::uint64_t>(), mq::store::smtp_fresh, false);
    return 0;
  }
  if (o.smoke) {
    o.runs = 1;
    o.sizes = {1024, 10 * 1024, 100 * 1024};
    o.loads = {{1, 1}, {2, 4}};
    o.walk_sizes = {350};
    o.burst_load = {2, 10};
    o.stat_repeats = 3;
    o.page_repeats = 2;
  } else {
    o.sizes = {1024, 10 * 1024, 100 * 1024, 1024 * 1024};
    o.loads = {{1, 1}, {8, 16}};
    o.walk_sizes = {10000, 100000, 1000000};
  }
  if (vm.count("sizes")) o.sizes = parse_list(vm["sizes"].as<std::string>());
  if (vm.count("loads")) {
    o.loads.clear();
    std::string list = vm["loads"].as<std::string>();
    std::size_t at = 0;
    while (at <= list.size()) {
      const std::size_t end = std::min(list.find(',', at), list.size());
      int connections = 0, in_flight = 0;
      char x = 0;
      if (std::sscanf(list.substr(at, end - at).c_str(), "%d%c%d", &connections, &x, &in_flight) != 3 || x != 'x' ||
          connections < 1 || in_flight < 1)
        throw std::runtime_error("--loads: expected CONNECTIONSxIN_FLIGHT, got '" + list.substr(at, end - at) + "'");
      o.loads.push_back({connections, in_flight});
      at = end + 1;
    }
  }
  if (vm.count("walk-sizes")) o.walk_sizes = parse_list(vm["walk-sizes"].as<std::string>());
  if (o.runs < 1) throw std::runtime_error("--runs must be at least 1");

  std::string pattern = o.dir + "/mq-bench.XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a directory in " + o.dir);
  std::string root = pattern;
  bench_t bench(o, root);
  std::string date = utc_now();
  try {
    bench.run();
  } catch (...) {
    if (!o.keep) boost::filesystem::remove_all(root);
    throw;
  }
  if (!o.keep) boost::filesystem::remove_all(root);

  std::cout << "mq-bench " << date << ", " << machine() << ", " << o.runs << " runs" << (o.smoke ? " (smoke)" : "")
            << "\n"
            << "ratio = daemon / bare for rates, bare / daemon for times (1 = the bare limit), median [min-max] "
               "of the per-run ratios\n\n";
  bench.report().print_table(std::cout);
  if (!o.json.empty()) {
    std::ofstream out(o.json);
    bench.report().write_json(out, date, machine(), o.runs, o.smoke);
    if (!out) throw std::runtime_error("cannot write " + o.json);
    std::cout << "\nJSON: " << o.json << "\n";
  }
  if (!o.markdown.empty()) {
    std::ofstream out(o.markdown);
    out << "Measured " << date << " on " << machine() << ", " << o.runs << " runs.\n\n";
    bench.report().print_markdown(out);
    if (!out) throw std::runtime_error("cannot write " + o.markdown);
  }
  return 0;
}

}  // namespace

}  // namespace mq::bench

int main(int argc, char** argv) {
  try {
    return mq::bench::run_main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "mq-bench: " << e.what() << std::endl;
    return 1;
  }
}
