// Actions on many entries: remove, retry, move, delay. The entries come
// from ids on the command line or from a selection; the work goes over the
// Sorter socket with a bounded number of requests in flight.
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/pipeline.h"
#include "commands.h"
#include "errors.h"
#include "output.h"
#include "selection.h"
#include "terminal.h"
#include "text.h"
#include "time_text.h"

namespace mqctl {

namespace {

using sorter_request_t = sorter_session_t::request_t;
using sorter_response_t = sorter_session_t::response_t;

enum class action_t { remove, retry, move, delay };

struct item_t {
  std::uint64_t id;
  int status;  // 0 when given by id
};

struct outcome_t {
  std::uint64_t done = 0, gone = 0, changed = 0, failed = 0, left = 0;
  std::uint64_t unanswered = 0;        // in flight when the connection was lost
  std::string lost;                    // why the connection was lost, if it was
  std::vector<std::uint64_t> missing;  // ids that were not there
  std::map<std::string, std::uint64_t> reasons;
  std::vector<std::pair<std::uint64_t, std::string>> failures;  // the first ones, for --json
};

bool is_id(const std::string& word) {
  return !word.empty() && word.find_first_not_of("0123456789") == std::string::npos;
}

bool has_selection_option(const args_t& args) {
  const auto& t = selection_t::options();
  for (const auto& f : t.flags)
    if (args.flag(f)) return true;
  for (const auto& v : t.values)
    if (args.value(v)) return true;
  return false;
}

brief_t brief_of(const sorter_response_t& r) {
  brief_t b;
  const mq::Entry& e = r.entry();
  b.set_id(r.entry_id());
  b.set_sender(e.smtp_sender().sender());
  for (const auto& rcpt : e.smtp_recipient()) b.add_recipient(rcpt.recipient());
  b.set_next_access_ts(e.next_access_ts());
  b.set_attempts(e.attempts());
  b.set_session_id(e.session_id());
  return b;
}

// Asks for each entry first (so that one that is gone or no longer
// selected is told apart; removing or updating an unknown id succeeds
// silently), then acts on it.
class runner_t {
 public:
  runner_t(sorter_session_t& session, const std::vector<item_t>& items, const selection_t* selection,
           std::size_t in_flight, bool progress)
      : items_(items),
        selection_(selection),
        in_flight_(in_flight),
        progress_(progress, items.size()),
        pipeline_(session) {}

  outcome_t run(const std::function<void(sorter_request_t&)>& fill_action, sorter_response_t::Tag action_tag) {
    outcome_t o;
    std::size_t next = 0, finished = 0;
    try {
      loop(o, next, finished, fill_action, action_tag);
    } catch (const connection_error_t& e) {
      // The daemon went away: what was answered stands, what was in flight
      // is not known, the rest was not touched.
      o.lost = e.what();
      o.unanswered = pipeline_.in_flight();
      pipeline_.clear();
    }
    o.left += items_.size() - next + unsent_;
    progress_.update(finished, true);
    progress_.finish();
    return o;
  }

 private:
  void loop(outcome_t& o, std::size_t& next, std::size_t& finished,
            const std::function<void(sorter_request_t&)>& fill_action, sorter_response_t::Tag action_tag) {
    bool stopping = false;
    while (next < items_.size() || pipeline_.in_flight() > 0) {
      if (interrupt_guard_t::interrupted()) stopping = true;
      while (!stopping && pipeline_.in_flight() < in_flight_ && next < items_.size()) {
        auto get = get_request(items_[next].id);
        send(get, next, false);
        ++next;
      }
      if (pipeline_.in_flight() == 0) break;
      const auto [note, r] = pipeline_.receive();
      const auto [index, acting] = note;
      const item_t& item = items_[index];
      const bool alarm = r.tag() == sorter_response_t::ALARM;
      const detail_t details{r.entry().received_ts(), r.entry().message_size(), true};
      if (!acting) {
        if (alarm && mq::api::is_entry_not_found(r.error())) {
          ++o.gone;
          o.missing.push_back(item.id);
        } else if (!alarm && r.tag() != sorter_response_t::GET_ENTRY_RESPONSE) {
          throw connection_error_t("the daemon answered " + sorter_response_t::Tag_Name(r.tag()) +
                                   " to GET_ENTRY_REQUEST");
        } else if (!alarm && selection_ && !selection_->matches(r.status(), brief_of(r), &details)) {
          ++o.changed;
        } else if (stopping || interrupt_guard_t::interrupted()) {
          stopping = true;
          ++o.left;
        } else {
          // An entry that cannot be read (its message file lost, say) is
          // still acted on: the listing found it, and removing such entries
          // is what an operator may well be after.
          sorter_request_t act;
          act.set_entry_id(item.id);
          fill_action(act);
          send(act, index, true);
          continue;
        }
      } else if (alarm) {
        fail(o, item.id, r);
      } else if (r.tag() != action_tag) {
        throw connection_error_t("the daemon answered " + sorter_response_t::Tag_Name(r.tag()) + " instead of " +
                                 sorter_response_t::Tag_Name(action_tag));
      } else {
        ++o.done;
      }
      progress_.update(++finished);
    }
  }

