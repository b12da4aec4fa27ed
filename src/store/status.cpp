#include "store/entry.h"

namespace mq::store {

const char* status_log_name(std::int32_t status) {
  switch (status) {
    case smtp_fresh:
      return "SmtpFresh";
    case smtp_accepted:
      return "SmtpAccepted";
    case bcc_fresh:
      return "BccFresh";
    case bcc_accepted:
      return "BccAccepted";
    default:
      return "unknown";
  }
}

}  // namespace mq::store
