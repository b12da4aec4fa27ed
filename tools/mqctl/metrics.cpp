// mqctl metrics: the queue metrics once, for a textfile collector.
#include <chrono>
#include <ctime>
#include <optional>
#include <string>

#include "commands.h"
#include "errors.h"
#include "metrics/exposition.h"
#include "metrics/queue_probe.h"
#include "metrics/socket_clients.h"

namespace mqctl {

int run_metrics(const context_t& ctx, const args_t& args) {
  args.expect_positional(0, "metrics");
  // Counted before the probe connects, which would count itself.
  const auto clients = mq::metrics::count_clients(ctx.sorter_socket, ctx.client_socket);
  const std::chrono::milliseconds limit(ctx.timeout_ms < 0 ? 86400000 : ctx.timeout_ms);
  int status = exit_ok;
  std::optional<mq::metrics::queue_sample_t> queue;
  try {
    queue = mq::metrics::queue_probe_t::run(ctx.client_socket, limit);
  } catch (const std::exception& e) {
    // The text still says that the daemon did not answer.
    *ctx.err << "mqctl: " << e.what() << '\n';
    status = exit_connection;
  }
  *ctx.out << mq::metrics::render(queue ? &*queue : nullptr, clients, nullptr,
                                  static_cast<std::uint64_t>(std::time(nullptr)));
  return status;
}

}  // namespace mqctl
