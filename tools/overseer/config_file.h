#pragma once

#include <string>

#include "mail_quarantine_config.pb.h"

namespace mq::overseer_tool {

// Reads a configuration file of protobuf JSON and checks what the daemon
// would otherwise only find out when it applies it. Throws
// std::runtime_error: the file's name, then the field and what is wrong.
ov::MailQuarantineConfig read_config_file(const std::string& path);

// The checks alone; the text names the field ("field spool_dir: ...").
void check_config(const ov::MailQuarantineConfig& config);

}  // namespace mq::overseer_tool
