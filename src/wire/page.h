#pragma once

#include <cstdint>

#include "store/entry.h"
#include "wire/status.h"

// A page request of either socket protocol.
namespace mq::wire {

// Largest page of keys or entries one request may ask for; a larger limit
// (up to 2^64 - 1) gets this many. 0 keeps its meaning, the store's default.
constexpr std::uint64_t max_page_entries = 10000;
// What a limit of 0 gets.
constexpr std::uint64_t default_page_entries = 100;

constexpr std::uint64_t page_limit(std::uint64_t requested) {
  return requested > max_page_entries ? max_page_entries : requested;
}

// After the key (entry_id, next_access_ts), of one status, at most a
// bounded limit.
template <class message_t>
store::queue_chunk_request_t page_request(const message_t& m) {
  store::queue_chunk_request_t request;
  request.entry_id = static_cast<std::int64_t>(m.entry_id());
  request.next_access_ts = m.next_access_ts();
  request.status = to_store(m.status());
  request.limit = page_limit(m.limit());
  return request;
}

}  // namespace mq::wire
