#include "selection.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <unordered_map>

#include "errors.h"
#include "text.h"
#include "time_text.h"

namespace mqctl {

namespace {

// Entries asked for per page. The daemon may answer with fewer; a walk
// goes on from the last key it got and ends only on an empty page.
constexpr std::uint64_t page_size = 1000;

pattern_t make_pattern(const std::string& text, const std::string& option) { return pattern_t(text, option); }

}  // namespace

std::string domain_of(const std::string& address) {
  const auto at = address.rfind('@');
  if (at == std::string::npos) return std::string();
  std::string d = address.substr(at + 1);
  while (!d.empty() && d.back() == '>') d.pop_back();
  return domain_key(d);
}

std::uint64_t parse_size(const std::string& text, const std::string& option) {
  std::size_t used = 0;
  double value = -1;
  try {
    if (!text.empty() && ((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) value = std::stod(text, &used);
  } catch (const std::exception&) {
    value = -1;
  }
  std::string unit = text.substr(used);
  if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b')) unit.pop_back();
  if (!unit.empty() && unit.back() == 'i') unit.pop_back();
  const std::string units = "kmgt";
  double factor = 1;
  if (unit.size() == 1 &&
      units.find(static_cast<char>(std::tolower(static_cast<unsigned char>(unit[0])))) != std::string::npos) {
    for (std::size_t i = 0; i <= units.find(static_cast<char>(std::tolower(static_cast<unsigned char>(unit[0])))); ++i)
      factor *= 1024;
  } else if (!unit.empty()) {
    value = -1;
  }
  if (value < 0 || value * factor > 1e18)
    throw usage_error_t("invalid " + option + " size '" + text + "' (bytes, or with k, M, G: 10k, 1.5M)");
  return static_cast<std::uint64_t>(value * factor);
}

const args_t::option_table_t& selection_t::options() {
  static const args_t::option_table_t table{
      {"all", "due", "not-due"},
      {"sender", "rcpt", "domain", "session", "attempts", "attempts-min", "next-before", "next-after", "limit", "after",
       "older-than", "younger-than", "larger-than", "smaller-than"},
      {}};
  return table;
}

const char* selection_t::help() {
  return "Selection (STATUS, or --all for every status, then any of):\n"
         "  --sender REGEX       the sender matches (case-insensitive in every script,\n"
         "                       anywhere unless anchored)\n"
         "  --rcpt REGEX         any recipient matches\n"
         "  --domain D           the sender or any recipient is in domain D (any case, Unicode\n"
         "                       or punycode); '*.D' also takes the subdomains of D\n"
         "  --session REGEX      the session id matches\n"
         "  --attempts N         exactly N attempts;  --attempts-min N: at least N\n"
         "  --due, --not-due     the next access time has come (0 or past), or not yet\n"
         "  --next-before T      next access time before T;  --next-after T: after T\n"
         "                       T: ISO 8601 (2026-12-06T15:00, local unless Z or +HH:MM),\n"
         "                       relative to now (2h, -30m, 1d12h), 'now' or epoch seconds\n"
         "  --older-than A       received more than A ago (2h, 3d, or a time T);\n"
         "  --younger-than A     received less than A ago\n"
         "  --larger-than S      message larger than S bytes (10k, 1.5M);  --smaller-than S\n"
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
  // Option `name` read by `parse` (its errors naming `label`) into `field`,
  // described as given, in quotes when `quoted`.
  const auto take = [&](const std::string& name, auto& field, const auto& parse, const std::string& label,
                        bool quoted = false) {
    const auto v = args.value(name);
    if (!v) return false;
    field = parse(*v, label);
    note("--" + name + (quoted ? " '" + *v + "'" : " " + *v));
    return true;
  };
  take("sender", sender_, make_pattern, "--sender", true);
  take("rcpt", rcpt_, make_pattern, "--rcpt", true);
  take("session", session_, make_pattern, "--session", true);
  if (auto v = args.value("domain")) {
    std::string d = *v;
    if (!d.empty() && d[0] == '@') d.erase(0, 1);
    if (d.compare(0, 2, "*.") == 0) {
      subdomains_ = true;
      d.erase(0, 2);
    }
    if (d.empty() || d.find_first_of("@ \t*") != std::string::npos)
      throw usage_error_t("invalid --domain '" + *v + "' (a domain such as example.org or *.example.org)");
    domain_ = domain_key(d);
    note("--domain " + std::string(subdomains_ ? "*." : "") + domain_display(*domain_));
  }
  // An age is a span back from now, or the point in time itself.
  const auto age_limit = [this](const std::string& text, const std::string& option) {
    std::uint64_t span = 0;
    if (text.find_first_not_of("0123456789smhdw") == std::string::npos &&
        text.find_first_of("smhdw") != std::string::npos && (span = parse_duration(text, option), true))
      return now_ > span ? now_ - span : 0;
    return parse_time(text, option, now_);
  };
  take("older-than", older_, age_limit, "--older-than");
  take("younger-than", younger_, age_limit, "--younger-than");
  take("larger-than", larger_, parse_size, "--larger-than");
  take("smaller-than", smaller_, parse_size, "--smaller-than");
  take("attempts", attempts_, parse_u64, "--attempts value");
  take("attempts-min", attempts_min_, parse_u64, "--attempts-min value");
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
  if (take("limit", limit_, parse_u64, "--limit value") && *limit_ == 0)
    throw usage_error_t("invalid --limit value: '" + *args.value("limit") + "' (at least 1)");
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

bool selection_t::matches(int status, const brief_t& e, const detail_t* d) const {
  if (!brief_matches(status, e)) return false;
  if (!needs_details()) return true;
  if (!d || !d->known) return false;
  if (older_ && !(d->received_ts < *older_)) return false;
  if (younger_ && !(d->received_ts > *younger_)) return false;
  if (larger_ && !(d->message_size > *larger_)) return false;
  if (smaller_ && !(d->message_size < *smaller_)) return false;
  return true;
}

bool selection_t::brief_matches(int status, const brief_t& e) const {
  if (std::find(statuses_.begin(), statuses_.end(), status) == statuses_.end()) return false;
  if (attempts_ && e.attempts() != *attempts_) return false;
  if (attempts_min_ && e.attempts() < *attempts_min_) return false;
  const std::uint64_t next = e.next_access_ts();
  if (due_ && (next <= now_) != *due_) return false;
  if (next_before_ && !(next < *next_before_)) return false;
  if (next_after_ && !(next > *next_after_)) return false;
  if (domain_) {
    const auto in = [this](const std::string& address) {
      const std::string d = domain_of(address);
      if (d == *domain_) return true;
      return subdomains_ && d.size() > domain_->size() + 1 &&
             d.compare(d.size() - domain_->size(), domain_->size(), *domain_) == 0 &&
             d[d.size() - domain_->size() - 1] == '.';
    };
    bool hit = in(e.sender());
    for (int i = 0; !hit && i < e.recipient_size(); ++i) hit = in(e.recipient(i));
    if (!hit) return false;
  }
  if (sender_ && !sender_->found_in(e.sender())) return false;
  if (session_ && !session_->found_in(e.session_id())) return false;
  if (rcpt_) {
    bool hit = false;
    for (int i = 0; !hit && i < e.recipient_size(); ++i) hit = rcpt_->found_in(e.recipient(i));
    if (!hit) return false;
  }
  return true;
}

bool selection_t::walk(client_session_t& session, const on_entry_t& on_entry,
                       const std::function<void(std::uint64_t)>& on_page, detail_reader_t* details) const {
  if (needs_details() && !details) throw std::logic_error("selection by age or size without the details");
  std::uint64_t passed = 0, seen = 0;
  for (const int status : statuses_) {
    std::optional<bool> ended;  // by on_entry (false) or by the limit (true)
    session.walk(static_cast<mq::Status>(status), {after_.first, after_.second}, page_size,
                 [&](const client_session_t::response_t& response, const mq::api::page_key_t&) {
                   if (response.entry_size() == 0) return false;
                   std::vector<const brief_t*> picked;
                   for (const auto& e : response.entry()) {
                     if (brief_matches(status, e)) picked.push_back(&e);
                   }
                   std::unordered_map<std::uint64_t, detail_t> found;
                   if (details) {
                     std::vector<std::uint64_t> ids;
                     ids.reserve(picked.size());
                     for (const auto* e : picked) ids.push_back(e->id());
                     found = details->read(ids);
                   }
                   for (const auto* e : picked) {
                     const detail_t* d = nullptr;
                     if (details) {
                       const auto it = found.find(e->id());
                       if (it == found.end()) continue;  // gone meanwhile
                       d = &it->second;
                     }
                     if (!matches(status, *e, d)) continue;
                     last_key_ = std::to_string(e->id()) + ":" + std::to_string(e->next_access_ts());
                     if (!on_entry(status, *e, d))
                       ended = false;
                     else if (limit_ && ++passed >= *limit_)
                       ended = true;
                     if (ended) return false;
                   }
                   seen += static_cast<std::uint64_t>(response.entry_size());
                   if (on_page) on_page(seen);
                   return true;
                 });
    if (ended) return *ended;
  }
  return false;
}

}  // namespace mqctl
