#include "store/message_dir.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstring>
#include <memory>
#include <regex>
#include <tuple>

#include <boost/filesystem/exception.hpp>

#include "store_support.h"

namespace mq::store {
namespace {

using namespace mq::store::test;

std::string fd_path(int fd) { return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string(); }

// Records the calls of a copy; fails, interrupts or shortens chosen ones.
struct recording_ops_t : file_ops_t {
  ssize_t write(int fd, const void* data, std::size_t size) override {
    calls.push_back("write " + std::to_string(size));
    const int index = writes++;
    if (index == fail_write_at || index == interrupt_write_at) {
      errno = index == fail_write_at ? ENOSPC : EINTR;
      return -1;
    }
    return file_ops_t::write(fd, data, index == short_write_at ? 1000 : size);
  }
  int fdatasync(int fd) override {
    struct stat st {};
    ::fstat(fd, &st);
    calls.push_back("fdatasync " + fd_path(fd) + " " + std::to_string(st.st_size));
    return fail_fdatasync ? (errno = EIO, -1) : file_ops_t::fdatasync(fd);
  }
  int fsync(int fd) override {
    calls.push_back("fsync " + fd_path(fd));
    return file_ops_t::fsync(fd);
  }
  int syncfs(int fd) override {
    calls.push_back("syncfs " + fd_path(fd));
    return fail_syncfs ? (errno = EIO, -1) : file_ops_t::syncfs(fd);
  }
  bool syncfs_is_durable(int) override { return durable_fs; }

  std::vector<std::string> calls;
  int writes = 0, fail_write_at = -1, interrupt_write_at = -1, short_write_at = -1;  // the last writes 1000 bytes
  bool fail_fdatasync = false, fail_syncfs = false, durable_fs = false;
};

class message_dir_test : public ::testing::Test {
 protected:
  void SetUp() override { dir.init(::geteuid(), ::getegid()); }

