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
  switch (level) {
    case 0:
      return LOG_DEBUG;
    case 1:
      return LOG_INFO;
    case 2:
      return LOG_NOTICE;
    case 3:
      return LOG_WARNING;
    default:
      return LOG_ERR;
  }
}

std::int32_t cf_syslog_log_t::facility_of(std::int32_t configured) {
  switch (configured) {
    case Log::USER:
      return LOG_USER;
    case Log::MAIL:
      return LOG_MAIL;
    case Log::LOCAL0:
      return LOG_LOCAL0;
    case Log::LOCAL1:
      return LOG_LOCAL1;
    case Log::LOCAL2:
      return LOG_LOCAL2;
    case Log::LOCAL3:
      return LOG_LOCAL3;
    case Log::LOCAL4:
      return LOG_LOCAL4;
    case Log::LOCAL5:
      return LOG_LOCAL5;
    case Log::LOCAL6:
      return LOG_LOCAL6;
    case Log::LOCAL7:
      return LOG_LOCAL7;
    default:
      return LOG_DAEMON;
  }
}

}  // namespace ov
