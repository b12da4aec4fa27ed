// Case: one entry far larger than the rest (a put of 1.5 million recipients,
// then its get) beside a normal Sorter's puts and a client's statistics,
// each timed one at a time on connections of their own: the bar is that no
// one else waits long for the large one.
#include <algorithm>
#include <atomic>
#include <thread>

#include "bench.h"

namespace mq::bench {

void bench_t::large_round(int run) {
  const std::size_t recipients = o_.smoke ? 20000 : o_.large_recipients;
  payload_t file(1, 1);
  progress(run, "an entry of " + std::to_string(recipients) + " recipients beside small puts and statistics");
  struct during_t {
    double large = 0, put = 0, stat = 0;
    std::size_t puts = 0;
  } put_phase, get_phase;
  on_fresh_daemon([&](daemon_runner_t& daemon) {
    sorter_driver_t timer(daemon.sorter_socket(), 1);
    api::client_session_t client(daemon.client_socket(), 120000);
    // Times the others one at a time until `large` has answered.
    const auto beside = [&](during_t& d, const std::function<void()>& large) {
      std::atomic<bool> done{false};
      std::exception_ptr error;
      const double start = now_seconds();
      std::thread t([&] {
        try {
          large();
        } catch (...) {
          error = std::current_exception();
        }
        d.large = now_seconds() - start;
        done = true;
      });
      while (!done) {
        d.put = std::max(d.put, timer.run(1, 1, puts(1, file), checked_puts()).latencies.front());
        const double s = now_seconds();
        api::client_session_t::throw_if_error(client.stat());
        d.stat = std::max(d.stat, now_seconds() - s);
        ++d.puts;
      }
      t.join();
      if (error) std::rethrow_exception(error);
    };
    api::sorter_session_t sorter(daemon.sorter_socket(), 600000);
    std::uint64_t id = 0;
    int sent = 0;
    beside(put_phase, [&] {
      request_t q;
      int fd = -1;
      make_put(0, 1, file, q, fd);
      auto* e = q.mutable_entry();
      const std::string rcpt(16, 'r');
      for (std::size_t r = 0; r < recipients; ++r)
        e->add_smtp_recipient()->set_recipient(rcpt + std::to_string(r) + "@example.org");
      sent = e->smtp_recipient_size();
      id = sorter.call(q, answer_t::PUT_ENTRY_RESPONSE, fd).entry_id();
    });
    beside(get_phase, [&] {
      mq::util::unique_fd_t out;
      const auto a = sorter.call(api::sorter_session_t::entry_request(request_t::GET_ENTRY_REQUEST, id),
                                 answer_t::GET_ENTRY_RESPONSE, -1, &out);
      require(a.entry().smtp_recipient_size() == sent, "the large entry comes back whole");
    });
  });
  for (const auto& [name, d] : {std::pair{"put", put_phase}, std::pair{"get", get_phase}}) {
    const std::string c = std::string("large: ") + name + " of " + std::to_string(recipients) +
                          " recipients beside small puts (bare = 100 ms)";
    report_.figure(c, "large s", false).add(d.large, 0, 0);
    report_.figure(c, "slowest small put ms", false).add(d.put * 1e3, 100, 0);
    report_.figure(c, "slowest statistics ms", false).add(d.stat * 1e3, 100, 0);
  }
}

}  // namespace mq::bench