  temp_dir_t tmp;
  const fs::path queue = tmp / "queue";
  const std::string src = tmp.file("source");
  recording_ops_t ops;
  message_dir_t dir{queue, &ops};
};

TEST_F(message_dir_test, data_and_name_are_synced_before_put_returns_and_writes_are_continued) {
  ops.interrupt_write_at = 0;
  ops.short_write_at = 1;
  const std::string content = pattern(140000, 6);
  dir.put("m.eml", make_source(src, content));
  // At most 65535 bytes a call; an interrupted or short write goes on.
  EXPECT_EQ(ops.calls, (std::vector<std::string>{"write 65535", "write 65535", "write 65535", "write 65535",
                                                 "write 7930", "fdatasync " + (queue / "m.eml").string() + " 140000",
                                                 "fsync " + queue.string()}));
  EXPECT_EQ(read_file((queue / "m.eml").string()), content);
  EXPECT_EQ(dir.total_bytes(), content.size());
}

TEST_F(message_dir_test, a_failed_put_leaves_no_file) {
  enum source_t { file, pipe, sparse };  // sparse: the file has the stated size
  // Source content, stated size, failing write, failing fdatasync, kind, start of the error. A short source:
  // copying past its end would die of SIGBUS. A sparse source of a terabyte: refused before a byte is copied.
  for (const auto& [content, stated_size, fail_write_at, fail_fdatasync, kind, expected] :
       std::vector<std::tuple<std::string, std::uint64_t, int, bool, source_t, std::string>>{
           {pattern(200000, 5), 200000, 2, false, file, "write: "},
           {"data", 4, -1, true, file, "fdatasync: "},
           {pattern(5000, 7), 1 << 20, -1, false, file,
            "Message source is shorter than its stated size (5000 of 1048576 bytes)"},
           {"", 0, -1, false, pipe, "Message source is not a regular file"},
           {"", 0, -1, false, file, "mmap: "},
           {"", 1ull << 40, -1, false, sparse, "No space left on device"}}) {
    SCOPED_TRACE(expected);
    std::tie(ops.fail_write_at, ops.fail_fdatasync, ops.writes) = std::tuple(fail_write_at, fail_fdatasync, 0);
    shared_file_t source = make_source(src, content, stated_size);
    ASSERT_EQ(kind == sparse ? ::truncate(src.c_str(), static_cast<off_t>(stated_size)) : 0, 0);
    if (kind == pipe) {
      int fds[2];
      ASSERT_EQ(::pipe(fds), 0);
      ::close(fds[1]);
      source = shared_file_t(fds[0], 3);
    }
    const std::string error = text_of(mq::util::thrown_by([&] { dir.put("m.eml", source); }));
    EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    EXPECT_TRUE(kind != sparse || ops.writes == 0) << "copied " << ops.writes;
    EXPECT_EQ(std::tuple(listing(queue).size(), dir.total_bytes()), std::tuple(0u, 0u)) << "files, bytes";
  }
}

// A group is synced with one syncfs where that is durable; a file that fails
// fails alone, a failed sync fails the whole group and leaves no file.
// Deletes run in their place among the writes and need no sync. Files that
// join while the group is written share its sync.
TEST(message_dir_group_test, a_group_is_synced_once_and_each_operation_gets_its_own_outcome) {
  // Durable syncfs; by index "p" a put, "d" a delete of a file there
  // before; the failing write; a failing syncfs; the calls other than writes,
  // the directory as "Q"; the files left, by index; the files handed in at
  // first (the rest join after the first write).
  for (const auto& [durable_fs, kinds, fail_write_at, fail_syncfs, want_syncs, want_kept, handed] :
       std::vector<std::tuple<bool, std::string, int, bool, std::string, std::string, std::size_t>>{
           {true, "ppp", -1, false, "syncfs Q;", "012", 3},
           {true, "ppp", 1, false, "syncfs Q;", "02", 3},
           {true, "pdp", -1, false, "syncfs Q;", "02", 3},
           {true, "ppp", -1, true, "syncfs Q;", "", 3},
           {true, "pp", 0, false, "fdatasync Q/1.eml 4;fsync Q;", "1", 2},
           {true, "dpd", -1, false, "fdatasync Q/1.eml 4;fsync Q;", "1", 3},
           {false, "pp", -1, false, "fdatasync Q/0.eml 4;fdatasync Q/1.eml 4;fsync Q;", "01", 2},
           {true, "ppp", -1, false, "syncfs Q;", "012", 1},
           {false, "pdp", -1, false, "fdatasync Q/0.eml 4;fdatasync Q/2.eml 4;fsync Q;", "02", 1}}) {
    SCOPED_TRACE(kinds + " " + want_syncs);
    temp_dir_t tmp;
    const std::string queue = (tmp / "queue").string();
    const int n = static_cast<int>(kinds.size());
    std::vector<shared_file_t> sources;
    std::vector<std::pair<std::string, const shared_file_t*>> files;
    fs::create_directories(queue);
    for (int i = 0; i < n; ++i) sources.push_back(make_source(tmp.file(std::to_string(i)), "abcd"));
    for (int i = 0; i < n; ++i) {
      const std::string name = std::to_string(i) + ".eml";
      if (kinds[i] == 'd') write_file(queue + "/" + name, "old");
      files.emplace_back(name, kinds[i] == 'd' ? nullptr : &sources[i]);
    }
    recording_ops_t ops;
    std::tie(ops.durable_fs, ops.fail_write_at, ops.fail_syncfs) = std::tuple(durable_fs, fail_write_at, fail_syncfs);
    message_dir_t dir{queue, &ops};
    dir.init(::geteuid(), ::getegid());
    const std::size_t given = handed;
    const auto errors = dir.write_group({files.begin(), files.begin() + given}, [&](auto& more) {
      if (more.size() == given) more.insert(more.end(), files.begin() + given, files.end());
    });
    ASSERT_EQ(errors.size(), files.size());
    std::string syncs, kept;
    for (const auto& call : ops.calls)
      if (call.rfind("write", 0) != 0) syncs += std::regex_replace(call, std::regex(queue), "Q") + ";";
    for (int i = 0; i < n; ++i) {
      const bool exists = fs::exists(fs::path(queue) / (std::to_string(i) + ".eml"));
      EXPECT_EQ(errors[i] == nullptr, exists != (kinds[i] == 'd')) << i;
      if (exists) kept += std::to_string(i);
    }
    EXPECT_EQ(std::tuple(syncs, kept, dir.total_bytes()), std::tuple(want_syncs, want_kept, 4 * want_kept.size()));
  }
}

// Before 5.8 syncfs drops write-back errors: not trusted there.
TEST(message_dir_group_test, syncfs_is_trusted_only_on_kernels_that_report_its_errors) {
  const std::pair<const char*, bool> rows[] = {{"4.19.0-21-amd64", false}, {"5.7.19", false},        {"5.8.0", true},
                                               {"5.10.0-26-amd64", true},  {"6.1.0-13-amd64", true}, {"x", false}};
  for (const auto& [release, trusted] : rows) EXPECT_EQ(file_ops_t::syncfs_reports_errors(release), trusted) << release;
}

// At the edge of the reserve (1/20 of a small file system): a put that
// would leave less fails and leaves no file; one that leaves it succeeds.
TEST(message_dir_space_test, a_put_may_fill_the_file_system_down_to_the_reserve) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: mounts a small tmpfs";
  temp_dir_t tmp;
  const fs::path small = tmp / "small";
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  const std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount2(small.c_str(), MNT_DETACH); });
  message_dir_t dir(small / "queue");
  dir.init(::geteuid(), ::getegid());
  struct statvfs st {};
  ASSERT_EQ(::statvfs(small.c_str(), &st), 0);
  const std::uint64_t free = st.f_bavail * st.f_frsize, reserve = st.f_blocks * st.f_frsize / 20;
  for (const auto& [size, stored] :
       std::vector<std::pair<std::uint64_t, bool>>{{free - reserve + 1, false}, {free - reserve, true}}) {
    EXPECT_EQ(text_of(mq::util::thrown_by(
                  [&] { dir.put("m.eml", make_source(tmp.file("source"), std::string(size, 'x'))); })),
              stored ? "Success" : "No space left on device")
        << size;
    EXPECT_EQ(fs::exists(small / "queue" / "m.eml"), stored) << size;
  }
}

// Nor does the directory itself, which is refused as a link.
TEST_F(message_dir_test, put_never_overwrites_an_existing_file_nor_follows_a_link) {
  write_file((queue / "taken.eml").string(), "old");
  write_file(tmp.file("target"), "target");
  fs::create_symlink(tmp / "target", queue / "linked.eml");
  EXPECT_THROW(dir.put("taken.eml", make_source(src, "new content")), fs::filesystem_error);
  EXPECT_THROW(dir.put("linked.eml", make_source(src, "new content")), fs::filesystem_error);
  EXPECT_EQ(read_file((queue / "taken.eml").string()) + " " + read_file(tmp.file("target")), "old target");
  ASSERT_EQ(::chmod(queue.c_str(), 0700), 0);
  fs::create_symlink(queue, tmp / "link");
  EXPECT_THROW(message_dir_t(tmp / "link").init(::geteuid(), ::getegid()), fs::filesystem_error);
  // Neither its mode nor its owner went to the target.
  EXPECT_EQ(fs::status(queue).permissions(), fs::owner_all);
}

}  // namespace
}  // namespace mq::store
