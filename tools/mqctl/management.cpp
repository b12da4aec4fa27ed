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

// Rows asked for per page when walking a whole queue.
constexpr std::uint64_t walk_page_size = 100;

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ",";
    out += item;
  }
  return out;
}

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

int run_list(const context_t& ctx, const args_t& args) {
  args.expect_positional(1, "list STATUS [--limit N] [--after ID:TS]");
  const int status = parse_status(args.positional()[0]);
  std::optional<std::uint64_t> limit;
  if (auto v = args.value("limit")) limit = parse_u64(*v, "limit");
  std::pair<std::uint64_t, std::uint64_t> after{0, 0};
  if (auto v = args.value("after")) after = parse_key(*v);

  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  std::vector<response_t::Entry> entries;
  bool full_page = false;
  for (;;) {
    request_t request;
    request.set_tag(request_t::GET_QUEUE_CHUNK_REQUEST);
    request.set_status(static_cast<mq::Status>(status));
    request.set_entry_id(after.first);
    request.set_next_access_ts(after.second);
    request.set_limit(limit ? *limit : walk_page_size);
    const response_t response = session.call(request);
    for (const auto& e : response.entry()) entries.push_back(e);
    if (response.entry_size() > 0) {
      const auto& last = response.entry(response.entry_size() - 1);
      after = {last.id(), last.next_access_ts()};
    }
    const std::uint64_t page = limit ? (*limit == 0 ? walk_page_size : *limit) : walk_page_size;
    full_page = response.entry_size() > 0 && static_cast<std::uint64_t>(response.entry_size()) >= page;
    // One page when a limit was given; otherwise until a short page.
    if (limit || !full_page) break;
  }

  const std::string next = std::to_string(after.first) + ":" + std::to_string(after.second);
  if (ctx.json) {
    std::vector<std::string> items;
    for (const auto& e : entries)
      items.push_back(json_object_t()
                          .add("id", e.id())
                          .add("next_access_ts", e.next_access_ts())
                          .add("attempts", e.attempts())
                          .add("session_id", e.session_id())
                          .add("sender", e.sender())
                          .add_raw("recipients", json_strings({e.recipient().begin(), e.recipient().end()}))
                          .str());
    json_object_t out;
    out.add("status", status_name(status)).add_raw("entries", json_array(items));
    if (limit && full_page) out.add("next_after", next);
    *ctx.out << out.str() << '\n';
    return exit_ok;
  }
  table_t table({"ID", "NEXT_ACCESS_TS", "ATTEMPTS", "SESSION_ID", "SENDER", "RECIPIENTS"});
  for (const auto& e : entries)
    table.add({std::to_string(e.id()), std::to_string(e.next_access_ts()), std::to_string(e.attempts()),
               e.session_id().empty() ? "-" : e.session_id(), e.sender().empty() ? "<>" : e.sender(),
               joined({e.recipient().begin(), e.recipient().end()})});
  table.print(*ctx.out);
  *ctx.out << entries.size() << (entries.size() == 1 ? " entry" : " entries") << " in " << status_name(status) << '\n';
  if (limit && full_page) *ctx.out << "next page: --after " << next << '\n';
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
