#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include "store/shared_file.h"
#include "store/sqlite.h"
#include "support/common.h"

namespace mq::store::test {

using namespace mq::test;
namespace fs = boost::filesystem;

// A source as the Sorter hands it over: a file with `content`, open for
// reading, with a stated size (by default the real one).
inline shared_file_t make_source(const std::string& path, const std::string& content,
                                 std::uint64_t stated_size = ~std::uint64_t(0)) {
  write_file(path, content);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  return shared_file_t(fd, stated_size == ~std::uint64_t(0) ? content.size() : stated_size);
}

// The names in a directory.
inline std::set<std::string> listing(const boost::filesystem::path& dir) {
  std::set<std::string> names;
  for (boost::filesystem::directory_iterator it(dir), end; it != end; ++it)
    names.insert(it->path().filename().string());
  return names;
}

// While it lives, SQLite's directory syncs fail (fsync of a pipe): COMMIT
// fails after the journal's deletion, with its transaction stored.
struct failing_dir_sync_t {
  static int open_pipe(const char*, int* fd) {
    int ends[2];
    if (::pipe(ends) != 0) return SQLITE_CANTOPEN;
    ::close(ends[1]);
    return *fd = ends[0], SQLITE_OK;
  }
  failing_dir_sync_t() { vfs->xSetSystemCall(vfs, "openDirectory", reinterpret_cast<sqlite3_syscall_ptr>(&open_pipe)); }
  ~failing_dir_sync_t() { vfs->xSetSystemCall(vfs, "openDirectory", nullptr); }  // the default again
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
};

inline std::string text_of(const std::exception_ptr& e) {
  if (!e) return "no error";
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  }
}

}  // namespace mq::store::test
