#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/client_session.h"
#include "api/sorter_session.h"
#include "args.h"
#include "details.h"
#include "pattern.h"

namespace mqctl {

using brief_t = mq::MailQuarantine2ClientMessage::Entry;

// Which entries a command works on: one status queue or all of them, then
// any of the filters. Every command that selects entries uses this one.
class selection_t {
 public:
  // The options a selection takes, to merge into a command's table.
  static const args_t::option_table_t& options();
  // The help text of those options.
  static const char* help();

  // `status_word` is the STATUS word when the command was given one. With
  // neither it nor --all, every status is taken when `default_all`, else
  // it is a wrong command line.
  selection_t(const args_t& args, const std::optional<std::string>& status_word, bool default_all,
              const std::string& command);

  const std::vector<int>& statuses() const { return statuses_; }
  bool single_status() const { return statuses_.size() == 1; }
  std::uint64_t now() const { return now_; }
  // "smtp-fresh, --domain x.org" and so on, for the operator.
  std::string describe() const;

  // Whether the selection looks at received times or sizes, which only
  // the Sorter socket tells (see detail_reader_t).
  bool needs_details() const { return older_ || younger_ || larger_ || smaller_; }
  // `details` may be null when needs_details() is false.
  bool matches(int status, const brief_t& entry, const detail_t* details) const;

  using on_entry_t = std::function<bool(int status, const brief_t&, const detail_t* details)>;
  // Streams the selected entries, status by status in key order, page by
  // page, to `on_entry` (which returns false to stop). Returns true when the
  // walk stopped at the --limit with entries possibly left.
  // `on_page(seen)` is told after each page how many entries were looked at.
  // With `details`, each entry comes with its received time and size (an
  // entry gone meanwhile is left out); it is required when needs_details().
  bool walk(client_session_t& session, const on_entry_t& on_entry,
            const std::function<void(std::uint64_t seen)>& on_page = {}, detail_reader_t* details = nullptr) const;
  // The key of the last entry walk() passed on, "ID:TS".
  const std::string& last_key() const { return last_key_; }

 private:
  std::vector<int> statuses_;
  std::optional<pattern_t> sender_, rcpt_, session_;
  std::optional<std::string> domain_;
  std::optional<std::uint64_t> attempts_, attempts_min_;
  std::optional<bool> due_;
  std::optional<std::uint64_t> next_before_, next_after_;
  std::optional<std::uint64_t> older_, younger_, larger_, smaller_;
  bool subdomains_ = false;  // --domain '*.example.org'
  bool brief_matches(int status, const brief_t& e) const;
  std::optional<std::uint64_t> limit_;
  std::pair<std::uint64_t, std::uint64_t> after_{0, 0};
  std::uint64_t now_;
  std::string described_;
  mutable std::string last_key_;
};

// The domain of an address in its comparable form (see domain_key); ""
// when it has none.
std::string domain_of(const std::string& address);

// A size such as 2048, 10k, 1.5M, 2G (powers of 1024).
std::uint64_t parse_size(const std::string& text, const std::string& option);

}  // namespace mqctl
