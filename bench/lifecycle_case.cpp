// Case: whole lifecycles of a message as a Sorter makes them.
#include "bench.h"

namespace mq::bench {

void bench_t::make_cycle_step(std::size_t index, std::uint64_t size, const std::vector<std::uint64_t>& ids,
                              const payload_t& first, const payload_t& second, request_t& q, int& fd) {
  const std::size_t i = index / steps;
  switch (index % steps) {
    case put_step:
      make_put(i, size, first, q, fd);
      break;
    case get_step:
      make_get(ids[i], q);
      break;
    case update_step:
      make_update(i, ids[i], size, second, q, fd);
      break;
    default:
      q.set_tag(request_t::REMOVE_ENTRY_REQUEST);
      q.set_entry_id(ids[i]);
  }
}

void bench_t::check_cycle_step(std::size_t index, std::uint64_t size, std::vector<std::uint64_t>& ids,
                               const payload_t& first, const answer_t& a, mq::util::unique_fd_t& fd,
                               std::string& content) {
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

std::vector<batch_stats_t> bench_t::daemon_cycles(sorter_driver_t& sorter, std::size_t n, int in_flight,
                                                  std::uint64_t size, const payload_t& first, const payload_t& second) {
  std::vector<std::uint64_t> ids(n, 0);
  std::string content;
  return sorter.run_cycles(
      n, steps, in_flight,
      [&](std::size_t index, request_t& q, int& fd) { make_cycle_step(index, size, ids, first, second, q, fd); },
      [&](std::size_t index, const answer_t& a, mq::util::unique_fd_t& fd) {
        check_cycle_step(index, size, ids, first, a, fd, content);
      });
}

std::vector<batch_stats_t> bench_t::bare_cycles(bare_store_t& bare, std::size_t n, std::uint64_t size,
                                                const payload_t& first, const payload_t& second) {
  mq::store::shared_file_t one(::dup(first.fd()), size), two(::dup(second.fd()), size);
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
    timed(put_step, [&] { id = static_cast<std::int64_t>(bare.put(bench_metadata(i, size), one)); });
    timed(get_step, [&] {
      bare.get(id, content);
      require(content == first.bytes(), "bare get returns the stored file");
    });
    timed(update_step, [&] {
      mq::store::entry_metadata_update_t u;
      u.attempts = 1;
      u.next_access_ts = 1800000000 + i;
      bare.update_file(id, std::move(u), two);
    });
    timed(remove_step, [&] { bare.remove(id); });
  }
  for (auto& s : b) s.seconds = now_seconds() - start;
  return b;
}

double bench_t::limit_cycles_seconds(limit_store_t& limit, std::size_t n, std::uint64_t size, const payload_t& first,
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

void bench_t::lifecycle_round(int run) {
  const std::uint64_t size = 10 * kib;
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
    std::vector<batch_stats_t> cycles;
    const long rss = on_fresh_daemon([&](daemon_runner_t& runner) {
      sorter_driver_t sorter(runner.sorter_socket(), load.connections);
      runner.reset_peak_rss();
      cycles = daemon_cycles(sorter, count, load.in_flight, size, first, second);
    });
    daemon.emplace_back(std::move(cycles), rss);
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

}  // namespace mq::bench
