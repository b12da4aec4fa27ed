#include "service/drop_privileges.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include "ov/logger.h"
#include "util/resolved_user.h"

namespace mq::service {

namespace {

void warn(const std::string& path, int error) { OV_LOG(warning, "chown " << path << ": " << std::strerror(error)); }

}  // namespace

void change_owner(const std::string& path, std::uint32_t uid, std::uint32_t gid) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return warn(path, errno);
  if (S_ISLNK(st.st_mode)) return warn(path, ELOOP);
  // A hard link to a foreign file is as dangerous as a symbolic one.
  if (S_ISREG(st.st_mode) && st.st_nlink > 1 && st.st_uid != uid) return warn(path, EMLINK);
  // Should the path turn into a link after the check, only the link changes.
  if (::fchownat(AT_FDCWD, path.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) != 0) warn(path, errno);
}

drop_privileges_t::drop_privileges_t(const ov::MailQuarantineConfig* config) : config_(config) {}

void drop_privileges_t::configure() {
  namespace fs = boost::filesystem;

  mq::util::resolved_user_t user(config_->run_as_user());

  if (config_->has_log() && config_->log().type() == ov::Log::FILE)
    change_owner(config_->log().path(), user.uid(), user.gid());

  const fs::path spool(config_->spool_dir());
  if (!fs::exists(fs::status(spool))) fs::create_directory(spool);

  change_owner(config_->sorter_socket_path(), user.uid(), user.gid());

  if (::getuid() == user.uid() && ::getgid() == user.gid()) return;

  for (fs::directory_iterator it(spool), end; it != end; ++it) {
    // The entry itself, never a link's target.
    if (fs::is_regular_file(it->symlink_status())) change_owner(it->path().string(), user.uid(), user.gid());
  }
  change_owner(spool.string(), user.uid(), user.gid());

  if (::setgid(user.gid()) != 0) throw std::system_error(errno, std::system_category(), "setgid");
  if (::setuid(user.uid()) != 0) throw std::system_error(errno, std::system_category(), "setuid");
  OV_LOG(debug, "Run as user " << user.text());
}

}  // namespace mq::service
