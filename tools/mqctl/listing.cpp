// Commands that read a selection: list and shape.
#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "selection.h"
#include "terminal.h"
#include "time_text.h"

namespace mqctl {

namespace {

std::string entry_json(int status, const brief_t& e) {
  return json_object_t()
      .add("id", e.id())
      .add("status", status_name(status))
      .add("next_access_ts", e.next_access_ts())
      .add("attempts", e.attempts())
      .add("session_id", e.session_id())
      .add("sender", e.sender())
      .add_raw("recipients", json_strings({e.recipient().begin(), e.recipient().end()}))
      .str();
}

// Due-time buckets, from now: due, < 5 min, < 1 h, < 4 h, < 1 day, later.
constexpr std::array<std::uint64_t, 4> due_limits = {300, 3600, 4 * 3600, 86400};
const std::array<const char*, 6> due_names = {"due", "<5m", "<1h", "<4h", "<1d", "later"};
// Attempts buckets: 0, 1, 2-4, 5-9, 10 and more.
const std::array<const char*, 5> attempts_names = {"0", "1", "2-4", "5-9", "10+"};

std::size_t due_bucket(std::uint64_t next, std::uint64_t now) {
  if (next <= now) return 0;
  const std::uint64_t ahead = next - now;
  for (std::size_t i = 0; i < due_limits.size(); ++i)
    if (ahead < due_limits[i]) return i + 1;
  return due_limits.size() + 1;
}

std::size_t attempts_bucket(std::uint64_t attempts) {
  if (attempts <= 1) return attempts;
  if (attempts <= 4) return 2;
  if (attempts <= 9) return 3;
  return 4;
}

struct shape_row_t {
  std::uint64_t total = 0;
  std::array<std::uint64_t, 6> due{};
  std::array<std::uint64_t, 5> attempts{};