  // A request that could not be sent was not acted on: its entry counts
  // as left untouched.
  void send(sorter_request_t& request, std::size_t index, bool acting) {
    try {
      pipeline_.send(request, {index, acting});
    } catch (const connection_error_t&) {
      if (acting) ++unsent_;
      throw;
    }
  }

  static void fail(outcome_t& o, std::uint64_t id, const sorter_response_t& r) {
    ++o.failed;
    const std::string reason = r.error().what().empty() ? std::string("unknown error") : r.error().what();
    ++o.reasons[reason];
    if (o.failures.size() < 100) o.failures.emplace_back(id, reason);
  }

  const std::vector<item_t>& items_;
  const selection_t* selection_;
  std::size_t in_flight_;
  progress_t progress_;
  mq::api::pipeline_t<std::pair<std::size_t, bool>> pipeline_;  // notes (item index, acting)
  std::uint64_t unsent_ = 0;
};

// The command's name and the word its summary starts with, in action_t order.
struct action_words_t {
  const char* name;
  const char* past;
};
const action_words_t action_words[] = {
    {"remove", "Removed"}, {"retry", "Retried"}, {"move", "Moved"}, {"delay", "Delayed"}};

const char* past_tense(action_t a) { return action_words[static_cast<int>(a)].past; }
const char* name_of(action_t a) { return action_words[static_cast<int>(a)].name; }

int run_bulk(const context_t& ctx, const args_t& args, action_t action, const std::string& usage) {
  std::vector<std::string> words = args.positional();
  const std::string command = name_of(action);
  std::uint64_t delay = 0;
  if (action == action_t::delay) {
    if (words.empty()) throw usage_error_t("usage: mqctl " + usage);
    delay = parse_duration(words.front(), "delay");
    words.erase(words.begin());
  }
  int target = 0;
  if (action == action_t::move) {
    auto to = args.value("to");
    if (!to) throw usage_error_t("move: --to STATUS is missing");
    target = parse_status(*to);
  }
  std::size_t in_flight = 16;
  if (auto v = args.value("parallel")) {
    const std::uint64_t n = parse_u64(*v, "--parallel value");
    if (n < 1 || n > 256) throw usage_error_t("invalid --parallel value: '" + *v + "' (1 to 256)");
    in_flight = static_cast<std::size_t>(n);
  }
  const bool dry_run = args.flag("dry-run"), yes = args.flag("yes");

  const bool by_id = !words.empty() && (is_id(words.front()) || words.front() == "-");
  if (by_id && has_selection_option(args))
    throw usage_error_t(command + ": entry ids and a selection exclude each other");
  if (!by_id && words.size() > 1) throw usage_error_t("usage: mqctl " + usage);

  std::optional<selection_t> selection;
  std::vector<item_t> items;
  std::string scope;
  if (by_id) {
    // An id given twice is one entry: acting on it twice would count it
    // twice as done, the second request landing on nothing.
    std::set<std::uint64_t> given;
    for (const std::uint64_t id : parse_ids(words))
      if (given.insert(id).second) items.push_back({id, 0});
    scope = "given by id";
  } else {
    selection.emplace(args, words.empty() ? std::nullopt : std::optional<std::string>(words[0]), false, command);
    if (action == action_t::move && selection->single_status() && selection->statuses()[0] == target)
      throw usage_error_t("move: --to names the selected status");
    if (!dry_run && !yes && !is_terminal(0))
      throw usage_error_t(command + " of a selection needs --yes when standard input is not a terminal");
    scope = "of " + selection->describe();
    interrupt_guard_t guard;
    client_session_t session(ctx.client_socket, ctx.timeout_ms);
    std::optional<detail_reader_t> details;
    if (selection->needs_details()) details.emplace(ctx.sorter_socket, ctx.timeout_ms);
    const bool show = is_terminal(2);
    selection->walk(
        session,
        [&](int status, const brief_t& e, const detail_t*) {
          items.push_back({e.id(), status});
          return !interrupt_guard_t::interrupted();
        },
        [&](std::uint64_t seen) {
          if (show)
            std::fprintf(stderr, "\rselecting: %llu read, %zu selected ", static_cast<unsigned long long>(seen),
                         items.size());
        },
        details ? &*details : nullptr);
    if (show) std::fprintf(stderr, "\r\033[K");
    if (interrupt_guard_t::interrupted()) {
      *ctx.err << "Interrupted while selecting; nothing changed\n";
      return exit_interrupted;
    }
  }

  std::string what = command + " " + entries(items.size()) + " " + scope;
  if (action == action_t::retry) what += " (make them due now)";
  if (action == action_t::move) what += " to " + status_name(target);
  if (action == action_t::delay) what += " until " + iso_time(now_seconds() + delay, false);
  // One entry by id is done without the announcement.
  const bool single = by_id && items.size() == 1 && !dry_run;
  if (!ctx.json && !single) *ctx.out << (dry_run ? "Would " : "Will ") << what << '\n' << std::flush;
  if (dry_run || items.empty()) {
    if (ctx.json)
      *ctx.out << json_text({{"action", command}, {"selected", items.size()}, {"dry_run", dry_run}}) << '\n';
    else
      *ctx.out << (items.empty() ? "Nothing to do\n" : "Dry run: nothing changed\n");
    return exit_ok;
  }
  if (!yes && !single && is_terminal(0) && !confirm("Proceed?")) {
    *ctx.out << "Nothing changed\n";
    return exit_ok;
  }

  const std::uint64_t until = now_seconds() + delay;
  auto fill = [&](sorter_request_t& r) {
    if (action == action_t::remove) {
      r.set_tag(sorter_request_t::REMOVE_ENTRY_REQUEST);
      return;
    }
    r.set_tag(sorter_request_t::UPDATE_ENTRY_REQUEST);
    if (action == action_t::retry) r.mutable_entry_update()->set_next_access_ts(0);
    if (action == action_t::delay) r.mutable_entry_update()->set_next_access_ts(until);
    if (action == action_t::move) r.mutable_entry_update()->set_status(static_cast<mq::Status>(target));
  };
  const auto tag =
      action == action_t::remove ? sorter_response_t::REMOVE_ENTRY_RESPONSE : sorter_response_t::UPDATE_ENTRY_RESPONSE;
  interrupt_guard_t guard;
  sorter_session_t session(ctx.sorter_socket, ctx.timeout_ms);
  runner_t runner(session, items, selection ? &*selection : nullptr, in_flight, is_terminal(2));
  const outcome_t o = runner.run(fill, tag);
  const bool interrupted = o.left > 0 && o.lost.empty();
  // Ids named one by one that were not there are told one by one.
  if (by_id)
    for (const std::uint64_t id : o.missing) *ctx.err << "mqctl: no entry " << id << '\n';

  if (ctx.json) {
    boost::json::array failures;
    for (const auto& [id, reason] : o.failures) failures.push_back({{"id", id}, {"error", reason}});
    boost::json::object out{{"action", command},
                            {"selected", items.size()},
                            {"done", o.done},
                            {"gone", o.gone},
                            {"changed", o.changed},
                            {"failed", o.failed},
                            {"unanswered", o.unanswered},
                            {"left", o.left},
                            {"interrupted", interrupted},
                            {"failures", failures}};
    if (by_id) out["missing"] = boost::json::array(o.missing.begin(), o.missing.end());
    if (!o.lost.empty()) out["connection_lost"] = o.lost;
    *ctx.out << json_text(out) << '\n';
  } else if (single && o.done == 1) {
    // One entry by id: the short answer of old.
    *ctx.out << past_tense(action) << " entry " << items[0].id << '\n';
  } else if (!single || !o.lost.empty() || o.failed) {
    *ctx.out << past_tense(action) << ' ' << outcome_text(o.done, items.size(), o.gone, o.changed, o.failed) << '\n';
    for (const auto& [reason, n] : o.reasons) *ctx.out << "  failed: " << entries(n) << ": " << shown(reason) << '\n';
    if (!o.lost.empty())
      *ctx.out << "Connection lost: " << o.lost << "\n  " << entries(o.unanswered) << " had no answer (done or not), "
               << entries(o.left) << " left untouched\n";
    if (interrupted)
      *ctx.out << "Interrupted: " << entries(o.left) << " left untouched, the requests in flight were completed\n";
  }
  if (!o.lost.empty()) return exit_connection;
  if (interrupted) return exit_interrupted;
  return o.failed || (by_id && !o.missing.empty()) ? exit_daemon_error : exit_ok;
}

}  // namespace

int run_remove(const context_t& ctx, const args_t& args) {
  return run_bulk(ctx, args, action_t::remove, "remove (ID... | STATUS | --all) [SELECTION] [--dry-run] [--yes]");
}

int run_retry(const context_t& ctx, const args_t& args) {
  return run_bulk(ctx, args, action_t::retry, "retry (ID... | STATUS | --all) [SELECTION] [--dry-run] [--yes]");
}

int run_move(const context_t& ctx, const args_t& args) {
  return run_bulk(ctx, args, action_t::move,
                  "move (ID... | STATUS | --all) --to STATUS [SELECTION] [--dry-run] [--yes]");
}

int run_delay(const context_t& ctx, const args_t& args) {
  return run_bulk(ctx, args, action_t::delay,
                  "delay DURATION (ID... | STATUS | --all) [SELECTION] [--dry-run] [--yes]");
}

}  // namespace mqctl
