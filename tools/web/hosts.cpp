#include "web/hosts.h"

#include <algorithm>
#include <cctype>

namespace mq::web {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

hosts_t::hosts_t(unsigned short port, const std::string& listen, const std::vector<std::string>& extra) {
  const std::string p = std::to_string(port);
  names_ = {"127.0.0.1:" + p, "localhost:" + p, "[::1]:" + p, lower(listen)};
  for (const auto& name : extra) names_.push_back(lower(name));
}

bool hosts_t::allows(std::string_view host_field) const {
  const std::string host = lower(host_field);
  const auto colon = host.rfind(':');
  const bool has_port = colon != std::string::npos && host.find(']', colon) == std::string::npos;
  const std::string bare = has_port ? host.substr(0, colon) : host;
  return !host.empty() && std::any_of(names_.begin(), names_.end(), [&](const std::string& name) {
    return name == host || (name == bare && name.find_first_of(":]") == std::string::npos);
  });
}

bool hosts_t::allows_post(std::string_view origin, bool has_origin, std::string_view fetch_site) const {
  // A browser tells where a POST comes from; a client that says nothing
  // is no page of another site.
  if (!fetch_site.empty() && fetch_site != "same-origin" && fetch_site != "none") return false;
  if (!has_origin) return true;
  const std::string o = lower(origin);
  // This view's own pages send "null": their referrer policy withholds it.
  if (o == "null") return fetch_site == "same-origin";
  for (const std::string_view scheme : {"http://", "https://"})
    if (o.compare(0, scheme.size(), scheme) == 0) return allows(std::string_view(o).substr(scheme.size()));
  return false;
}

}  // namespace mq::web
