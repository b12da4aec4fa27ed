#pragma once

#include "mail_quarantine_config.pb.h"
#include "util/service.h"

namespace mq::service {

// Connects the log facade to the log writer and sets levels and the log
// target from the configuration.
class logger_t : public mq::util::service_t {
 public:
  // Installs the facade's log function.
  explicit logger_t(const ov::MailQuarantineConfig* config);
  void configure() override;

 private:
  const ov::MailQuarantineConfig* config_;
};

}  // namespace mq::service
