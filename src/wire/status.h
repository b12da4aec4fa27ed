#pragma once

#include <optional>

#include "mail_quarantine_entry.pb.h"
#include "store/entry.h"

// The status of an entry as both socket protocols carry it.
namespace mq::wire {

// The wire counts statuses from 1, the store from 0.
constexpr store::status_t to_store(Status status) { return static_cast<store::status_t>(status - 1); }

// Nothing for a stored value the wire has no name for.
inline std::optional<Status> to_wire(store::status_t status) {
  const int wire = static_cast<int>(status) + 1;
  if (!Status_IsValid(wire)) return std::nullopt;
  return static_cast<Status>(wire);
}

}  // namespace mq::wire
