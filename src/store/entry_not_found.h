#pragma once

#include <stdexcept>

// The answer for an id the store does not hold. Tools tell "already gone"
// from "failed" by this text alone, so it is written here once for both
// sides; the answer's code is the generic one.
namespace mq::store {

inline constexpr char entry_not_found_text[] = "Entry not found";

class entry_not_found_t : public std::runtime_error {
 public:
  entry_not_found_t() : std::runtime_error(entry_not_found_text) {}
};

}  // namespace mq::store
