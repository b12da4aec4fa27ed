#pragma once

#include <cstdint>
#include <string>

#include "mail_quarantine_config.pb.h"
#include "util/service.h"

namespace mq::service {

// Hands the log file, the spool directory with its regular files and the
// Sorter socket to the run-as user, then switches the process to that user.
// Last in the service list: everything is created and bound before root is
// given up.
//
// Owners are never changed through a symbolic link: the spool directory
// belongs to the run-as user, who could otherwise plant a link there and
// have root give them any file of the system.
class drop_privileges_t : public mq::util::service_t {
 public:
  explicit drop_privileges_t(const ov::MailQuarantineConfig* config);
  void configure() override;

 private:
  const ov::MailQuarantineConfig* config_;
};

// Changes the owner of `path` itself, never of what a symbolic link there
// points to. Failures (a link included) are logged as warnings
// "chown <path>: <reason>" and otherwise ignored.
void change_owner(const std::string& path, std::uint32_t uid, std::uint32_t gid);

}  // namespace mq::service
