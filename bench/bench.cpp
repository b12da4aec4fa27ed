// What the cases of the benchmark share.
#include "bench.h"

namespace mq::bench {

void bench_t::run() {
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
    if (o_.wanted("hostile")) hostile_round(run);
    if (o_.wanted("large")) large_round(run);
    if (o_.wanted("log")) {
      progress(run, "the log's size under lifecycles and gets");
      log_size_round(report_, o_.daemon, fresh_dir("daemon"), o_.log_level, o_.smoke ? 2 : 60, log_requests());
    }
    if (o_.wanted("freeze")) {
      progress(run, "a flush of a large queue beside gets");
      big_flush_round(report_, o_.daemon, o_.mqctl, fresh_dir("daemon"), o_.log_level, o_.smoke ? 1000 : 500000,
                      log_requests());
    }
    if (o_.wanted("check")) {
      const std::uint64_t n = o_.smoke ? 1000 : o_.check_entries;
      progress(run, "a health check of " + std::to_string(n) + " entries beside puts");
      big_check_round(report_, o_.daemon, o_.mqctl, fresh_dir("daemon"), o_.log_level, n, log_requests());
    }
    if (o_.wanted("flush")) {
      if (syscall_counter_t::available()) {
        flush_round(run);
      } else if (run == 0) {
        std::cerr << "mq-bench: no strace here, flush calls not counted" << std::endl;
      }
    }
  }
}

std::string bench_t::fresh_dir(const std::string& name) {
  std::string path = root_ + "/" + name;
  boost::filesystem::remove_all(path);
  boost::filesystem::create_directories(path);
  ::sync();
  return path;
}

void bench_t::check_stat(client_driver_t& client, std::uint64_t messages, std::uint64_t bytes,
                         const std::string& when) {
  mq::MailQuarantine2ClientMessage stat;
  client.queue_stat(stat);
  require(stat.smtp_fresh_stat().total_messages() == messages && stat.smtp_fresh_stat().total_bytes() == bytes,
          "GET_QUEUE_STAT " + when + ": " + std::to_string(stat.smtp_fresh_stat().total_messages()) + " messages of " +
              std::to_string(stat.smtp_fresh_stat().total_bytes()) + " bytes, expected " + std::to_string(messages) +
              " of " + std::to_string(bytes));
}

void bench_t::make_put(std::size_t i, std::uint64_t size, const payload_t& file, request_t& q, int& fd) {
  fd = file.fd();
  q.set_tag(request_t::PUT_ENTRY_REQUEST);
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

sorter_driver_t::make_t bench_t::puts(std::uint64_t size, const payload_t& file) {
  return [size, &file](std::size_t i, request_t& q, int& fd) { make_put(i, size, file, q, fd); };
}

sorter_driver_t::check_t bench_t::checked_puts(std::vector<std::uint64_t>* ids) {
  return [ids](std::size_t i, const answer_t& a, mq::util::unique_fd_t&) {
    check_put(a);
    if (ids) (*ids)[i] = a.entry_id();
  };
}

void bench_t::check_put(const answer_t& a) {
  require(a.tag() == answer_t::PUT_ENTRY_RESPONSE && a.has_entry_id() && a.entry_id() > 0,
          "PUT_ENTRY_RESPONSE with an entry id");
}

void bench_t::make_update(std::size_t i, std::uint64_t id, std::uint64_t size, const payload_t& second, request_t& q,
                          int& fd) {
  q.set_tag(request_t::UPDATE_ENTRY_REQUEST);
  q.set_entry_id(id);
  auto* u = q.mutable_entry_update();
  u->set_message_size(size);
  u->set_attempts(1);
  u->set_next_access_ts(1800000000 + i);
  fd = second.fd();
}

void bench_t::make_get(std::uint64_t id, request_t& q) {
  q.set_tag(request_t::GET_ENTRY_REQUEST);
  q.set_entry_id(id);
}

void bench_t::check_get(std::uint64_t id, const answer_t& a, mq::util::unique_fd_t& fd, const payload_t& stored,
                        std::string& content) {
  require(a.tag() == answer_t::GET_ENTRY_RESPONSE && a.entry_id() == id && fd.present(),
          "GET_ENTRY_RESPONSE with the entry and a descriptor");
  read_whole(fd.get(), content);
  require(content == stored.bytes(), "GET_ENTRY_RESPONSE hands back the stored file");
}

void bench_t::add_ops(const std::string& case_name, const char* unit, const batch_stats_t& daemon,
                      const batch_stats_t& bare, long rss, std::size_t in_flight, const batch_stats_t* limit) {
  auto d = figures_of(daemon);
  auto b = figures_of(bare);
  if (limit) {
    report_.figure(case_name, unit, true).add(d.rate, b.rate, figures_of(*limit).rate, rss);
  } else {
    report_.figure(case_name, unit, true).add(d.rate, b.rate, rss);
  }
  report_.figure(case_name, std::to_string(in_flight) + "/rate ms", false)
      .add(d.rate > 0 ? static_cast<double>(in_flight) * 1e3 / d.rate : 0, b.rate > 0 ? 1e3 / b.rate : 0, rss);
  report_.figure(case_name, "p50 ms", false).add(d.p50_ms, b.p50_ms, rss);
  report_.figure(case_name, "p99 ms", false).add(d.p99_ms, b.p99_ms, rss);
  report_.figure(case_name, "CPU ms/op", false).add(d.cpu_ms, b.cpu_ms, rss);
  // With the driver's own share: on N CPUs the daemon cannot beat the bare
  // loop by more than N times this ratio.
  if (daemon.driver_cpu_seconds > 0 && !daemon.latencies.empty()) {
    const double driver_ms = daemon.driver_cpu_seconds / static_cast<double>(daemon.latencies.size()) * 1e3;
    report_.figure(case_name, "CPU ms/op with driver", false).add(d.cpu_ms + driver_ms, b.cpu_ms, rss);
  }
}

void bench_t::add_walk(const std::string& case_name, const walk_stats_t& daemon, const page_times_t& daemon_pages,
                       const walk_stats_t& bare, const page_times_t& bare_pages, long rss) {
  report_.figure(case_name, "total s", false).add(daemon.seconds, bare.seconds, rss);
  report_.figure(case_name, "first page ms", false).add(daemon_pages.first * 1e3, bare_pages.first * 1e3, rss);
  report_.figure(case_name, "middle page ms", false).add(daemon_pages.middle * 1e3, bare_pages.middle * 1e3, rss);
  report_.figure(case_name, "last page ms", false).add(daemon_pages.last * 1e3, bare_pages.last * 1e3, rss);
}

std::string bench_t::filled_queue(int run, std::uint64_t count, bool arrival_order) {
  std::string dir = root_ + (arrival_order ? "/arrival-" : "/walk-") + std::to_string(count);
  if (!boost::filesystem::exists(dir + "/spool/queue.db")) {
    progress(run, "filling a queue of " + std::to_string(count) + " entries");
    boost::filesystem::create_directories(dir);
    fill_queue(dir + "/spool", count, mq::store::smtp_fresh, arrival_order);
    ::sync();
  }
  return dir;
}

}  // namespace mq::bench
