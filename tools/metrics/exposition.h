#pragma once

#include <cstdint>
#include <string>

#include "metrics/sample.h"

namespace mq::metrics {

// The Prometheus text exposition (format 0.0.4) of what is known: the queue
// part when `queue` is given (else only mail_quarantine_queue_probe_success 0),
// the supervisor part when `supervisor` is given. `now` in seconds since the
// epoch, for the ages.
std::string render(const queue_sample_t* queue, const socket_clients_t& clients, const supervisor_sample_t* supervisor,
                   std::uint64_t now);

// Content type of that text on HTTP.
inline constexpr const char* content_type = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace mq::metrics
