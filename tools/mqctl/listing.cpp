// Commands that read a selection: list and shape.
#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "selection.h"
#include "terminal.h"
#include "text.h"
#include "time_text.h"

namespace mqctl {

namespace {

std::string entry_json(int status, const brief_t& e, const detail_t* d) {
  boost::json::object o{{"id", e.id()}, {"status", status_name(status)}};
  if (d && d->known) {
    o["received_ts"] = d->received_ts;
    o["message_size"] = d->message_size;
  }
  o["next_access_ts"] = e.next_access_ts();
  o["attempts"] = e.attempts();
  o["session_id"] = e.session_id();
  o["sender"] = e.sender();
  o["recipients"] = json_strings(e.recipient());
  return json_text(o);
}

// Due-time buckets, from now: due, < 5 min, < 1 h, < 4 h, < 1 day, later.
const std::vector<std::uint64_t> due_limits = {300, 3600, 14400, 86400};
const std::vector<std::string> due_names = {"due", "<5m", "<1h", "<4h", "<1d", "later"};
// Age buckets (see shape_age_names).
const std::vector<std::uint64_t> age_limits = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 76800};
// Attempts buckets: 0, 1, 2-4, 5-9, 10 and more.
const std::vector<std::string> attempts_names = {"0", "1", "2-4", "5-9", "10+"};

// The first limit `span` is below, or the last bucket.
std::size_t bucket(std::uint64_t span, const std::vector<std::uint64_t>& limits) {
  for (std::size_t i = 0; i < limits.size(); ++i)
    if (span < limits[i]) return i;
  return limits.size();
}

std::size_t due_bucket(std::uint64_t next, std::uint64_t now) {
  return next <= now ? 0 : bucket(next - now, due_limits) + 1;
}

std::size_t attempts_bucket(std::uint64_t attempts) {
  if (attempts <= 1) return attempts;
  if (attempts <= 4) return 2;
  if (attempts <= 9) return 3;
  return 4;
}

struct shape_row_t {
  std::uint64_t total = 0;
  std::vector<std::uint64_t> time;  // by due time or by age
  std::array<std::uint64_t, 5> attempts{};

  void count(std::size_t time_at, std::size_t attempts_at) {
    ++total;
    if (time.size() <= time_at) time.resize(time_at + 1);
    ++time[time_at];
    ++attempts[attempts_at];
  }
  void add(const shape_row_t& other) {
    total += other.total;
    if (time.size() < other.time.size()) time.resize(other.time.size());
    for (std::size_t i = 0; i < other.time.size(); ++i) time[i] += other.time[i];
    for (std::size_t i = 0; i < attempts.size(); ++i) attempts[i] += other.attempts[i];
  }
  std::uint64_t at(std::size_t i) const { return i < time.size() ? time[i] : 0; }
  std::vector<std::string> cells(const std::string& name, const std::vector<std::string>& names) const {
    std::vector<std::string> out{name, std::to_string(total)};
    for (std::size_t i = 0; i < names.size(); ++i) out.push_back(std::to_string(at(i)));
    for (auto n : attempts) out.push_back(std::to_string(n));
    return out;
  }
  boost::json::object json(const std::string& name, const std::string& time_key,
                           const std::vector<std::string>& names) const {
    boost::json::object d, a;
    for (std::size_t i = 0; i < names.size(); ++i) d[names[i]] = at(i);
    for (std::size_t i = 0; i < attempts.size(); ++i) a[attempts_names[i]] = attempts[i];
    return {{"name", name}, {"total", total}, {time_key, d}, {"attempts", a}};
  }
};

// A domain rolled up to its last `labels` labels (0: as it is).
std::string rolled_up(const std::string& domain, std::uint64_t labels) {
  if (!labels) return domain;
  std::size_t at = domain.size();
  for (std::uint64_t i = 0; i < labels; ++i) {
    const auto dot = at == 0 ? std::string::npos : domain.rfind('.', at - 1);
    if (dot == std::string::npos) return domain;
    at = dot;
  }
  return domain.substr(at + 1);
}

// Stops a long listing as soon as standard output fails.
void check_output(std::ostream& out) {
  if (!out) throw file_error_t("cannot write to standard output");
}

std::optional<std::string> status_word(const args_t& args, const std::string& usage) {
  if (args.positional().size() > 1) throw usage_error_t("usage: mqctl " + usage);
  if (args.positional().empty()) return std::nullopt;
  return args.positional()[0];
}

}  // namespace

