#include "web/form.h"

#include "web/escape.h"

namespace mq::web {

form_t::form_t(const std::string& encoded) {
  std::size_t at = 0;
  while (at < encoded.size()) {
    auto end = encoded.find('&', at);
    if (end == std::string::npos) end = encoded.size();
    const std::string pair = encoded.substr(at, end - at);
    at = end + 1;
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    fields_[url_decode(pair.substr(0, eq))].push_back(eq == std::string::npos ? "" : url_decode(pair.substr(eq + 1)));
  }
}

std::string form_t::get(const std::string& name) const {
  const auto it = fields_.find(name);
  return it == fields_.end() || it->second.empty() ? std::string() : it->second.front();
}

const std::vector<std::string>& form_t::all(const std::string& name) const {
  static const std::vector<std::string> none;
  const auto it = fields_.find(name);
  return it == fields_.end() ? none : it->second;
}

std::optional<std::string> cookie_value(const std::string& header, const std::string& name) {
  std::size_t at = 0;
  while (at < header.size()) {
    auto end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    std::string pair = header.substr(at, end - at);
    at = end + 1;
    const auto first = pair.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    pair.erase(0, first);
    const auto eq = pair.find('=');
    if (eq != std::string::npos && pair.compare(0, eq, name) == 0 && eq == name.size()) {
      std::string value = pair.substr(eq + 1);
      while (!value.empty() && value.back() == ' ') value.pop_back();
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace mq::web
