#include "api/status_name.h"

namespace mq::api {

std::string status_name(int wire_status) {
  if (wire_status >= 1 && wire_status <= static_cast<int>(status_names.size())) return status_names[wire_status - 1];
  return std::to_string(wire_status);
}

std::optional<Status> parse_status_name(std::string_view name) {
  for (std::size_t i = 0; i < status_names.size(); ++i)
    if (name == status_names[i]) return static_cast<Status>(i + 1);
  return std::nullopt;
}

}  // namespace mq::api
