#pragma once

#include "ov/log.h"

namespace ov {

// Lines through syslog; the facility is given once, at openlog.
class cf_syslog_log_t : public cf_log_t {
 public:
  cf_syslog_log_t(std::int32_t facility, std::string ident, cf_line_hook_t hook);
  ~cf_syslog_log_t() override;
  cf_syslog_log_t(const cf_syslog_log_t&) = delete;
  cf_syslog_log_t& operator=(const cf_syslog_log_t&) = delete;

  void open() override;
  void write(std::int32_t level, const std::string& text) override;
  void out_of_memory() override;

  // Priority of a level, without facility bits.
  static int priority(std::int32_t level);
  // Syslog facility constant of a configured facility.
  static std::int32_t facility_of(std::int32_t configured);

  std::int32_t facility;
  std::string ident;  // must outlive the openlog registration
};

}  // namespace ov
