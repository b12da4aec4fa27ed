#pragma once

#include <string>

namespace mq::metrics {

// The answer to a request head (up to the blank line that ends it), as the
// status of the response: "200 OK" only for GET /metrics (a query allowed),
// else "400 Bad Request", "404 Not Found" or "405 Method Not Allowed".
std::string http_status_for(const std::string& head);

}  // namespace mq::metrics
