// Case: puts, gets, updates and removes, each alone, bare and through the daemon.
#include "bench.h"

namespace mq::bench {

sorter_results_t bench_t::bare_round(std::uint64_t size, std::size_t n, bool with_update, const payload_t& first,
                                     const payload_t& second) {
  sorter_results_t r;
  std::string dir = fresh_dir("bare");
  {
    bare_store_t bare(dir + "/spool", o_.bare_sync);
    mq::store::shared_file_t one(::dup(first.fd()), size), two(::dup(second.fd()), size);
    std::vector<std::uint64_t> ids(n);
    r.put = time_serial(n, [&](std::size_t i) { ids[i] = bare.put(bench_metadata(i, size), one); });
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
        bare.update_file(static_cast<std::int64_t>(ids[i]), std::move(u), two);
      });
      r.remove = time_serial(n, [&](std::size_t i) { bare.remove(static_cast<std::int64_t>(ids[i])); });
    }
  }
  boost::filesystem::remove_all(dir);
  return r;
}

sorter_results_t bench_t::limit_round(std::uint64_t size, std::size_t n, bool with_update, const payload_t& first,
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

sorter_results_t bench_t::daemon_round(std::uint64_t size, std::size_t n, bool with_update,
                                       const options_t::load_t& load, const payload_t& first, const payload_t& second,
                                       bool puts_only) {
  sorter_results_t r;
  on_fresh_daemon([&](daemon_runner_t& daemon) {
    sorter_driver_t sorter(daemon.sorter_socket(), load.connections);
    require(sorter.store_path() == daemon.spool_dir(), "STORE_STATE_NOTIFICATION names the spool directory");
    client_driver_t client(daemon.client_socket());
    std::vector<std::uint64_t> ids(n, 0);
    // `count` requests at the load: the daemon's CPU time and peak
    // resident set over them.
    const auto measured = [&](std::size_t count, long& rss, const sorter_driver_t::make_t& make,
                              const sorter_driver_t::check_t& check) {
      daemon.reset_peak_rss();
      const double cpu = daemon.cpu_seconds();
      batch_stats_t b = sorter.run(count, load.in_flight, make, check);
      b.cpu_seconds = daemon.cpu_seconds() - cpu;
      rss = daemon.peak_rss_kib();
      return b;
    };
    r.put = measured(n, r.put_rss, puts(size, first), checked_puts(&ids));
    check_stat(client, n, n * size, "after the puts");
    if (puts_only) return;

    std::string content;
    r.get = measured(
        o_.gets(), r.get_rss, [&](std::size_t i, request_t& q, int&) { make_get(ids[i % n], q); },
        [&](std::size_t i, const answer_t& a, mq::util::unique_fd_t& fd) {
          check_get(ids[i % n], a, fd, first, content);
          require(a.entry().message_size() == size, "GET_ENTRY_RESPONSE hands back the stored size");
          require(a.entry().session_id() == session_id_for(i % n) && a.entry().smtp_recipient_size() == 2,
                  "GET_ENTRY_RESPONSE hands back the stored metadata");
        });
    if (!with_update) return;
    r.update = measured(
        n, r.update_rss, [&](std::size_t i, request_t& q, int& fd) { make_update(i, ids[i], size, second, q, fd); },
        [&](std::size_t, const answer_t& a, mq::util::unique_fd_t&) {
          require(a.tag() == answer_t::UPDATE_ENTRY_RESPONSE, "UPDATE_ENTRY_RESPONSE");
        });
    // A few entries must now hand back the replacement file.
    std::size_t sample = n < 20 ? n : 20;
    sorter.run(
        sample, 1, [&](std::size_t i, request_t& q, int&) { make_get(ids[i * n / sample], q); },
        [&](std::size_t i, const answer_t& a, mq::util::unique_fd_t& fd) {
          check_get(ids[i * n / sample], a, fd, second, content);
          require(a.entry().attempts() == 1, "an update replaces the record");
        });
    r.remove = measured(
        n, r.remove_rss,
        [&](std::size_t i, request_t& q, int&) {
          q.set_tag(request_t::REMOVE_ENTRY_REQUEST);
          q.set_entry_id(ids[i]);
        },
        [&](std::size_t, const answer_t& a, mq::util::unique_fd_t&) {
          require(a.tag() == answer_t::REMOVE_ENTRY_RESPONSE, "REMOVE_ENTRY_RESPONSE");
        });
    check_stat(client, 0, 0, "after the removes");
  });
  return r;
}

void bench_t::sorter_round(int run, std::uint64_t size) {
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
  const bool serial =
      std::any_of(o_.loads.begin(), o_.loads.end(), [](const options_t::load_t& l) { return l.total() == 1; });
  if (serial && o_.wanted("get")) {
    progress(run, "round trips of a get's frames without the daemon");
    const auto floor = figures_of(floor_round(o_.gets(), first));
    report_.figure("get " + size_name(size) + " 1x1 floor: frames echoed, no work (bare = bare get)", "gets/s", true)
        .add(floor.rate, figures_of(bare.get).rate, 0);
  }
  for (std::size_t l = 0; l < o_.loads.size(); ++l) {
    const auto& load = o_.loads[l];
    const auto& d = daemon[l];
    std::string suffix = " " + size_name(size) + " " + load_name(load);
    const std::size_t in_flight = load.total();
    add_ops("put" + suffix, "puts/s", d.put, bare.put, d.put_rss, in_flight, &limit.put);
    add_ops("get" + suffix, "gets/s", d.get, bare.get, d.get_rss, in_flight, &limit.get);
    if (with_update) {
      add_ops("update" + suffix, "updates/s", d.update, bare.update, d.update_rss, in_flight, &limit.update);
      add_ops("remove" + suffix, "removes/s", d.remove, bare.remove, d.remove_rss, in_flight, &limit.remove);
    }
  }
}

}  // namespace mq::bench
