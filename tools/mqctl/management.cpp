// Commands over the client socket.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "channel.h"
#include "commands.h"
#include "errors.h"
#include "output.h"

namespace mqctl {

namespace {

using request_t = client_session_t::request_t;
using response_t = client_session_t::response_t;

}  // namespace

int run_stat(const context_t& ctx, const args_t& args) {
  args.expect_positional(0, "stat");
  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  request_t request;
  request.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
  const response_t response = session.call(request);
  const std::pair<int, const response_t::QueueStat*> stats[] = {
      {1, &response.smtp_fresh_stat()},
      {2, &response.smtp_accepted_stat()},
      {3, &response.bcc_fresh_stat()},
      {4, &response.bcc_accepted_stat()},
  };
  if (ctx.json) {
    json_object_t out;
    for (const auto& [status, stat] : stats)
      out.add_raw(status_name(status),
                  json_object_t().add("messages", stat->total_messages()).add("bytes", stat->total_bytes()).str());
    *ctx.out << out.str() << '\n';
    return exit_ok;
  }
  table_t table({"STATUS", "MESSAGES", "BYTES"});
  std::uint64_t messages = 0, bytes = 0;
  for (const auto& [status, stat] : stats) {
    table.add({status_name(status), std::to_string(stat->total_messages()), std::to_string(stat->total_bytes())});
    messages += stat->total_messages();
    bytes += stat->total_bytes();
  }
  table.add({"total", std::to_string(messages), std::to_string(bytes)});
  table.print(*ctx.out);
  return exit_ok;
}

int run_flush(const context_t& ctx, const args_t& args) {
  args.expect_positional(1, "flush STATUS");
  const int status = parse_status(args.positional()[0]);
  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  request_t request;
  request.set_tag(request_t::FLUSH_QUEUE_REQUEST);
  request.set_status(static_cast<mq::Status>(status));
  const response_t response = session.call(request);
  if (ctx.json) {
    *ctx.out << json_object_t().add("status", status_name(status)).add("report", response.report()).str() << '\n';
  } else {
    *ctx.out << response.report() << '\n';
  }
  return exit_ok;
}

int run_check(const context_t& ctx, const args_t& args) {
  args.expect_positional(0, "check [--fix]");
  const bool fix = args.flag("fix");
  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  request_t request;
  request.set_tag(request_t::CHECK_HEALTH_REQUEST);
  request.set_fix(fix);
  const response_t response = session.call(request);
  const std::string& report = response.report();
  if (ctx.json) {
    *ctx.out << json_object_t().add("fix", fix).add("report", report).str() << '\n';
  } else if (report.empty()) {
    // A repairing check reports nothing when it found nothing.
    *ctx.out << "Nothing to repair\n";
  } else {
    *ctx.out << report;
    if (report.back() != '\n') *ctx.out << '\n';
  }
  return exit_ok;
}

}  // namespace mqctl
