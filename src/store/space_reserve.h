#pragma once

#include <algorithm>
#include <cstdint>

namespace mq::store {

// Free space a put must leave on the spool's file system, of `total` bytes:
// the room every later put and every commit of the database need. A put
// that would eat into it fails with ENOSPC.
inline constexpr std::uint64_t space_reserve(std::uint64_t total) {
  return std::min<std::uint64_t>(64ull << 20, total / 20);
}

}  // namespace mq::store
