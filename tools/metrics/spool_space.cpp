#include "metrics/spool_space.h"

#include <sys/statvfs.h>

#include "store/space_reserve.h"

namespace mq::metrics {

std::optional<spool_space_t> read_spool_space(const std::string& dir) {
  struct statvfs fs;
  if (::statvfs(dir.c_str(), &fs) != 0) return std::nullopt;
  const std::uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
  spool_space_t space;
  space.size = static_cast<std::uint64_t>(fs.f_blocks) * unit;
  // What an unprivileged writer may use, as the daemon's own check counts it.
  space.free = static_cast<std::uint64_t>(fs.f_bavail) * unit;
  space.reserve = store::space_reserve(space.size);
  return space;
}

}  // namespace mq::metrics
