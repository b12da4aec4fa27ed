// top: messages and bytes per status with their rates, and the entries
// that are most overdue; live on a terminal, one line per interval else.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands.h"
#include "details.h"
#include "errors.h"
#include "output.h"
#include "selection.h"
#include "terminal.h"
#include "time_text.h"

namespace mqctl {

namespace {

using response_t = client_session_t::response_t;

struct sample_t {
  std::uint64_t ms = 0;
  std::array<std::uint64_t, 4> messages{}, bytes{};
};

sample_t take_sample(client_session_t& session) {
  const response_t r = session.stat();
  sample_t s;
  s.ms = steady_ms();
  const response_t::QueueStat* stats[] = {&r.smtp_fresh_stat(), &r.smtp_accepted_stat(), &r.bcc_fresh_stat(),
                                          &r.bcc_accepted_stat()};
  for (int i = 0; i < 4; ++i) {
    s.messages[i] = stats[i]->total_messages();
    s.bytes[i] = stats[i]->total_bytes();
  }
  return s;
}

std::string rate(std::uint64_t now, std::uint64_t before, std::uint64_t ms) {
  if (!ms) return "-";
  const double r = (static_cast<double>(now) - static_cast<double>(before)) * 1000.0 / static_cast<double>(ms);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+.1f", r);
  return buf;
}

std::string bytes_text(std::uint64_t n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, units[u]);
  return buf;
}

struct overdue_t {
  int status;
  brief_t entry;
  std::uint64_t since;  // when it became due
};

// The candidates of every queue are its first keys due at 0 and its first
// keys due later but already past. An entry due at 0 (flushed, retried or
// put so) has been waiting since it was received, not since 1970.
std::vector<overdue_t> most_overdue(client_session_t& session, detail_reader_t* details, std::uint64_t count,
                                    std::uint64_t now) {
  std::vector<overdue_t> out;
  if (!count) return out;
  std::vector<std::uint64_t> at_zero;
  for (int status = 1; status <= 4; ++status) {
    for (const bool zero : {true, false}) {
      const std::uint64_t after = zero ? 0 : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      const response_t r = session.page(static_cast<mq::Status>(status), {after, 0}, count);
      for (const auto& e : r.entry()) {
        if (e.next_access_ts() > now || (e.next_access_ts() == 0) != zero) continue;
        out.push_back({status, e, e.next_access_ts()});
        if (zero) at_zero.push_back(e.id());
      }
    }
  }
  std::unordered_map<std::uint64_t, detail_t> received;
  if (details) received = details->read(at_zero);
  for (auto& o : out) {
    if (o.entry.next_access_ts() != 0) continue;
    const auto it = received.find(o.entry.id());
    o.since = it != received.end() && it->second.known ? std::min(it->second.received_ts, now) : now;
  }
  std::stable_sort(out.begin(), out.end(), [](const overdue_t& a, const overdue_t& b) { return a.since < b.since; });
  if (out.size() > count) out.resize(count);
  return out;
}

std::string screen(const std::string& socket, const sample_t& s, const sample_t* before,
                   const std::vector<overdue_t>& overdue, std::uint64_t now, std::uint64_t interval) {
  std::ostringstream o;
  o << "mqctl top  " << socket << "  " << iso_time(now, false) << "  every " << duration_text(interval)
    << ", q quits\n\n";
  table_t t({"STATUS", "MESSAGES", "MSG/S", "BYTES", "BYTES/S"});
  const std::uint64_t ms = before ? s.ms - before->ms : 0;
  std::uint64_t m = 0, b = 0, pm = 0, pb = 0;
  for (int i = 0; i < 4; ++i) {
    t.add({status_name(i + 1), std::to_string(s.messages[i]),
           before ? rate(s.messages[i], before->messages[i], ms) : "-", bytes_text(s.bytes[i]),
           before ? rate(s.bytes[i], before->bytes[i], ms) : "-"});
    m += s.messages[i];
    b += s.bytes[i];
    if (before) {
      pm += before->messages[i];
      pb += before->bytes[i];
    }
  }
  t.add({"total", std::to_string(m), before ? rate(m, pm, ms) : "-", bytes_text(b), before ? rate(b, pb, ms) : "-"});
  t.print(o);
  o << "\nMost overdue\n";
  table_t d({"ID", "STATUS", "OVERDUE", "ATTEMPTS", "SENDER", "RECIPIENTS"});
  for (const auto& x : overdue)
    d.add({std::to_string(x.entry.id()), status_name(x.status),
           duration_text(now - x.since) + (x.entry.next_access_ts() == 0 ? " (due at 0)" : ""),
           std::to_string(x.entry.attempts()), x.entry.sender().empty() ? "<>" : x.entry.sender(),
           recipients_cell({x.entry.recipient().begin(), x.entry.recipient().end()})});
  if (overdue.empty()) {
    o << "(none)\n";
  } else {
    d.print(o);
  }
  return o.str();
}

std::string line(const sample_t& s, const sample_t* before, std::uint64_t now) {
  std::string out = iso_time(now, false);
  const std::uint64_t ms = before ? s.ms - before->ms : 0;
  for (int i = 0; i < 4; ++i)
    out += " " + status_name(i + 1) + "=" + std::to_string(s.messages[i]) + "/" + std::to_string(s.bytes[i]) + "B" +
           (before ? "(" + rate(s.messages[i], before->messages[i], ms) + "/s)" : "");
  return out;
}

}  // namespace

