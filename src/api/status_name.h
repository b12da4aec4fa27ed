#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "mail_quarantine_entry.pb.h"

// The names operators see for the four statuses: mqctl's words and columns,
// the metrics' labels, mq-web's pages. The daemon's log keeps its own
// spelling (store::status_log_name).
namespace mq::api {

// In wire order: status_names[s - 1] names the wire status s.
inline constexpr std::array<const char*, 4> status_names = {"smtp-fresh", "smtp-accepted", "bcc-fresh", "bcc-accepted"};

// The name of a wire status, or its number for a value without one.
std::string status_name(int wire_status);
// The wire status a name stands for; nothing for any other text.
std::optional<Status> parse_status_name(std::string_view name);

}  // namespace mq::api
