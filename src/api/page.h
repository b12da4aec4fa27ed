#pragma once

#include <cstdint>

#include "mail_quarantine_client_ipc.pb.h"
#include "mail_quarantine_sorter_ipc.pb.h"

namespace mq::api {

// Where a page starts: after the entry of this id and due time. The zero
// key starts at the head of the queue.
struct page_key_t {
  std::uint64_t entry_id = 0;
  std::uint64_t next_access_ts = 0;

  bool zero() const { return entry_id == 0 && next_access_ts == 0; }
};

// The queue's order: due time as the daemon stores it (signed), then id.
bool operator<(const page_key_t& a, const page_key_t& b);

inline page_key_t key_of(const page_key_t& key) { return key; }
page_key_t key_of(const QueueKey& key);
page_key_t key_of(const MailQuarantine2ClientMessage::Entry& entry);

// `next` after `last`; connection_error_t when it does not go forward (a
// walk would go round for ever), unless `last` is the zero key.
page_key_t next_key(const page_key_t& last, const page_key_t& next);

// Pages from after `key` until one comes back empty: a short page is not
// the end, it may only have filled a frame. `fetch(key)` asks for the page
// after `key`; `on_page(page, key)` sees every page, the final empty one
// too, with the key it was asked after, and ends the walk early by
// returning false.
template <class fetch_t, class items_t, class on_page_t>
void walk_pages(page_key_t key, fetch_t&& fetch, items_t&& items_of, on_page_t&& on_page) {
  for (;;) {
    const auto page = fetch(key);
    const page_key_t asked = key;
    const auto& items = items_of(page);
    for (const auto& item : items) key = next_key(key, key_of(item));
    if (!on_page(page, asked) || items.empty()) return;
  }
}

}  // namespace mq::api
