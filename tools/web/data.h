#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail_quarantine_entry.pb.h"
#include "mqctl/selection.h"

namespace mq::web {

// Everything mq-web asks of the daemon, in one place: it is a client of
// the daemon's sockets like mqctl, through mqctl's own code (sessions,
// selections, shape and bulk actions). Calls block; they run on workers.
// Failures throw std::runtime_error with a text for the page.
class data_t {
 public:
  data_t(std::string sorter_socket, std::string client_socket, int timeout_ms);

  struct status_figures_t {
    std::string name;  // smtp-fresh, ...
    std::uint64_t messages = 0, bytes = 0;
    std::optional<std::uint64_t> oldest_overdue;  // seconds
  };
  std::array<status_figures_t, 4> overview() const;

  // Domain x age: the figures of `mqctl shape --all --by-age`.
  struct shape_t {
    std::vector<std::string> columns;  // age buckets
    struct row_t {
      std::string name;
      std::uint64_t total = 0;
      std::vector<std::uint64_t> cells;
    };
    std::vector<row_t> rows;  // the top domains, then others, then total
    double seconds = 0;       // how long it took
  };
  shape_t shape() const;

  // A selection as mqctl's command line words: STATUS or --all, filters.
  using selection_t = std::vector<std::string>;

  struct item_t {
    std::uint64_t id = 0;
    std::string status;
    std::string sender;
    std::vector<std::string> recipients;
    std::uint64_t next_access_ts = 0, attempts = 0;
    std::optional<std::uint64_t> received_ts, size;  // unknown when unreadable
  };
  struct page_t {
    std::vector<item_t> items;
    std::string next_after;  // key to page on from, "" at the end
  };
  // When a selection's walk stops early, checked after each page: past its
  // time budget, or once `gone()` says nobody waits for it any more.
  struct bounds_t {
    std::optional<std::chrono::milliseconds> budget;
    std::function<bool()> gone;
  };
  // What a walk stopped by its bounds throws: a text for the page (which
  // says what was looked at), and why.
  struct stopped_t : std::runtime_error {
    stopped_t(const std::string& text, std::uint64_t seen, bool gone)
        : std::runtime_error(text), seen(seen), gone(gone) {}
    std::uint64_t seen;
    bool gone;  // by gone(), else by the budget
  };

  // Up to `size` entries of the selection in key order (due time, then
  // id), after the key `after` ("" from the start).
  page_t list(const selection_t& words, std::size_t size, const std::string& after, const bounds_t& bounds = {}) const;
  // The ids of the whole selection; `on_page(seen)` after each page.
  std::vector<std::uint64_t> select(const selection_t& words, const std::function<void(std::uint64_t)>& on_page = {},
                                    const bounds_t& bounds = {}) const;

  struct entry_t {
    std::uint64_t id = 0;
    std::string status;
    mq::Entry entry;
    std::string header_block;  // the message's head, up to its blank line
    bool readable = true;      // false when its message file could not be read
  };
  // nullopt when there is no such entry.
  std::optional<entry_t> entry(std::uint64_t id) const;
  // The whole message file; nullopt when there is no such entry.
  std::optional<std::string> message(std::uint64_t id) const;

  enum class action_t { retry, move, remove };
  struct outcome_t {
    std::uint64_t done = 0, gone = 0, changed = 0, failed = 0;
    std::vector<std::string> reasons;
  };
  // Acts on `ids` as mqctl's bulk commands do (each entry asked for, then
  // acted on; the daemon writes its audit line for each), adding to `o`.
  void act(action_t action, const std::string& to_status, const std::vector<std::uint64_t>& ids, outcome_t& o) const;

 private:
  // Walks the selection of `words` for mqctl's `command`, with the details
  // it needs; the key to page on from when it stopped at its --limit on one
  // status, else "".
  std::string walk(const selection_t& words, const std::string& command, const mqctl::selection_t::on_entry_t& on_entry,
                   const std::function<void(std::uint64_t)>& on_page, const bounds_t& bounds) const;
  // The entry and its message file; nullopt when there is no such entry.
  std::optional<api::sorter_session_t::response_t> get(std::uint64_t id, util::unique_fd_t& fd) const;

  std::string sorter_socket_, client_socket_;
  int timeout_ms_;
};

}  // namespace mq::web
