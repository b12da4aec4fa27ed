#include "ov/syslog_log.h"

#include <utility>

#include <syslog.h>

namespace ov {

cf_syslog_log_t::cf_syslog_log_t(std::int32_t facility, std::string ident, cf_line_hook_t hook)
    : cf_log_t(std::move(hook)), facility(facility), ident(std::move(ident)) {}

cf_syslog_log_t::~cf_syslog_log_t() { ::closelog(); }

void cf_syslog_log_t::open() { ::openlog(ident.empty() ? nullptr : ident.c_str(), LOG_PID, facility); }

void cf_syslog_log_t::write(std::int32_t level, const std::string& text) {
  ::syslog(priority(level), "%s", text.c_str());
}

void cf_syslog_log_t::out_of_memory() { ::syslog(LOG_ERR, "%s", "Error: Not enough memory"); }

int cf_syslog_log_t::priority(std::int32_t level) {
  static const int priorities[] = {LOG_DEBUG, LOG_INFO, LOG_NOTICE, LOG_WARNING};
  return level >= 0 && level < 4 ? priorities[level] : LOG_ERR;
}

std::int32_t cf_syslog_log_t::facility_of(std::int32_t configured) {
  static const std::pair<std::int32_t, std::int32_t> facilities[] = {
      {Log::USER, LOG_USER},     {Log::MAIL, LOG_MAIL},     {Log::LOCAL0, LOG_LOCAL0}, {Log::LOCAL1, LOG_LOCAL1},
      {Log::LOCAL2, LOG_LOCAL2}, {Log::LOCAL3, LOG_LOCAL3}, {Log::LOCAL4, LOG_LOCAL4}, {Log::LOCAL5, LOG_LOCAL5},
      {Log::LOCAL6, LOG_LOCAL6}, {Log::LOCAL7, LOG_LOCAL7}};
  for (const auto& [ours, theirs] : facilities)
    if (ours == configured) return theirs;
  return LOG_DAEMON;
}

}  // namespace ov