int run_top(const context_t& ctx, const args_t& args) {
  args.expect_positional(0, "top [--interval DURATION] [--overdue N] [--iterations N]");
  std::uint64_t interval = 2;
  if (auto v = args.value("interval")) interval = parse_duration(*v, "--interval");
  if (interval == 0) throw usage_error_t("invalid --interval duration '0' (at least 1s)");
  std::uint64_t overdue = 10;
  if (auto v = args.value("overdue")) overdue = parse_u64(*v, "--overdue value");
  std::optional<std::uint64_t> iterations;
  if (auto v = args.value("iterations")) iterations = parse_u64(*v, "--iterations value");

  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  std::optional<detail_reader_t> details;
  if (overdue) details = open_details(ctx.sorter_socket, ctx.timeout_ms, false, *ctx.err);
  const bool live = is_terminal(1) && !ctx.json;
  interrupt_guard_t guard;
  std::optional<raw_input_t> keys;
  if (live) {
    keys.emplace(0);
    *ctx.out << "\033[?1049h" << std::flush;  // the alternate screen, given back at the end
  }
  std::optional<sample_t> before;
  std::uint64_t shown = 0;
  bool quit = false;
  while (!quit && !interrupt_guard_t::interrupted() && (!iterations || shown < *iterations)) {
    const sample_t s = take_sample(session);
    const std::uint64_t now = now_seconds();
    if (live) {
      const auto list =
          overdue ? most_overdue(session, details ? &*details : nullptr, overdue, now) : std::vector<overdue_t>();
      *ctx.out << "\033[H\033[J" << screen(ctx.client_socket, s, before ? &*before : nullptr, list, now, interval)
               << std::flush;
    } else if (ctx.json) {
      boost::json::object o{{"time", now}};
      for (int i = 0; i < 4; ++i) o[status_name(i + 1)] = {{"messages", s.messages[i]}, {"bytes", s.bytes[i]}};
      boost::json::array items;
      if (overdue)
        for (const auto& x : most_overdue(session, details ? &*details : nullptr, overdue, now))
          items.push_back({{"id", x.entry.id()}, {"status", status_name(x.status)}, {"overdue_s", now - x.since}});
      o["most_overdue"] = items;
      *ctx.out << json_text(o) << std::endl;
    } else {
      *ctx.out << line(s, before ? &*before : nullptr, now) << std::endl;
    }
    if (!*ctx.out) throw file_error_t("cannot write to standard output");
    before = s;
    ++shown;
    if (iterations && shown >= *iterations) break;
    // Wait out the interval; a key press ends the wait early.
    const std::uint64_t until = steady_ms() + interval * 1000;
    while (!interrupt_guard_t::interrupted()) {
      const std::uint64_t t = steady_ms();
      if (t >= until) break;
      const int wait = static_cast<int>(std::min<std::uint64_t>(until - t, 200));
      if (live && keys->active()) {
        const int key = keys->read_key(wait);
        if (key == 'q' || key == 'Q') {
          quit = true;
          break;
        }
      } else {
        ::usleep(static_cast<useconds_t>(wait) * 1000);
      }
    }
  }
  if (live) *ctx.out << "\033[?1049l" << std::flush;
  return exit_ok;
}

}  // namespace mqctl
