#include "config_file.h"

#include <pwd.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <google/protobuf/util/json_util.h>

namespace mq::overseer_tool {

namespace {

void fail(const std::string& field, const std::string& what) {
  throw std::runtime_error("field " + field + ": " + what);
}

void check_path(const std::string& field, const std::string& path, bool socket) {
  if (path.empty()) fail(field, "not set");
  if (path.front() != '/') fail(field, "'" + path + "' is not an absolute path");
  if (socket && path.size() >= sizeof(sockaddr_un::sun_path))
    fail(field, "'" + path + "' is longer than a socket path may be (" +
                    std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes)");
}

void check_log(const std::string& field, const ov::Log& log) {
  if (log.type() == ov::Log::FILE) check_path(field + ".path", log.path(), false);
}

}  // namespace

void check_config(const ov::MailQuarantineConfig& config) {
  check_path("spool_dir", config.spool_dir(), false);
  check_path("sorter_socket_path", config.sorter_socket_path(), true);
  check_path("client_socket_path", config.client_socket_path(), true);
  if (config.sorter_socket_path() == config.client_socket_path())
    fail("client_socket_path", "the same path as sorter_socket_path");
  if (!config.has_run_as_user()) fail("run_as_user", "not set");
  const auto& user = config.run_as_user();
  if (!user.has_uid()) {
    if (user.name().empty()) fail("run_as_user", "neither name nor uid set");
    errno = 0;
    if (!::getpwnam(user.name().c_str()))
      fail("run_as_user.name",
           "no such user \"" + user.name() + "\"" + (errno ? std::string(": ") + std::strerror(errno) : ""));
  }
  if (config.has_log()) check_log("log", config.log());
  if (config.has_actual_log()) check_log("actual_log", config.actual_log());
}

ov::MailQuarantineConfig read_config_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  ov::MailQuarantineConfig config;
  // The parser's complaint names the field, as in "(log_level): invalid value".
  auto status = google::protobuf::util::JsonStringToMessage(text.str(), &config);
  if (!status.ok()) throw std::runtime_error(path + ": " + std::string(status.message()));
  try {
    check_config(config);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
  return config;
}

}  // namespace mq::overseer_tool
