#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mq::web {

// The host names the web view answers to, and whether a POST comes from
// one of its own pages: a name of someone else's that points here (DNS
// rebinding) or a form of another site reaches nothing.
class hosts_t {
 public:
  // 127.0.0.1, localhost and [::1] on `port`, `listen` (HOST:PORT as
  // served) and `extra`: names as a proxy passes them, NAME or NAME:PORT.
  hosts_t(unsigned short port, const std::string& listen, const std::vector<std::string>& extra);

  // Whether a Host field may be served: one of the names, in any case; a
  // name given without a port goes with any port.
  bool allows(std::string_view host) const;
  // Whether a POST with these Origin and Sec-Fetch-Site fields (empty when
  // absent) comes from a page of this view.
  bool allows_post(std::string_view origin, bool has_origin, std::string_view fetch_site) const;

 private:
  std::vector<std::string> names_;  // lower case
};

}  // namespace mq::web
