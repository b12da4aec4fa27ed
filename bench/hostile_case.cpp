// Case: hostile peers beside a normal one. Management clients ask for the
// largest brief pages over entries with many recipients and do not read the
// answers; Sorters subscribe to queue changes and never read while puts and
// flushes go on. The daemon's peak resident set under each, against the
// bound the README states, and a normal peer's latency alone and meanwhile.
#include <limits>

#include "bench.h"

namespace mq::bench {

namespace {

// The README's bounds for this case's peers, in MiB: the daemon's own
// memory, then what each connection that stops reading may cost it.
constexpr double base_mib = 64;
constexpr double per_page_peer_mib = 12;
constexpr double per_subscriber_mib = 1;
constexpr double waiting_keys_mib = 16;

constexpr int page_peers = 2;
constexpr int pages_per_peer = 4;

double in_mib(long kib_count) { return static_cast<double>(kib_count) / 1024.0; }

// `n` round trips of `op`, each timed.
template <class F>
std::vector<double> timed(int n, F op) {
  std::vector<double> seconds;
  for (int i = 0; i < n; ++i) {
    const double t = now_seconds();
    op();
    seconds.push_back(now_seconds() - t);
  }
  return seconds;
}

}  // namespace

void bench_t::hostile_round(int run) {
  const std::size_t big_entries = o_.smoke ? 20 : 1000;
  const std::size_t recipients = o_.smoke ? 50 : 400;  // of 200 bytes each
  const int silent = o_.smoke ? 2 : 200;
  const std::size_t rounds = o_.smoke ? 2 : 20;
  const std::size_t per_round = o_.smoke ? 50 : 5000;
  const int probes = o_.smoke ? 5 : 50;
  payload_t file(1, 1);
  progress(run, "hostile peers: brief pages of " + std::to_string(big_entries) + " entries of " +
                    std::to_string(recipients) + " recipients, " + std::to_string(silent) +
                    " silent subscribers over " + std::to_string(rounds) + " flushes");

  std::vector<double> page_alone, page_during, put_alone, put_during;
  const long pages_rss = on_fresh_daemon([&](daemon_runner_t& daemon) {
    sorter_driver_t writer(daemon.sorter_socket(), 8);
    const std::string rcpt(190, 'r');
    writer.run(
        big_entries, 16,
        [&](std::size_t i, request_t& q, int& fd) {
          make_put(i, 1, file, q, fd);
          for (std::size_t r = 0; r < recipients; ++r)
            q.mutable_entry()->add_smtp_recipient()->set_recipient(rcpt + std::to_string(1000000 + r));
        },
        checked_puts());

    // Pages: a normal client's one-entry pages alone, then while the hostile
    // ones wait unread.
    api::client_session_t normal(daemon.client_socket(), 120000);
    auto one_entry = [&] {
      require(normal.page(mq::SMTP_FRESH, {}, 1).entry_size() == 1, "a one-entry page holds one entry");
    };
    page_alone = timed(probes, one_entry);
    daemon.reset_peak_rss();
    std::vector<std::unique_ptr<api::client_session_t>> hostile;
    for (int c = 0; c < page_peers; ++c) {
      hostile.push_back(std::make_unique<api::client_session_t>(daemon.client_socket(), 120000));
      for (int p = 0; p < pages_per_peer; ++p) {
        mq::Client2MailQuarantineMessage q;
        q.set_tag(mq::Client2MailQuarantineMessage::GET_QUEUE_CHUNK_REQUEST);
        q.set_status(mq::SMTP_FRESH);
        q.set_limit(std::numeric_limits<std::uint64_t>::max());
        hostile.back()->send(q);
      }
    }
    page_during = timed(probes, one_entry);
    // The hostile clients read at last: every page ends early, and a walk
    // from the first one's last key loses nothing.
    for (auto& h : hostile) {
      for (int p = 0; p < pages_per_peer; ++p) {
        const auto page = h->receive();
        require(page.entry_size() > 0 && !page.has_error(), "a hostile page is answered");
      }
    }
    const walk_stats_t walk = client_driver_t(daemon.client_socket()).walk(mq::SMTP_FRESH, 10000);
    require(walk.entries == big_entries, "a walk by the largest pages sees " + std::to_string(walk.entries) + " of " +
                                             std::to_string(big_entries) + " entries");
  });

  // On a daemon of its own: memory freed after the pages may stay with it.
  const long subscribers_rss = on_fresh_daemon([&](daemon_runner_t& daemon) {
    sorter_driver_t writer(daemon.sorter_socket(), 8);
    // Subscribers: the silent ones never read; the normal one reads every
    // key of every flush on a thread of its own.
    std::vector<std::unique_ptr<api::sorter_session_t>> quiet;
    for (int s = 0; s < silent; ++s) {
      quiet.push_back(std::make_unique<api::sorter_session_t>(daemon.sorter_socket(), 120000));
      quiet.back()->subscribe();
    }
    api::sorter_session_t listener(daemon.sorter_socket(), 120000);
    listener.subscribe();
    const std::size_t keys = rounds * per_round;
    std::size_t heard = 0;
    std::exception_ptr listen_error;
    std::thread listening([&] {
      try {
        while (heard < keys) {
          const auto m = listener.receive(nullptr, 120000, api::sorter_session_t::notifications_t::deliver);
          if (m.tag() == answer_t::QUEUE_CHANGE_NOTIFICATION) heard += m.queue_key_list_size();
        }
      } catch (...) {
        listen_error = std::current_exception();
      }
    });
    api::client_session_t flusher(daemon.client_socket(), 120000);
    // Puts of the normal Sorter, timed one at a time: alone between the
    // rounds' bulk puts, and right after each flush.
    sorter_driver_t timer(daemon.sorter_socket(), 1);
    auto one_put = [&] { return timer.run(1, 1, puts(1, file), checked_puts()).latencies.front(); };
    // The rounds' bulk puts go to a queue of their own, so that each flush
    // resets exactly those.
    auto bcc_puts = [&](std::size_t i, request_t& q, int& fd) {
      make_put(i, 1, file, q, fd);
      q.set_status(mq::BCC_FRESH);
    };
    daemon.reset_peak_rss();
    for (std::size_t r = 0; r < rounds; ++r) {
      writer.run(per_round, 16, bcc_puts, checked_puts());
      put_alone.push_back(one_put());
      api::client_session_t::throw_if_error(flusher.flush(mq::BCC_FRESH));
      put_during.push_back(one_put());
    }
    listening.join();
    if (listen_error) std::rethrow_exception(listen_error);
    require(heard == keys, "the reading subscriber hears every key of every flush");
  });

  const double pages_bound = base_mib + page_peers * per_page_peer_mib;
  const double subscribers_bound = base_mib + silent * per_subscriber_mib + waiting_keys_mib;
  const std::string pages_case =
      "hostile: " + std::to_string(page_peers * pages_per_peer) + " unread brief pages (bare = README bound)";
  const std::string subscribers_case =
      "hostile: " + std::to_string(silent) + " silent subscribers (bare = README bound)";
  // The bar: a daemon over its stated bound fails the run.
  require(in_mib(pages_rss) < pages_bound, pages_case + ": peak RSS " + std::to_string(in_mib(pages_rss)) + " MiB");
  require(in_mib(subscribers_rss) < subscribers_bound,
          subscribers_case + ": peak RSS " + std::to_string(in_mib(subscribers_rss)) + " MiB");
  report_.figure(pages_case, "peak RSS MiB", false).add(in_mib(pages_rss), pages_bound, pages_rss);
  report_.figure(subscribers_case, "peak RSS MiB", false)
      .add(in_mib(subscribers_rss), subscribers_bound, subscribers_rss);
  report_.figure("hostile: one-entry page meanwhile (bare = alone)", "p50 ms", false)
      .add(percentile(page_during, 50) * 1e3, percentile(page_alone, 50) * 1e3, pages_rss);
  report_.figure("hostile: one-entry page meanwhile (bare = alone)", "p99 ms", false)
      .add(percentile(page_during, 99) * 1e3, percentile(page_alone, 99) * 1e3, pages_rss);
  report_.figure("hostile: put after a flush (bare = before it)", "p50 ms", false)
      .add(percentile(put_during, 50) * 1e3, percentile(put_alone, 50) * 1e3, subscribers_rss);
  report_.figure("hostile: put after a flush (bare = before it)", "p99 ms", false)
      .add(percentile(put_during, 99) * 1e3, percentile(put_alone, 99) * 1e3, subscribers_rss);
}

}  // namespace mq::bench
