#pragma once

#include <cstdint>

// One record of the recorder's log; a write's data follows it.
enum : std::uint32_t { powerloss_write = 0, powerloss_flush = 1 };
struct powerloss_record_t {
  std::int64_t ns;  // CLOCK_MONOTONIC, just before the answer
  std::uint64_t offset;
  std::uint32_t size, kind;
};
