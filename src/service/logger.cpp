#include "service/logger.h"

#include "ov/log.h"
#include "ov/logger.h"

namespace mq::service {

logger_t::logger_t(const ov::MailQuarantineConfig* config) : config_(config) {
  ov::util::logger::set_log_function(
      [](std::int32_t level, const std::string& text) { ov::cf_log_write(level, text); });
}

void logger_t::configure() {
  const std::int32_t threshold = ov::cf_log_threshold_of(config_->log_level());
  ov::cf_log_threshold = threshold;
  auto target = ov::cf_make_log(config_->has_actual_log() ? config_->actual_log() : ov::Log(), {});
  // A type the factory cannot build (AUTO) keeps the current target.
  if (target) ov::cf_log_set(std::move(target));
  ov::util::logger::set_log_level(threshold);
}

}  // namespace mq::service