const std::vector<std::string>& shape_age_names() {
  // Doubling from 5 minutes up to 1280 minutes and older.
  static const std::vector<std::string> names = {"<5m",   "<10m",  "<20m",  "<40m",   "<80m",
                                                 "<160m", "<320m", "<640m", "<1280m", "older"};
  return names;
}

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
  // Age and size come over the Sorter socket, entry by entry: only when
  // shown or selected on.
  std::optional<detail_reader_t> details;
  if ((!ids && !count) || selection.needs_details())
    details = open_details(ctx.sorter_socket, ctx.timeout_ms, selection.needs_details(), *ctx.err);
  std::ostream& out = *ctx.out;
  std::uint64_t n = 0;
  std::vector<std::string> header{"ID"};
  if (all) header.push_back("STATUS");
  header.insert(header.end(), {style == time_style_t::epoch ? "RECEIVED_TS" : "AGE", "SIZE",
                               style == time_style_t::epoch ? "NEXT_ACCESS_TS" : "NEXT_ACCESS", "ATTEMPTS",
                               "SESSION_ID", "SENDER", "RECIPIENTS"});
  stream_table_t table(header, out);
  const auto walked = [&](int status, const brief_t& e, const detail_t* d) {
    ++n;
    if (count) return true;
    if (ids) {
      out << e.id() << '\n';
    } else if (ctx.json) {
      out << entry_json(status, e, d) << '\n';
    } else {
      std::vector<std::string> row{std::to_string(e.id())};
      if (all) row.push_back(status_name(status));
      const bool known = d && d->known;
      row.push_back(!known                              ? "?"
                    : style == time_style_t::epoch      ? std::to_string(d->received_ts)
                    : d->received_ts >= selection.now() ? "0s"
                                                        : duration_text(selection.now() - d->received_ts));
      row.push_back(known ? std::to_string(d->message_size) : "?");
      row.insert(row.end(), {format_time(e.next_access_ts(), style, selection.now()), std::to_string(e.attempts()),
                             e.session_id().empty() ? "-" : e.session_id(), e.sender().empty() ? "<>" : e.sender(),
                             recipients_cell({e.recipient().begin(), e.recipient().end()})});
      table.add(std::move(row));
    }
    check_output(out);
    return true;
  };
  const bool cut = selection.walk(session, walked, {}, details ? &*details : nullptr);

  if (count) {
    if (ctx.json) {
      out << json_text({{"count", n}}) << '\n';
    } else {
      out << n << '\n';
    }
    return exit_ok;
  }
  if (ids || ctx.json) return exit_ok;
  table.finish();
  out << entries(n) << " in " << (all ? std::string("all statuses") : status_name(selection.statuses()[0])) << '\n';
  if (cut && !all) out << "next page: --after " << selection.last_key() << '\n';
  return exit_ok;
}

int run_shape(const context_t& ctx, const args_t& args) {
  const selection_t selection(
      args,
      status_word(args, "shape [STATUS | --all] [SELECTION] [--by domain|sender] [--by-age] [--roll-up N] [--top N]"),
      true, "shape");
  const std::string by = args.value("by").value_or("domain");
  if (by != "domain" && by != "sender" && by != "sender-address")
    throw usage_error_t("invalid --by '" + by + "' (domain, sender or sender-address)");
  std::uint64_t top = 20;
  if (auto v = args.value("top")) top = parse_u64(*v, "--top value");
  std::uint64_t roll_up = 0;
  if (auto v = args.value("roll-up")) {
    roll_up = parse_u64(*v, "--roll-up value");
    if (roll_up == 0 || by == "sender-address")
      throw usage_error_t("--roll-up takes a number of labels (2 for example.org) and a domain column");
  }
  const bool by_age = args.flag("by-age");
  const auto& time_names = by_age ? shape_age_names() : due_names;

  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  std::optional<detail_reader_t> details;
  if (by_age || selection.needs_details()) details.emplace(ctx.sorter_socket, ctx.timeout_ms);
  std::map<std::string, shape_row_t> rows;
  shape_row_t total;
  const bool show = is_terminal(2);
  std::set<std::string> keys;
  selection.walk(
      session,
      [&](int, const brief_t& e, const detail_t* details) {
        std::size_t d = due_bucket(e.next_access_ts(), selection.now());
        if (by_age) {
          const std::uint64_t received = details && details->known ? details->received_ts : selection.now();
          d = bucket(selection.now() > received ? selection.now() - received : 0, age_limits);
        }
        const std::size_t a = attempts_bucket(e.attempts());
        total.count(d, a);
        keys.clear();
        if (by == "domain") {
          // An entry counts once in each domain it has recipients in.
          for (const auto& r : e.recipient()) {
            const std::string dom = rolled_up(domain_of(r), roll_up);
            keys.insert(dom.empty() ? "(none)" : domain_display(dom));
          }
          if (keys.empty()) keys.insert("(none)");
        } else if (by == "sender") {
          const std::string dom = rolled_up(domain_of(e.sender()), roll_up);
          keys.insert(e.sender().empty() ? "<>" : dom.empty() ? "(none)" : domain_display(dom));
        } else {
          keys.insert(e.sender().empty() ? "<>" : e.sender());
        }
        for (const auto& k : keys) rows[k].count(d, a);
        return true;
      },
      [&](std::uint64_t seen) {
        if (show) std::fprintf(stderr, "\r%llu entries read ", static_cast<unsigned long long>(seen));
      },
      details ? &*details : nullptr);
  if (show) std::fprintf(stderr, "\r\033[K");

  std::vector<std::pair<std::string, const shape_row_t*>> order;
  order.reserve(rows.size());
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
    boost::json::array items;
    const std::string key = by_age ? "age" : "due";
    for (const auto& [name, row] : order) items.push_back(row->json(name, key, time_names));
    *ctx.out << json_text({{"by", by},
                           {"statuses", selection.describe()},
                           {"rows", items},
                           {"others", others.json("others", key, time_names)},
                           {"other_rows", other_rows},
                           {"total", total.json("total", key, time_names)}})
             << '\n';
    return exit_ok;
  }
  std::vector<std::string> header{column, "TOTAL"};
  for (const auto& n : time_names) header.push_back(by_age ? "age:" + n : n);
  for (const auto& n : attempts_names) header.push_back("att:" + n);
  table_t table(header);
  for (const auto& [name, row] : order) table.add(row->cells(name, time_names));
  if (other_rows) table.add(others.cells("others(" + std::to_string(other_rows) + ")", time_names));
  table.add(total.cells("total", time_names));
  table.print(*ctx.out);
  return exit_ok;
}

}  // namespace mqctl
