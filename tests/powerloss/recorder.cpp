// A file system of one file, "disk", written through to an image. Every
// write (offset and data) and every fsync is appended to a log with the
// CLOCK_MONOTONIC time taken just before it is answered. Served one request
// at a time, so the log is the order in which the disk acknowledged.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "record.h"

namespace {

int image_fd = -1, log_fd = -1;

bool append(std::uint32_t kind, off_t offset, const char* data, std::uint32_t size) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const powerloss_record_t r{now.tv_sec * 1000000000LL + now.tv_nsec, static_cast<std::uint64_t>(offset), size, kind};
  return write(log_fd, &r, sizeof r) == sizeof r && (!size || write(log_fd, data, size) == size);
}

int get_attr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, "/disk") != 0) return -ENOENT;
  struct stat image {};
  if (fstat(image_fd, &image) != 0) return -errno;
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  st->st_size = image.st_size;
  return 0;
}

int open_disk(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, "/disk") != 0) return -ENOENT;
  fi->direct_io = 1;  // every write reaches us at once, none waits in a cache
  return 0;
}

int read_disk(const char*, char* buf, size_t size, off_t offset, fuse_file_info*) {
  const ssize_t n = pread(image_fd, buf, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int write_disk(const char*, const char* buf, size_t size, off_t offset, fuse_file_info*) {
  const ssize_t n = pwrite(image_fd, buf, size, offset);
  if (n < 0) return -errno;
  return append(powerloss_write, offset, buf, static_cast<std::uint32_t>(n)) ? static_cast<int>(n) : -EIO;
}

int fsync_disk(const char*, int, fuse_file_info*) { return append(powerloss_flush, 0, nullptr, 0) ? 0 : -EIO; }

}  // namespace

// recorder IMAGE LOG MOUNTPOINT [fuse options]: returns once mounted.
int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s IMAGE LOG MOUNTPOINT [fuse options]\n", argv[0]);
    return 2;
  }
  image_fd = open(argv[1], O_RDWR | O_CLOEXEC);
  log_fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (image_fd < 0 || log_fd < 0) {
    std::perror("open");
    return 1;
  }
  fuse_operations ops{};
  ops.getattr = get_attr;
  ops.open = open_disk;
  ops.read = read_disk;
  ops.write = write_disk;
  ops.fsync = fsync_disk;
  char single[] = "-s";
  char* args[64] = {argv[0], argv[3], single};
  int n = 3;
  for (int i = 4; i < argc && n < 63; ++i) args[n++] = argv[i];
  return fuse_main(n, args, &ops, nullptr);
}
