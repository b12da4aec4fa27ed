// Input: the head of a request to the metrics endpoint, as a scraper sends it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "metrics/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string head(reinterpret_cast<const char*>(data), size);
  // Only a GET of /metrics (or /metrics?...) is ever served.
  if (mq::metrics::http_status_for(head) == "200 OK" && head.rfind("GET /metrics ", 0) != 0 &&
      head.rfind("GET /metrics?", 0) != 0)
    __builtin_trap();
  return 0;
}
