#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/optional.hpp>

#include "ov/error.h"
#include "store/shared_file.h"
#include "store/sqlite.h"
#include "support/common.h"
#include "util/result.h"
#include "util/thrown_by.h"

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

// While it lives, the write of a commit's last page to the log reaches the
// file but reports an I/O error: COMMIT fails, with its transaction possibly
// stored (the log holds it whole).
struct failing_commit_write_t {
  using pwrite_t = ssize_t (*)(int, const void*, size_t, off_t);
  static bool is_log(int fd) {
    char target[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    return n > 4 && std::string(target, static_cast<std::size_t>(n)).substr(static_cast<std::size_t>(n) - 4) == "-wal";
  }
  static ssize_t write(int fd, const void* data, size_t size, off_t offset) {
    const ssize_t written = real(fd, data, size, offset);
    if (written < 0 || !is_log(fd)) return written;
    if (std::exchange(commit_page_next, false)) return errno = EIO, -1;
    // A frame's header, then its page; a commit's header names the
    // database's size in pages.
    const auto* header = static_cast<const unsigned char*>(data);
    commit_page_next = size == 24 && (header[4] | header[5] | header[6] | header[7]) != 0;
    return written;
  }
  failing_commit_write_t() {
    real = reinterpret_cast<pwrite_t>(vfs->xGetSystemCall(vfs, "pwrite64"));
    vfs->xSetSystemCall(vfs, "pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(&write));
  }
  ~failing_commit_write_t() { vfs->xSetSystemCall(vfs, "pwrite64", nullptr); }  // the default again
  static inline pwrite_t real = nullptr;
  static inline bool commit_page_next = false;
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
};

// The rows of a query, each as its values joined by "|", NULL as "NULL".
inline std::vector<std::string> sql(const std::string& path, const std::string& text) {
  sqlite::connection_t connection(path);
  std::vector<std::string> rows;
  for (auto& statement : connection.prepare_all(text)) {
    while (statement.step()) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(statement.handle()); ++i)
        row += (i ? "|" : "") + (statement.is_null(i) ? "NULL" : statement.column_text(i));
      rows.push_back(row);
    }
  }
  return rows;
}

// "Success" for none.
inline std::string text_of(const std::exception_ptr& e) { return ov::exception_text(e); }

// Runs one asynchronous call to its result; a failure fails the test.
template <class T, class Call>
T answer_of(boost::asio::io_context& io, Call&& start) {
  boost::optional<util::result_t<T>> answer;
  start([&](util::result_t<T> r) { answer = std::move(r); });
  const bool answered = run_until(io, [&] { return answer.has_value(); });
  const auto error = answered ? util::error_of(*answer) : nullptr;
  EXPECT_TRUE(answered && !error) << (answered ? text_of(error) : "no answer");
  return answered && !error ? boost::get<T>(std::move(*answer)) : T{};
}

}  // namespace mq::store::test
