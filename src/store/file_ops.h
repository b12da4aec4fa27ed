#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace mq::store {

// The system calls of a copy that tests replace to count chunks, interrupt
// calls or make the disk fail. The default forwards to the kernel.
class file_ops_t {
 public:
  virtual ~file_ops_t() = default;
  virtual ssize_t write(int fd, const void* data, std::size_t size);
  virtual int fdatasync(int fd);
  // Used on the message directory to make a new name durable.
  virtual int fsync(int fd);
  // Makes everything on the directory's file system durable: one flush of
  // the device for a whole group instead of one per file.
  virtual int syncfs(int fd);
  // Whether syncfs on this directory's file system is a real sync that
  // reports write errors (local block file systems, on a kernel that
  // reports them); elsewhere files are synced one by one.
  virtual bool syncfs_is_durable(int fd);
  // Whether syncfs returns write-back errors on the kernel of this release
  // (uname's release, as "5.10.0-26-amd64"): from 5.8 on.
  static bool syncfs_reports_errors(const std::string& kernel_release);

  static file_ops_t& system();
};

}  // namespace mq::store
