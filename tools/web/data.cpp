// The one place where mq-web talks to the daemon: through the client
// library (mq::api) and the commands of mqctl's library.
#include "web/data.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>

#include "api/error.h"
#include "api/sorter_session.h"
#include "api/status_name.h"
#include "metrics/queue_probe.h"
#include "metrics/sample.h"
#include "mqctl/args.h"
#include "mqctl/commands.h"
#include "mqctl/details.h"
#include "mqctl/errors.h"
#include "mqctl/output.h"
#include "mqctl/selection.h"
#include "mqctl/time_text.h"

namespace mq::web {

namespace {

using google::protobuf::Struct;
using google::protobuf::Value;

// mqctl's option table of the commands mq-web runs: the selection, shape's
// and the bulk actions'.
const mqctl::args_t::option_table_t& option_table() {
  static const mqctl::args_t::option_table_t table = [] {
    auto t = mqctl::selection_t::options();
    t.flags.insert({"by-age", "yes", "dry-run"});
    t.values.insert({"by", "top", "roll-up", "to", "parallel"});
    return t;
  }();
  return table;
}

// mqctl writes bytes that are no UTF-8 as \udc80..\udcff, which the JSON
// reader refuses: they become U+FFFD, shown as such.
std::string readable_json(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      if (text[i + 1] == 'u' && i + 5 < text.size() && text.compare(i + 2, 2, "dc") == 0) {
        out += "\\ufffd";
        i += 5;
        continue;
      }
      out += text.substr(i, 2);
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

Struct parse_json(const std::string& text) {
  Struct s;
  if (!google::protobuf::util::JsonStringToMessage(readable_json(text), &s).ok())
    throw std::runtime_error("mqctl's answer is no JSON object");
  return s;
}

std::uint64_t number(const Struct& s, const std::string& name) {
  const auto it = s.fields().find(name);
  return it == s.fields().end() ? 0 : static_cast<std::uint64_t>(it->second.number_value());
}

// The STATUS word of a selection's words, if it has one.
std::optional<std::string> status_word(const mqctl::args_t& args) {
  if (args.positional().size() > 1) throw std::runtime_error("a selection names one status");
  if (args.positional().empty()) return std::nullopt;
  return args.positional()[0];
}

std::string stopped_text(std::chrono::milliseconds budget, std::uint64_t seen) {
  char spent[32];
  std::snprintf(spent, sizeof spent, "%.3g", static_cast<double>(budget.count()) / 1000);
  return std::string("The selection was stopped after ") + spent + " s, having looked at " + mqctl::entries(seen) +
         ": narrow it (one status, a domain, a pattern anchored with ^).";
}

template <class F>
auto guarded(F f) -> decltype(f()) {
  try {
    return f();
  } catch (const mqctl::usage_error_t& e) {
    throw std::runtime_error(e.what());
  } catch (const mqctl::connection_error_t& e) {
    throw std::runtime_error(e.what());
  } catch (const mqctl::daemon_error_t& e) {
    throw std::runtime_error(std::string("the daemon answered: ") + e.what());
  }
}

// Runs one of mqctl's commands with `words`, its JSON as text.
std::string run_json(int (*command)(const mqctl::context_t&, const mqctl::args_t&), const std::string& sorter_socket,
                     const std::string& client_socket, int timeout_ms, const std::vector<std::string>& words) {
  std::ostringstream out, err;
  mqctl::context_t ctx;
  ctx.sorter_socket = sorter_socket;
  ctx.client_socket = client_socket;
  ctx.json = true;
  ctx.timeout_ms = timeout_ms;
  ctx.out = &out;
  ctx.err = &err;
  const int status = guarded([&] { return command(ctx, mqctl::args_t(words, option_table())); });
  if (status == mqctl::exit_connection || status == mqctl::exit_usage)
    throw std::runtime_error(err.str().empty() ? out.str() : err.str());
  return out.str();
}

}  // namespace

data_t::data_t(std::string sorter_socket, std::string client_socket, int timeout_ms)
    : sorter_socket_(std::move(sorter_socket)), client_socket_(std::move(client_socket)), timeout_ms_(timeout_ms) {}

std::array<data_t::status_figures_t, 4> data_t::overview() const {
  const auto sample = guarded([&] {
    try {
      return metrics::queue_probe_t::run(client_socket_, std::chrono::milliseconds(timeout_ms_));
    } catch (const std::system_error& e) {
      throw std::runtime_error("cannot reach the client socket " + client_socket_ + ": " + e.what());
    }
  });
  const std::uint64_t now = mqctl::now_seconds();
  std::array<status_figures_t, 4> out;
  for (std::size_t i = 0; i < 4; ++i) {
    const auto& s = sample.statuses[i];
    out[i].name = api::status_names[i];
    out[i].messages = s.messages;
    out[i].bytes = s.bytes;
    if (s.first_due_ts && *s.first_due_ts < now) out[i].oldest_overdue = now - *s.first_due_ts;
  }
  return out;
}

data_t::shape_t data_t::shape() const {
  const auto start = std::chrono::steady_clock::now();
  const std::string text = run_json(mqctl::run_shape, sorter_socket_, client_socket_, timeout_ms_,
                                    {"--all", "--by-age", "--by", "domain", "--top", "20"});
  const Struct s = parse_json(text);
  shape_t shape;
  shape.columns = mqctl::shape_age_names();
  const auto row_of = [&](const Struct& r, const std::string& name) {
    shape_t::row_t row;
    row.name = name;
    row.total = number(r, "total");
    const auto age = r.fields().find("age");
    for (const auto& c : shape.columns)
      row.cells.push_back(age == r.fields().end() ? 0 : number(age->second.struct_value(), c));
    return row;
  };
  for (const Value& v : s.fields().at("rows").list_value().values())
    shape.rows.push_back(row_of(v.struct_value(), v.struct_value().fields().at("name").string_value()));
  if (number(s, "other_rows"))
    shape.rows.push_back(
        row_of(s.fields().at("others").struct_value(), "others (" + std::to_string(number(s, "other_rows")) + ")"));
  shape.rows.push_back(row_of(s.fields().at("total").struct_value(), "total"));
  shape.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return shape;
}

std::string data_t::walk(const selection_t& words, const std::string& command,
                         const mqctl::selection_t::on_entry_t& on_entry,
                         const std::function<void(std::uint64_t)>& on_page, const bounds_t& bounds) const {
  const mqctl::args_t args(words, option_table());
  const mqctl::selection_t selection(args, status_word(args), false, command);
  api::client_session_t session(client_socket_, timeout_ms_);
  std::optional<mqctl::detail_reader_t> details;
  if (selection.needs_details()) details.emplace(sorter_socket_, timeout_ms_);
  const auto& budget = bounds.budget;
  const auto until = std::chrono::steady_clock::now() + budget.value_or(std::chrono::milliseconds(0));
  // The walk's session is its own: leaving it by an exception between pages
  // leaves nothing half-read for anyone else.
  const auto checked = [&](std::uint64_t seen) {
    if (on_page) on_page(seen);
    if (bounds.gone && bounds.gone())
      throw stopped_t("The selection was stopped: nobody waits for it any more.", seen, true);
    if (budget && std::chrono::steady_clock::now() >= until) throw stopped_t(stopped_text(*budget, seen), seen, false);
  };
  const bool cut = selection.walk(session, on_entry, checked, details ? &*details : nullptr);
  return cut && selection.single_status() ? selection.last_key() : "";
}

data_t::page_t data_t::list(const selection_t& words, std::size_t size, const std::string& after,
                            const bounds_t& bounds) const {
  return guarded([&] {
    std::vector<std::string> w = words;
    w.insert(w.end(), {"--limit", std::to_string(size)});
    if (!after.empty()) w.push_back("--after=" + after);
    page_t page;
    page.next_after = walk(
        w, "list",
        [&](int status, const mqctl::brief_t& e, const mqctl::detail_t* d) {
          item_t item;
          item.id = e.id();
          item.status = mqctl::status_name(status);
          item.sender = e.sender();
          item.recipients.assign(e.recipient().begin(), e.recipient().end());
          item.next_access_ts = e.next_access_ts();
          item.attempts = e.attempts();
          if (d && d->known) {
            item.received_ts = d->received_ts;
            item.size = d->message_size;
          }
          page.items.push_back(std::move(item));
          return true;
        },
        {}, bounds);
    // Age and size only for the entries shown that the walk did not read:
    // one request each.
    std::vector<std::uint64_t> ids;
    for (const auto& i : page.items)
      if (!i.received_ts) ids.push_back(i.id);
    if (ids.empty()) return page;
    const auto found = mqctl::detail_reader_t(sorter_socket_, timeout_ms_).read(ids);
    for (auto& i : page.items)
      if (const auto it = found.find(i.id); it != found.end() && it->second.known) {
        i.received_ts = it->second.received_ts;
        i.size = it->second.message_size;
      }
    return page;
  });
}

std::vector<std::uint64_t> data_t::select(const selection_t& words, const std::function<void(std::uint64_t)>& on_page,
                                          const bounds_t& bounds) const {
  return guarded([&] {
    std::vector<std::uint64_t> ids;
    walk(
        words, "select",
        [&](int, const mqctl::brief_t& e, const mqctl::detail_t*) {
          ids.push_back(e.id());
          return true;
        },
        on_page, bounds);
    return ids;
  });
}

std::optional<api::sorter_session_t::response_t> data_t::get(std::uint64_t id, util::unique_fd_t& fd) const {
  api::sorter_session_t session(sorter_socket_, timeout_ms_);
  try {
    return session.call(mqctl::get_request(id), api::sorter_session_t::response_t::GET_ENTRY_RESPONSE, -1, &fd);
  } catch (const api::entry_not_found_t&) {
    return std::nullopt;
  }
}

std::optional<data_t::entry_t> data_t::entry(std::uint64_t id) const {
  return guarded([&]() -> std::optional<entry_t> {
    util::unique_fd_t fd;
    const auto r = get(id, fd);
    if (!r) return std::nullopt;
    entry_t out;
    out.id = id;
    out.status = mqctl::status_name(r->status());
    out.entry = r->entry();
    out.readable = fd.get() >= 0;
    if (out.readable) {
      // The head is what a reader needs; a head past 64 KiB is cut there.
      std::string head(std::size_t{64} * 1024, '\0');
      const ssize_t n = ::pread(fd.get(), head.data(), head.size(), 0);
      head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      std::size_t end = head.find("\r\n\r\n");
      const std::size_t lf = head.find("\n\n");
      if (lf < end) end = lf;
      if (end != std::string::npos) head.resize(end);
      out.header_block = std::move(head);
    }
    return out;
  });
}

std::optional<std::string> data_t::message(std::uint64_t id) const {
  return guarded([&]() -> std::optional<std::string> {
    util::unique_fd_t fd;
    if (!get(id, fd)) return std::nullopt;
    if (fd.get() < 0) throw std::runtime_error("the daemon passed no message file for entry " + std::to_string(id));
    std::string text;
    char chunk[65536];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd.get(), chunk, sizeof chunk, at);
      if (n < 0) throw std::runtime_error("cannot read the message of entry " + std::to_string(id));
      if (n == 0) break;
      text.append(chunk, static_cast<std::size_t>(n));
      at += n;
    }
    return text;
  });
}

