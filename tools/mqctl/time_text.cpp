#include "time_text.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "errors.h"

namespace mqctl {

namespace {

// Parses "1d2h30m"-style text into seconds; false when it is not one.
// A number without unit counts as seconds only when `bare_seconds`.
bool parse_span(const std::string& text, bool bare_seconds, std::uint64_t& out) {
  if (text.empty()) return false;
  std::uint64_t total = 0;
  std::size_t i = 0;
  bool any = false;
  while (i < text.size()) {
    std::uint64_t n = 0;
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (n > 1000000000000ULL) return false;
      n = n * 10 + static_cast<std::uint64_t>(text[i] - '0');
      ++i;
    }
    if (i == start) return false;
    std::uint64_t unit = 0;
    if (i == text.size()) {
      if (!bare_seconds || any) return false;
      unit = 1;
    } else {
      static const std::string names = "smhdw";
      static const std::uint64_t seconds[] = {1, 60, 3600, 86400, 604800};
      const auto at = names.find(text[i++]);
      if (at == std::string::npos) return false;
      unit = seconds[at];
    }
    total += n * unit;
    any = true;
  }
  out = total;
  return true;
}

bool digits(const std::string& s, std::size_t at, std::size_t count, int& out) {
  if (at + count > s.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

// YYYY-MM-DD[(T| )HH:MM[:SS]][Z|(+|-)HH[:MM]]; false when not that form.
bool parse_iso(const std::string& s, std::uint64_t& out) {
  std::tm tm{};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digits(s, 0, 4, year) || s.size() < 10 || s[4] != '-' || !digits(s, 5, 2, month) || s[7] != '-' ||
      !digits(s, 8, 2, day))
    return false;
  std::size_t i = 10;
  if (i < s.size() && (s[i] == 'T' || s[i] == ' ')) {
    if (!digits(s, i + 1, 2, hour) || i + 3 >= s.size() || s[i + 3] != ':' || !digits(s, i + 4, 2, minute))
      return false;
    i += 6;
    if (i < s.size() && s[i] == ':') {
      if (!digits(s, i + 1, 2, second)) return false;
      i += 3;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  std::int64_t t = 0;
  if (i == s.size()) {
    tm.tm_isdst = -1;
    t = static_cast<std::int64_t>(std::mktime(&tm));
  } else {
    std::int64_t offset = 0;
    if (s[i] == 'Z' && i + 1 == s.size()) {
      offset = 0;
    } else if (s[i] == '+' || s[i] == '-') {
      int oh = 0, om = 0;
      if (!digits(s, i + 1, 2, oh)) return false;
      std::size_t j = i + 3;
      if (j < s.size() && s[j] == ':') ++j;
      if (j < s.size()) {
        if (!digits(s, j, 2, om) || j + 2 != s.size()) return false;
      }
      offset = (std::int64_t{oh} * 3600 + std::int64_t{om} * 60) * (s[i] == '-' ? -1 : 1);
    } else {
      return false;
    }
    t = static_cast<std::int64_t>(timegm(&tm)) - offset;
  }
  if (t < 0) return false;
  out = static_cast<std::uint64_t>(t);
  return true;
}

}  // namespace

std::uint64_t now_seconds() { return static_cast<std::uint64_t>(std::time(nullptr)); }

std::string iso_time(std::uint64_t ts, bool utc) {
  if (ts > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) * 64) return std::to_string(ts);
  const std::time_t t = static_cast<std::time_t>(ts);
  std::tm tm{};
  if (utc) {
    gmtime_r(&t, &tm);
  } else {
    localtime_r(&t, &tm);
  }
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string out = buf;
  if (utc) return out + "Z";
  const long offset = tm.tm_gmtoff;
  const long magnitude = offset < 0 ? -offset : offset;
  std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60);
  return out + buf;
}

std::string format_time(std::uint64_t ts, time_style_t style, std::uint64_t now) {
  if (style == time_style_t::epoch) return std::to_string(ts);
  if (ts <= now) return "due";
  return iso_time(ts, style == time_style_t::utc);
}

std::uint64_t parse_time(const std::string& text, const std::string& option, std::uint64_t now) {
  std::uint64_t value = 0;
  if (text == "now") return now;
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() <= 12)
    return std::stoull(text);
  if (parse_iso(text, value)) return value;
  const bool minus = !text.empty() && text[0] == '-';
  const bool plus = !text.empty() && text[0] == '+';
  if (parse_span(minus || plus ? text.substr(1) : text, false, value))
    return minus ? (value > now ? 0 : now - value) : now + value;
  throw usage_error_t("invalid " + option + " time '" + text +
                      "' (ISO 8601 like 2026-12-06T15:00, relative like 2h or -30m, or seconds since the epoch)");
}

std::uint64_t parse_duration(const std::string& text, const std::string& option) {
  std::uint64_t value = 0;
  if (!parse_span(text, true, value))
    throw usage_error_t("invalid " + option + " duration '" + text + "' (like 90s, 30m, 2h, 1d or 1h30m)");
  return value;
}

std::string duration_text(std::uint64_t s) {
  if (s < 60) return std::to_string(s) + "s";
  if (s < 3600) return std::to_string(s / 60) + "m" + (s % 60 ? std::to_string(s % 60) + "s" : "");
  if (s < 86400) return std::to_string(s / 3600) + "h" + (s / 60 % 60 ? std::to_string(s / 60 % 60) + "m" : "");
  return std::to_string(s / 86400) + "d" + (s / 3600 % 24 ? std::to_string(s / 3600 % 24) + "h" : "");
}

}  // namespace mqctl
