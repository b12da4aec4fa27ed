#include "store/power_cut.h"

#include <limits.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>

namespace mq::store {

std::string power_cut_unsafe_fs(int dir_fd) {
  // Without a journal, ext4 neither makes a directory block's rewrite atomic
  // nor always writes with fdatasync a file size set at write-back.
  constexpr long ext234 = 0xEF53;
  struct statfs fs;
  struct stat st;
  if (::fstatfs(dir_fd, &fs) != 0 || static_cast<long>(fs.f_type) != ext234 || ::fstat(dir_fd, &st) != 0) return {};
  // The kernel's name for the device, as the ext4 driver lists it.
  const std::string dev = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  char target[PATH_MAX];
  const ssize_t n = ::readlink(dev.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  const std::string path(target, static_cast<std::size_t>(n));
  std::ifstream task("/sys/fs/ext4/" + path.substr(path.rfind('/') + 1) + "/journal_task");
  std::string value;
  return task >> value && value == "<none>" ? "ext4 without a journal" : "";
}

}  // namespace mq::store