void data_t::act(action_t action, const std::string& to_status, const std::vector<std::uint64_t>& ids,
                 outcome_t& o) const {
  if (ids.empty()) return;
  std::vector<std::string> words;
  words.reserve(ids.size() + 3);
  for (const auto id : ids) words.push_back(std::to_string(id));
  words.push_back("--yes");
  if (action == action_t::move) words.insert(words.end(), {"--to", to_status});
  const auto command = action == action_t::retry  ? mqctl::run_retry
                       : action == action_t::move ? mqctl::run_move
                                                  : mqctl::run_remove;
  const std::string text = run_json(command, sorter_socket_, client_socket_, timeout_ms_, words);
  const Struct s = parse_json(text);
  o.done += number(s, "done");
  o.gone += number(s, "gone");
  o.changed += number(s, "changed");
  o.failed += number(s, "failed");
  if (const auto it = s.fields().find("failures"); it != s.fields().end())
    for (const Value& f : it->second.list_value().values())
      if (o.reasons.size() < 20)
        o.reasons.push_back(std::to_string(number(f.struct_value(), "id")) + ": " +
                            f.struct_value().fields().at("error").string_value());
  if (const auto it = s.fields().find("connection_lost"); it != s.fields().end())
    throw std::runtime_error("connection to the daemon lost: " + it->second.string_value());
}

}  // namespace mq::web
