#pragma once

#include <optional>
#include <string>

#include "metrics/sample.h"

namespace mq::metrics {

// The file system of the spool directory `dir`: its size, what is free for
// the daemon and the reserve a put must leave. nullopt when it cannot be read.
std::optional<spool_space_t> read_spool_space(const std::string& dir);

}  // namespace mq::metrics
