#include "selection.h"

#include <algorithm>
#include <cctype>

#include "errors.h"
#include "time_text.h"

namespace mqctl {

namespace {

// Entries asked for per page. The daemon may answer with fewer; a walk
// goes on from the last key it got and ends only on an empty page.
constexpr std::uint64_t page_size = 1000;

std::regex make_regex(const std::string& text, const std::string& option) {
  try {
    return std::regex(text, std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
  } catch (const std::regex_error& e) {
    throw usage_error_t("invalid " + option + " regular expression '" + text + "': " + e.what());
  }
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

}  // namespace

std::string domain_of(const std::string& address) {
  const auto at = address.rfind('@');
  if (at == std::string::npos) return std::string();
  std::string d = lower(address.substr(at + 1));
  while (!d.empty() && d.back() == '>') d.pop_back();
  return d;
}

const args_t::option_table_t& selection_t::options() {
  static const args_t::option_table_t table{{"all", "due", "not-due"},
                                            {"sender", "rcpt", "domain", "session", "attempts", "attempts-min",
                                             "next-before", "next-after", "limit", "after"},
                                            {}};
  return table;
}

const char* selection_t::help() {
  return "Selection (STATUS, or --all for every status, then any of):\n"
         "  --sender REGEX       the sender matches (case-insensitive, anywhere unless anchored)\n"
         "  --rcpt REGEX         any recipient matches\n"
         "  --domain D           the sender or any recipient is in domain D\n"
         "  --session REGEX      the session id matches\n"
         "  --attempts N         exactly N attempts;  --attempts-min N: at least N\n"
         "  --due, --not-due     the next access time has come (0 or past), or not yet\n"
         "  --next-before T      next access time before T;  --next-after T: after T\n"
         "                       T: ISO 8601 (2026-12-06T15:00, local unless Z or +HH:MM),\n"
         "                       relative to now (2h, -30m, 1d12h), 'now' or epoch seconds\n"
         "  --limit N            at most N entries\n"
         "  --after ID:TS        start after the key ID:TS (one status only)\n";
}

selection_t::selection_t(const args_t& args, const std::optional<std::string>& status_word, bool default_all,
                         const std::string& command)
    : now_(now_seconds()) {
  const bool all = args.flag("all");
  if (status_word && all) throw usage_error_t(command + ": give a STATUS or --all, not both");
  if (status_word) {
    statuses_ = {parse_status(*status_word)};
  } else if (all || default_all) {
    statuses_ = {1, 2, 3, 4};
  } else {
    throw usage_error_t(command + ": name a STATUS or give --all");
  }
  auto note = [this](const std::string& text) { described_ += (described_.empty() ? "" : ", ") + text; };
  if (auto v = args.value("sender")) {
    sender_ = make_regex(*v, "--sender");
    note("--sender '" + *v + "'");
  }
  if (auto v = args.value("rcpt")) {
    rcpt_ = make_regex(*v, "--rcpt");
    note("--rcpt '" + *v + "'");
  }
  if (auto v = args.value("session")) {
    session_ = make_regex(*v, "--session");
    note("--session '" + *v + "'");
  }
  if (auto v = args.value("domain")) {
    std::string d = lower(*v);
    if (!d.empty() && d[0] == '@') d.erase(0, 1);
    if (d.empty() || d.find_first_of("@ \t") != std::string::npos)
      throw usage_error_t("invalid --domain '" + *v + "' (a domain such as example.org)");
    domain_ = d;
    note("--domain " + d);
  }
  if (auto v = args.value("attempts")) {
    attempts_ = parse_u64(*v, "--attempts value");
    note("--attempts " + *v);
  }
  if (auto v = args.value("attempts-min")) {
    attempts_min_ = parse_u64(*v, "--attempts-min value");
    note("--attempts-min " + *v);
  }
  if (args.flag("due") && args.flag("not-due")) throw usage_error_t("--due and --not-due exclude each other");
  if (args.flag("due")) {
    due_ = true;
    note("--due");
  }
  if (args.flag("not-due")) {
    due_ = false;
    note("--not-due");
  }
  if (auto v = args.value("next-before")) {
    next_before_ = parse_time(*v, "--next-before", now_);
    note("--next-before " + iso_time(*next_before_, false));
  }
  if (auto v = args.value("next-after")) {
    next_after_ = parse_time(*v, "--next-after", now_);
    note("--next-after " + iso_time(*next_after_, false));
  }
  if (auto v = args.value("limit")) {
    limit_ = parse_u64(*v, "--limit value");
    if (*limit_ == 0) throw usage_error_t("invalid --limit value: '" + *v + "' (at least 1)");
    note("--limit " + *v);
  }
  if (auto v = args.value("after")) {
    if (statuses_.size() != 1) throw usage_error_t("--after needs a single STATUS");
    after_ = parse_key(*v);
    note("--after " + *v);
  }
}

std::string selection_t::describe() const {
  std::string out = statuses_.size() == 1 ? status_name(statuses_[0]) : "all statuses";
  if (!described_.empty()) out += ", " + described_;
  return out;
}

bool selection_t::matches(int status, const brief_t& e) const {
  if (std::find(statuses_.begin(), statuses_.end(), status) == statuses_.end()) return false;
  if (attempts_ && e.attempts() != *attempts_) return false;
  if (attempts_min_ && e.attempts() < *attempts_min_) return false;
  const std::uint64_t next = e.next_access_ts();
  if (due_ && (next <= now_) != *due_) return false;
  if (next_before_ && !(next < *next_before_)) return false;
  if (next_after_ && !(next > *next_after_)) return false;
  if (domain_) {
    bool hit = domain_of(e.sender()) == *domain_;
    for (int i = 0; !hit && i < e.recipient_size(); ++i) hit = domain_of(e.recipient(i)) == *domain_;
    if (!hit) return false;
  }
  if (sender_ && !std::regex_search(e.sender(), *sender_)) return false;
  if (session_ && !std::regex_search(e.session_id(), *session_)) return false;
  if (rcpt_) {
    bool hit = false;
    for (int i = 0; !hit && i < e.recipient_size(); ++i) hit = std::regex_search(e.recipient(i), *rcpt_);
    if (!hit) return false;
  }
  return true;
}

bool selection_t::walk(client_session_t& session, const std::function<bool(int, const brief_t&)>& on_entry,
                       const std::function<void(std::uint64_t)>& on_page) const {
  std::uint64_t passed = 0, seen = 0;
  for (const int status : statuses_) {
    auto key = after_;
    for (;;) {
      client_session_t::request_t request;
      request.set_tag(client_session_t::request_t::GET_QUEUE_CHUNK_REQUEST);
      request.set_status(static_cast<mq::Status>(status));
      request.set_entry_id(key.first);
      request.set_next_access_ts(key.second);
      request.set_limit(page_size);
      const auto response = session.call(request);
      if (response.entry_size() == 0) break;
      for (const auto& e : response.entry()) {
        // Keys only go forward; anything else would page for ever.
        if (std::make_pair(e.next_access_ts(), e.id()) <= std::make_pair(key.second, key.first) &&
            (key.first != 0 || key.second != 0))
          throw connection_error_t("the daemon sent a page out of key order");
        key = {e.id(), e.next_access_ts()};
        if (!matches(status, e)) continue;
        last_key_ = std::to_string(e.id()) + ":" + std::to_string(e.next_access_ts());
        if (!on_entry(status, e)) return false;
        if (limit_ && ++passed >= *limit_) return true;
      }
      seen += static_cast<std::uint64_t>(response.entry_size());
      if (on_page) on_page(seen);
    }
  }
  return false;
}

}  // namespace mqctl
