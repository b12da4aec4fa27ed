#include "metrics/http_request.h"

namespace mq::metrics {

std::string http_status_for(const std::string& head) {
  const std::string line = head.substr(0, head.find("\r\n"));
  const auto a = line.find(' ');
  const auto b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (b == std::string::npos || line.compare(b + 1, 5, "HTTP/") != 0) return "400 Bad Request";
  const std::string method = line.substr(0, a), target = line.substr(a + 1, b - a - 1);
  if (target.substr(0, target.find('?')) != "/metrics") return "404 Not Found";
  if (method != "GET") return "405 Method Not Allowed";
  return "200 OK";
}

}  // namespace mq::metrics
