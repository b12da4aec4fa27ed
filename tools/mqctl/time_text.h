#pragma once

#include <cstdint>
#include <string>

namespace mqctl {

// How a next access time is shown.
enum class time_style_t {
  local,  // ISO 8601 in the local zone with its offset, "due" for 0 and the past
  utc,    // ISO 8601 in UTC ("Z"), "due" for 0 and the past
  epoch,  // the raw number of seconds
};

std::uint64_t now_seconds();

std::string iso_time(std::uint64_t ts, bool utc);
std::string format_time(std::uint64_t ts, time_style_t style, std::uint64_t now);

// A point in time given on the command line: ISO 8601 (local time unless
// it ends in Z or an offset), "now", seconds since the epoch, or relative to
// `now` with a unit ("2h", "-30m", "1d12h"). `option` names the argument in
// the error.
std::uint64_t parse_time(const std::string& text, const std::string& option, std::uint64_t now);

// A span of time: "90" or "90s", "30m", "2h", "1d", "1w", or a sum such as
// "1h30m". `option` names the argument in the error.
std::uint64_t parse_duration(const std::string& text, const std::string& option);

// A short span such as "3d4h", "2h5m", "40s".
std::string duration_text(std::uint64_t seconds);

}  // namespace mqctl