  void count(std::size_t due_at, std::size_t attempts_at) {
    ++total;
    ++due[due_at];
    ++attempts[attempts_at];
  }
  void add(const shape_row_t& other) {
    total += other.total;
    for (std::size_t i = 0; i < due.size(); ++i) due[i] += other.due[i];
    for (std::size_t i = 0; i < attempts.size(); ++i) attempts[i] += other.attempts[i];
  }
  std::vector<std::string> cells(const std::string& name) const {
    std::vector<std::string> out{name, std::to_string(total)};
    for (auto n : due) out.push_back(std::to_string(n));
    for (auto n : attempts) out.push_back(std::to_string(n));
    return out;
  }
  std::string json(const std::string& name) const {
    json_object_t d, a;
    for (std::size_t i = 0; i < due.size(); ++i) d.add(due_names[i], due[i]);
    for (std::size_t i = 0; i < attempts.size(); ++i) a.add(attempts_names[i], attempts[i]);
    return json_object_t()
        .add("name", name)
        .add("total", total)
        .add_raw("due", d.str())
        .add_raw("attempts", a.str())
        .str();
  }
};

std::optional<std::string> status_word(const args_t& args, const std::string& usage) {
  if (args.positional().size() > 1) throw usage_error_t("usage: mqctl " + usage);
  if (args.positional().empty()) return std::nullopt;
  return args.positional()[0];
}

}  // namespace

int run_list(const context_t& ctx, const args_t& args) {
  const selection_t selection(args, status_word(args, "list (STATUS | --all) [SELECTION] [--ids | --count]"), false,
                              "list");
  const bool ids = args.flag("ids"), count = args.flag("count");
  if (ids && count) throw usage_error_t("--ids and --count exclude each other");
  if (args.flag("utc") && args.flag("epoch")) throw usage_error_t("--utc and --epoch exclude each other");
  if (ids && ctx.json) throw usage_error_t("--ids and --json exclude each other");
  const time_style_t style = args.flag("epoch") ? time_style_t::epoch
                             : args.flag("utc") ? time_style_t::utc
                                                : time_style_t::local;
  const bool all = !selection.single_status();

  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  std::ostream& out = *ctx.out;
  std::uint64_t n = 0;
  std::vector<std::string> header{"ID"};
  if (all) header.push_back("STATUS");
  header.insert(header.end(), {style == time_style_t::epoch ? "NEXT_ACCESS_TS" : "NEXT_ACCESS", "ATTEMPTS",
                               "SESSION_ID", "SENDER", "RECIPIENTS"});
  stream_table_t table(header, out);
  const bool cut = selection.walk(session, [&](int status, const brief_t& e) {
    ++n;
    if (count) return true;
    if (ids) {
      out << e.id() << '\n';
    } else if (ctx.json) {
      out << entry_json(status, e) << '\n';
    } else {
      std::vector<std::string> row{std::to_string(e.id())};
      if (all) row.push_back(status_name(status));
      row.insert(row.end(), {format_time(e.next_access_ts(), style, selection.now()), std::to_string(e.attempts()),
                             e.session_id().empty() ? "-" : e.session_id(), e.sender().empty() ? "<>" : e.sender(),
                             recipients_cell({e.recipient().begin(), e.recipient().end()})});
      table.add(std::move(row));
    }
    return true;
  });

  if (count) {
    if (ctx.json) {
      out << json_object_t().add("count", n).str() << '\n';
    } else {
      out << n << '\n';
    }
    return exit_ok;
  }
  if (ids || ctx.json) return exit_ok;
  table.finish();
  out << n << (n == 1 ? " entry" : " entries") << " in "
      << (all ? std::string("all statuses") : status_name(selection.statuses()[0])) << '\n';
  if (cut && !all) out << "next page: --after " << selection.last_key() << '\n';
  return exit_ok;
}

int run_shape(const context_t& ctx, const args_t& args) {
  const selection_t selection(
      args, status_word(args, "shape [STATUS | --all] [SELECTION] [--by domain|sender] [--top N]"), true, "shape");
  const std::string by = args.value("by").value_or("domain");
  if (by != "domain" && by != "sender" && by != "sender-address")
    throw usage_error_t("invalid --by '" + by + "' (domain, sender or sender-address)");
  std::uint64_t top = 20;
  if (auto v = args.value("top")) top = parse_u64(*v, "--top value");

  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  std::map<std::string, shape_row_t> rows;
  shape_row_t total;
  const bool show = is_terminal(2);
  std::set<std::string> keys;
  selection.walk(
      session,
      [&](int, const brief_t& e) {
        const std::size_t d = due_bucket(e.next_access_ts(), selection.now());
        const std::size_t a = attempts_bucket(e.attempts());
        total.count(d, a);
        keys.clear();
        if (by == "domain") {
          // An entry counts once in each domain it has recipients in.
          for (const auto& r : e.recipient()) {
            const std::string dom = domain_of(r);
            keys.insert(dom.empty() ? "(none)" : dom);
          }
          if (keys.empty()) keys.insert("(none)");
        } else if (by == "sender") {
          const std::string dom = domain_of(e.sender());
          keys.insert(e.sender().empty() ? "<>" : dom.empty() ? "(none)" : dom);
        } else {
          keys.insert(e.sender().empty() ? "<>" : e.sender());
        }
        for (const auto& k : keys) rows[k].count(d, a);
        return true;
      },
      [&](std::uint64_t seen) {
        if (show) std::fprintf(stderr, "\r%llu entries read ", static_cast<unsigned long long>(seen));
      });
  if (show) std::fprintf(stderr, "\r\033[K");

  std::vector<std::pair<std::string, const shape_row_t*>> order;
  for (const auto& [name, row] : rows) order.emplace_back(name, &row);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.second->total > b.second->total; });
  shape_row_t others;
  std::uint64_t other_rows = 0;
  for (std::size_t i = top; i < order.size(); ++i) {
    others.add(*order[i].second);
    ++other_rows;
  }
  if (order.size() > top) order.resize(top);

  const std::string column = by == "domain" ? "DOMAIN" : by == "sender" ? "SENDER_DOMAIN" : "SENDER";
  if (ctx.json) {
    std::vector<std::string> items;
    for (const auto& [name, row] : order) items.push_back(row->json(name));
    json_object_t out;
    out.add("by", by).add("statuses", selection.describe()).add_raw("rows", json_array(items));
    out.add_raw("others", others.json("others")).add("other_rows", other_rows).add_raw("total", total.json("total"));
    *ctx.out << out.str() << '\n';
    return exit_ok;
  }
  std::vector<std::string> header{column, "TOTAL"};
  for (auto n : due_names) header.push_back(n);
  for (auto n : attempts_names) header.push_back(std::string("att:") + n);
  table_t table(header);
  for (const auto& [name, row] : order) table.add(row->cells(name));
  if (other_rows) table.add(others.cells("others(" + std::to_string(other_rows) + ")"));
  table.add(total.cells("total"));
  table.print(*ctx.out);
  return exit_ok;
}

}  // namespace mqctl
