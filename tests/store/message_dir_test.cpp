#include "store/message_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "store/async_message_dir.h"
#include "store_test_util.h"

namespace mq::store {
namespace {

namespace fs = boost::filesystem;
using test::log_capture_t;
using test::make_source;
using test::pattern;
using test::read_file;
using test::temp_dir_t;
using test::write_file;

// Names the path a descriptor stands for, as the kernel sees it.
std::string fd_path(int fd) {
  char buf[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

// Records every call and can make chosen calls fail.
class recording_ops_t : public file_ops_t {
 public:
  struct call_t {
    std::string what;  // "write", "fdatasync", "fsync"
    std::string path;
    std::size_t size = 0;
    std::uint64_t file_size_then = 0;  // size of the file at the time of a sync
  };

  ssize_t write(int fd, const void* data, std::size_t size) override {
    calls.push_back({"write", fd_path(fd), size, 0});
    const int index = writes++;
    if (index == fail_write_at) {
      errno = fail_errno;
      return -1;
    }
    if (interrupt_first && index == 0) {
      errno = EINTR;
      return -1;
    }
    if (short_writes && size > short_writes) size = short_writes;
    return file_ops_t::write(fd, data, size);
  }

  int fdatasync(int fd) override {
    struct stat st {};
    ::fstat(fd, &st);
    calls.push_back({"fdatasync", fd_path(fd), 0, static_cast<std::uint64_t>(st.st_size)});
    if (fail_fdatasync) {
      errno = EIO;
      return -1;
    }
    return file_ops_t::fdatasync(fd);
  }

  int fsync(int fd) override {
    calls.push_back({"fsync", fd_path(fd), 0, 0});
    return file_ops_t::fsync(fd);
  }

  std::vector<std::size_t> write_sizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& c : calls) {
      if (c.what == "write") sizes.push_back(c.size);
    }
    return sizes;
  }

  std::vector<call_t> calls;
  int writes = 0;
  int fail_write_at = -1;
  int fail_errno = ENOSPC;
  bool interrupt_first = false;
  std::size_t short_writes = 0;
  bool fail_fdatasync = false;
};

class message_dir_test : public ::testing::Test {
 protected:
  fs::path queue() const { return tmp / "queue"; }
  fs::path src(const std::string& name = "source") const { return tmp / name; }

  std::uint32_t uid = ::geteuid();
  std::uint32_t gid = ::getegid();
  temp_dir_t tmp;
};

std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> names;
  for (fs::directory_iterator it(dir), end; it != end; ++it) names.insert(it->path().filename().string());
  return names;
}

// ---- file names

TEST(message_filename_test, follows_the_two_models_with_fresh_random_digits) {
  const std::string without = "%%%%-%%%%_%%%%-%%%%-%%%%.eml";
  EXPECT_TRUE(test::fits_model(make_message_filename(std::string("abc")), "%%%%-%%%%_abc.eml"));
  EXPECT_TRUE(test::fits_model(make_message_filename(boost::none), without));
  EXPECT_TRUE(test::fits_model(make_message_filename(std::string()), without));
  // A "%" of the session id is a random digit as well.
  EXPECT_TRUE(test::fits_model(make_message_filename(std::string("a%b")), "%%%%-%%%%_a%b.eml"));
  EXPECT_FALSE(test::fits_model("0123-456g_abc.eml", "%%%%-%%%%_abc.eml"));

  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) seen.insert(make_message_filename(boost::none));
  EXPECT_EQ(seen.size(), 200u);
}

TEST(message_filename_test, unsafe_session_ids_stay_inside_one_name) {
  const std::string up = make_message_filename(std::string("../../x"));
  EXPECT_EQ(up.find('/'), std::string::npos);
  EXPECT_EQ(up.substr(9), "_.._.._x.eml");

  const std::string nul = make_message_filename(std::string("a\0b/c", 5));
  EXPECT_EQ(nul.size(), 19u);  // "xxxx-xxxx_" + "a_b_c" + ".eml"
  EXPECT_EQ(nul.substr(9), "_a_b_c.eml");

  const std::string longest = make_message_filename(std::string(1000, 's'));
  EXPECT_EQ(longest.size(), 255u);
  EXPECT_EQ(longest.substr(longest.size() - 4), ".eml");

  // Two-byte characters: the cut falls between characters, never inside one.
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xc3\xa9";
  const std::string cut = make_message_filename(wide);
  EXPECT_LE(cut.size(), 255u);
  const std::string part = cut.substr(10, cut.size() - 14);
  EXPECT_EQ(part.size() % 2, 0u);
  EXPECT_EQ(part.size(), 240u);
}

TEST_F(message_dir_test, unsafe_session_id_file_lands_in_the_message_directory) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  for (const std::string& session :
       {std::string("../../x"), std::string("/etc/y"), std::string("a\0b", 3), std::string(600, 'z')}) {
    const std::string name = make_message_filename(session);
    auto source = make_source(src(), "hello");
    dir.put(name, source);
    EXPECT_EQ(read_file(queue() / name), "hello");
  }
  EXPECT_EQ(listing(queue()).size(), 4u);
  EXPECT_EQ(listing(tmp.path()), (std::set<std::string>{"queue", "source"}));
  EXPECT_EQ(dir.total_bytes(), 20u);
}

// ---- init and rescan

TEST_F(message_dir_test, init_creates_the_directory_with_mode_0770) {
  const fs::path deep = tmp / "a" / "b" / "queue";
  message_dir_t dir(deep);
  dir.init(uid, gid);
  struct stat st {};
  ASSERT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0770u);
  EXPECT_EQ(dir.total_bytes(), 0u);

  // An existing directory gets exactly 0770 too.
  ASSERT_EQ(::chmod(deep.c_str(), 02755), 0);
  message_dir_t again(deep);
  again.init(uid, gid);
  ASSERT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
}

TEST_F(message_dir_test, init_fails_where_no_directory_can_be) {
  write_file(tmp / "plain", "x");
  message_dir_t dir(tmp / "plain" / "queue");
  EXPECT_THROW(dir.init(uid, gid), fs::filesystem_error);
}

TEST_F(message_dir_test, a_symbolic_link_as_message_directory_is_refused) {
  fs::create_directory(tmp / "elsewhere");
  ASSERT_EQ(::chmod((tmp / "elsewhere").c_str(), 0700), 0);
  fs::create_symlink(tmp / "elsewhere", queue());
  message_dir_t dir(queue());
  try {
    dir.init(uid, gid);
    FAIL() << "init through a link succeeded";
  } catch (const fs::filesystem_error& e) {
    // Refused by O_NOFOLLOW together with O_DIRECTORY.
    EXPECT_TRUE(e.code().value() == ENOTDIR || e.code().value() == ELOOP) << e.what();
  }
  struct stat st {};
  ASSERT_EQ(::stat((tmp / "elsewhere").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(message_dir_test, rescan_counts_regular_files_and_links_to_them_only) {
  fs::create_directories(queue() / "sub");
  write_file(queue() / "a.eml", std::string(10, 'a'));
  write_file(queue() / "b.eml", std::string(20, 'b'));
  write_file(queue() / "sub" / "inner.eml", std::string(1000, 'i'));
  write_file(tmp / "outside", std::string(7, 'o'));
  fs::create_symlink(tmp / "outside", queue() / "link-out");
  fs::create_symlink(queue() / "a.eml", queue() / "link-a");
  fs::create_symlink(queue() / "sub", queue() / "link-sub");

  message_dir_t dir(queue());
  dir.init(uid, gid);
  EXPECT_EQ(dir.total_bytes(), 10u + 20u + 7u + 10u);

  // A later rescan counts afresh.
  write_file(queue() / "c.eml", std::string(5, 'c'));
  fs::remove(queue() / "b.eml");
  dir.rescan(uid, gid);
  EXPECT_EQ(dir.total_bytes(), 10u + 5u + 7u + 10u);
}

TEST_F(message_dir_test, rescan_fails_on_a_dangling_link) {
  fs::create_directories(queue());
  fs::create_symlink(tmp / "nowhere", queue() / "dangling");
  message_dir_t dir(queue());
  try {
    dir.init(uid, gid);
    FAIL() << "rescan ignored a failing stat";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_EQ(std::string(e.what()).rfind("stat", 0), 0u) << e.what();
  }
}

TEST_F(message_dir_test, rescan_hands_files_to_the_user_but_never_through_a_link) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  const std::uint32_t user = 4242, group = 4343;
  fs::create_directories(queue() / "sub");
  write_file(queue() / "a.eml", "aaaa");
  write_file(queue() / "b.eml", "bb");
  ASSERT_EQ(::chown((queue() / "b.eml").c_str(), user, 0), 0);  // only the group differs
  write_file(tmp / "precious", "root's");
  fs::create_symlink(tmp / "precious", queue() / "planted");
  fs::create_hard_link(tmp / "precious", queue() / "hard");

  message_dir_t dir(queue());
  dir.init(user, group);

  auto owner = [](const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return std::make_pair(st.st_uid, st.st_gid);
  };
  const auto given = std::make_pair(static_cast<uid_t>(user), static_cast<gid_t>(group));
  const auto root = std::make_pair(static_cast<uid_t>(0), static_cast<gid_t>(0));
  EXPECT_EQ(owner(queue()), given);
  EXPECT_EQ(owner(queue() / "a.eml"), given);
  EXPECT_EQ(owner(queue() / "b.eml"), given);
  EXPECT_EQ(owner(queue() / "sub"), root);
  EXPECT_EQ(owner(tmp / "precious"), root);
  EXPECT_EQ(owner(queue() / "planted"), root);
  EXPECT_EQ(owner(queue() / "hard"), root);
  EXPECT_EQ(dir.total_bytes(), 4u + 2u + 6u + 6u);

  // Another run-as user takes everything over on reload.
  dir.rescan(user + 1, group + 1);
  const auto next = std::make_pair(static_cast<uid_t>(user + 1), static_cast<gid_t>(group + 1));
  EXPECT_EQ(owner(queue()), next);
  EXPECT_EQ(owner(queue() / "a.eml"), next);
  EXPECT_EQ(owner(queue() / "b.eml"), next);
  EXPECT_EQ(owner(tmp / "precious"), root);
}

// ---- put

TEST_F(message_dir_test, put_copies_the_stated_bytes_into_a_new_0660_file) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  const std::string content = pattern(300000);
  auto source = make_source(src(), content);
  const mode_t old_mask = ::umask(0);
  dir.put("m1.eml", source);
  ::umask(old_mask);
  EXPECT_EQ(read_file(queue() / "m1.eml"), content);
  struct stat st {};
  ASSERT_EQ(::stat((queue() / "m1.eml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(dir.total_bytes(), content.size());

  // A longer source gives only the stated bytes.
  auto longer = make_source(src("longer"), "0123456789", 4);
  dir.put("m2.eml", longer);
  EXPECT_EQ(read_file(queue() / "m2.eml"), "0123");
  EXPECT_EQ(dir.total_bytes(), content.size() + 4);
}

TEST_F(message_dir_test, put_never_overwrites_an_existing_file) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  write_file(queue() / "taken.eml", "old content");
  dir.rescan(uid, gid);
  auto source = make_source(src(), "new content that is longer");
  try {
    dir.put("taken.eml", source);
    FAIL() << "put over an existing file succeeded";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), EEXIST);
    EXPECT_EQ(std::string(e.what()).rfind("open: ", 0), 0u) << e.what();
    EXPECT_EQ(e.path1(), queue() / "taken.eml");
  }
  EXPECT_EQ(read_file(queue() / "taken.eml"), "old content");
  EXPECT_EQ(dir.total_bytes(), 11u);

  // Nor through a link planted under the new name.
  write_file(tmp / "target", "target");
  fs::create_symlink(tmp / "target", queue() / "linked.eml");
  EXPECT_THROW(dir.put("linked.eml", source), fs::filesystem_error);
  EXPECT_EQ(read_file(tmp / "target"), "target");
}

TEST_F(message_dir_test, chunks_hold_at_most_65535_bytes) {
  recording_ops_t ops;
  message_dir_t dir(queue(), &ops);
  dir.init(uid, gid);

  const std::string exact = pattern(65535, 2);
  auto one = make_source(src("one"), exact);
  dir.put("one.eml", one);
  EXPECT_EQ(ops.write_sizes(), (std::vector<std::size_t>{65535}));
  EXPECT_EQ(read_file(queue() / "one.eml"), exact);

  ops.calls.clear();
  const std::string over = pattern(65536, 3);
  auto two = make_source(src("two"), over);
  dir.put("two.eml", two);
  EXPECT_EQ(ops.write_sizes(), (std::vector<std::size_t>{65535, 1}));
  EXPECT_EQ(read_file(queue() / "two.eml"), over);
}

TEST_F(message_dir_test, interrupted_and_short_writes_are_continued) {
  recording_ops_t ops;
  ops.interrupt_first = true;
  ops.short_writes = 1000;
  message_dir_t dir(queue(), &ops);
  dir.init(uid, gid);
  const std::string content = pattern(10500, 4);
  auto source = make_source(src(), content);
  dir.put("m.eml", source);
  EXPECT_EQ(read_file(queue() / "m.eml"), content);
  // One interrupted call, then eleven short ones.
  EXPECT_EQ(ops.write_sizes().size(), 12u);
  EXPECT_EQ(dir.total_bytes(), content.size());
}

TEST_F(message_dir_test, a_failed_write_leaves_no_file) {
  recording_ops_t ops;
  ops.fail_write_at = 2;
  message_dir_t dir(queue(), &ops);
  dir.init(uid, gid);
  auto source = make_source(src(), pattern(200000, 5));
  try {
    dir.put("m.eml", source);
    FAIL() << "the failing write went unnoticed";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), ENOSPC);
    EXPECT_EQ(std::string(e.what()).rfind("write: ", 0), 0u) << e.what();
  }
  EXPECT_TRUE(listing(queue()).empty());
  EXPECT_EQ(dir.total_bytes(), 0u);
}

TEST_F(message_dir_test, the_data_and_the_name_are_synced_before_put_returns) {
  recording_ops_t ops;
  message_dir_t dir(queue(), &ops);
  dir.init(uid, gid);
  const std::string content = pattern(70000, 6);
  auto source = make_source(src(), content);
  dir.put("m.eml", source);

  const std::string file = (queue() / "m.eml").string();
  ASSERT_GE(ops.calls.size(), 4u);
  const auto& data_sync = ops.calls[ops.calls.size() - 2];
  const auto& dir_sync = ops.calls.back();
  EXPECT_EQ(data_sync.what, "fdatasync");
  EXPECT_EQ(data_sync.path, file);
  EXPECT_EQ(data_sync.file_size_then, content.size());
  EXPECT_EQ(dir_sync.what, "fsync");
  EXPECT_EQ(dir_sync.path, queue().string());
  for (std::size_t i = 0; i + 2 < ops.calls.size(); ++i) EXPECT_EQ(ops.calls[i].what, "write");
}

TEST_F(message_dir_test, a_failed_sync_fails_the_put_and_leaves_no_file) {
  recording_ops_t ops;
  ops.fail_fdatasync = true;
  message_dir_t dir(queue(), &ops);
  dir.init(uid, gid);
  auto source = make_source(src(), "data");
  try {
    dir.put("m.eml", source);
    FAIL() << "the failing sync went unnoticed";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("fdatasync: ", 0), 0u) << e.what();
  }
  EXPECT_TRUE(listing(queue()).empty());
  EXPECT_EQ(dir.total_bytes(), 0u);
}

TEST_F(message_dir_test, a_short_source_fails_cleanly) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  // Without the size check the copy would read past the end of the file
  // and the process would die of SIGBUS.
  auto source = make_source(src(), pattern(5000, 7), 1 << 20);
  try {
    dir.put("m.eml", source);
    FAIL() << "a short source was accepted";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EINVAL);
    EXPECT_EQ(std::string(e.what()),
              "Message source is shorter than its stated size (5000 of 1048576 bytes): " + e.code().message());
  }
  EXPECT_TRUE(listing(queue()).empty());
  EXPECT_EQ(dir.total_bytes(), 0u);
}

TEST_F(message_dir_test, a_source_that_is_no_regular_file_fails_cleanly) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "abc", 3), 3);
  ::close(fds[1]);
  shared_file_t source(fds[0], 3);
  try {
    dir.put("m.eml", source);
    FAIL() << "a pipe was accepted as source";
  } catch (const std::system_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Message source is not a regular file", 0), 0u) << e.what();
  }
  EXPECT_TRUE(listing(queue()).empty());
}

TEST_F(message_dir_test, an_empty_source_cannot_be_mapped) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  auto source = make_source(src(), "");
  try {
    dir.put("m.eml", source);
    FAIL() << "an empty source was accepted";
  } catch (const std::system_error& e) {
    EXPECT_EQ(std::string(e.what()), "mmap: " + e.code().message());
    EXPECT_EQ(e.code().value(), EINVAL);
  }
  EXPECT_TRUE(listing(queue()).empty());
}

// ---- get and delete

TEST_F(message_dir_test, get_opens_read_only_with_close_on_exec_and_the_real_size) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  auto source = make_source(src(), "0123456789");
  dir.put("m.eml", source);
  // The size comes from the file system, not from the put.
  write_file(queue() / "m.eml", "01234567890123");
  shared_file_t file = dir.get("m.eml");
  ASSERT_TRUE(file);
  EXPECT_EQ(file.size, 14u);
  EXPECT_EQ(test::read_fd(file.fd), "01234567890123");
  EXPECT_EQ(::fcntl(file.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(::fcntl(file.fd, F_GETFL) & O_ACCMODE, O_RDONLY);

  try {
    dir.get("missing.eml");
    FAIL() << "a missing file was opened";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_EQ(std::string(e.what()).rfind("open: ", 0), 0u) << e.what();
  }
  // Names never reach outside the directory.
  write_file(tmp / "secret", "s");
  EXPECT_THROW(dir.get("../secret"), fs::filesystem_error);
  EXPECT_THROW(dir.get(".."), fs::filesystem_error);
}

TEST_F(message_dir_test, delete_removes_counts_and_accepts_a_missing_file) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  auto a = make_source(src("a"), std::string(100, 'a'));
  auto b = make_source(src("b"), std::string(30, 'b'));
  dir.put("a.eml", a);
  dir.put("b.eml", b);
  EXPECT_EQ(dir.total_bytes(), 130u);
  dir.remove("a.eml");
  EXPECT_FALSE(fs::exists(queue() / "a.eml"));
  EXPECT_EQ(dir.total_bytes(), 30u);
  EXPECT_NO_THROW(dir.remove("a.eml"));
  EXPECT_NO_THROW(dir.remove("never-there.eml"));
  EXPECT_EQ(dir.total_bytes(), 30u);
  EXPECT_TRUE(fs::exists(queue() / "b.eml"));
}

TEST_F(message_dir_test, deleting_more_than_the_total_warns_and_leaves_zero) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  auto a = make_source(src(), std::string(10, 'a'));
  dir.put("a.eml", a);
  write_file(queue() / "big.eml", std::string(100, 'b'));  // not counted yet
  log_capture_t log;
  dir.remove("big.eml");
  EXPECT_EQ(dir.total_bytes(), 0u);
  EXPECT_GE(log.find(ov::util::logger::warning, "Message directory: unexpected file size"), 0);
  EXPECT_FALSE(fs::exists(queue() / "big.eml"));
}

TEST_F(message_dir_test, delete_reports_other_failures) {
  message_dir_t dir(queue());
  dir.init(uid, gid);
  fs::create_directory(queue() / "sub");
  try {
    dir.remove("sub");
    FAIL() << "a directory was deleted as a message file";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), EISDIR);
  }
  EXPECT_TRUE(fs::is_directory(queue() / "sub"));
}

// ---- health-check walk

class dir_health_test : public message_dir_test {
 protected:
  void SetUp() override {
    dir.init(uid, gid);
    write_file(queue() / "a.eml", std::string(4, 'a'));           // record 1
    write_file(queue() / "orphan.eml", std::string(10, 'o'));     // no record
    write_file(queue() / "fresh.eml", std::string(3, 'f'));       // in flight
    fs::create_directory(queue() / "sub");                        // record 3
    fs::create_symlink(queue() / "a.eml", queue() / "link.eml");  // a link is no regular file
    dir.rescan(uid, gid);
    records = {{1, "a.eml"}, {2, "missing.eml"}, {3, "sub"}, {4, "pending.eml"}, {5, "a.eml"}};
  }

  async_message_dir_t::health_stat_t run(bool fix, std::vector<std::int64_t>& ids) {
    std::promise<std::vector<health_check_entry_t>> records_promise;
    std::promise<std::vector<std::int64_t>> ids_promise;
    std::promise<void> done;
    auto ids_future = ids_promise.get_future();
    records_promise.set_value(records);
    done.set_value();
    auto stat = dir.check_health(records_promise.get_future(), std::move(ids_promise), done.get_future(), fix,
                                 {"fresh.eml", "pending.eml"});
    ids = ids_future.get();
    std::sort(ids.begin(), ids.end());
    return stat;
  }

  message_dir_t dir{queue()};
  std::vector<health_check_entry_t> records;
};

TEST_F(dir_health_test, finds_orphans_and_non_regular_entries_without_touching_them) {
  log_capture_t log;
  std::vector<std::int64_t> ids;
  const auto stat = run(false, ids);
  EXPECT_EQ(ids, (std::vector<std::int64_t>{2, 3}));
  EXPECT_EQ(stat.orphaned_db_records, 2u);
  EXPECT_EQ(stat.orphaned_files, 1u);
  EXPECT_EQ(stat.orphaned_bytes, 10u);
  EXPECT_EQ(stat.removed_files, 0u);
  EXPECT_EQ(stat.removed_bytes, 0u);
  EXPECT_EQ(stat.non_regular_files, 2u);
  EXPECT_GE(log.find(ov::util::logger::warning, "Message directory: found non-regular file: \"sub\""), 0);
  EXPECT_GE(log.find(ov::util::logger::warning, "Message directory: found non-regular file: \"link.eml\""), 0);
  EXPECT_EQ(listing(queue()), (std::set<std::string>{"a.eml", "orphan.eml", "fresh.eml", "sub", "link.eml"}));
}

TEST_F(dir_health_test, fix_deletes_orphaned_files_only) {
  std::vector<std::int64_t> ids;
  const auto before = dir.total_bytes();
  const auto stat = run(true, ids);
  EXPECT_EQ(ids, (std::vector<std::int64_t>{2, 3}));
  EXPECT_EQ(stat.orphaned_files, 1u);
  EXPECT_EQ(stat.removed_files, 1u);
  EXPECT_EQ(stat.orphaned_bytes, 10u);
  EXPECT_EQ(stat.removed_bytes, 10u);
  EXPECT_EQ(stat.non_regular_files, 2u);
  // The in-flight file stays, and so does everything that is not regular.
  EXPECT_EQ(listing(queue()), (std::set<std::string>{"a.eml", "fresh.eml", "sub", "link.eml"}));
  EXPECT_EQ(dir.total_bytes(), before - 10u);
}

TEST_F(dir_health_test, a_failure_of_the_records_is_passed_on_and_ends_the_walk) {
  std::promise<std::vector<health_check_entry_t>> records_promise;
  std::promise<std::vector<std::int64_t>> ids_promise;
  std::promise<void> done;
  auto ids_future = ids_promise.get_future();
  records_promise.set_exception(std::make_exception_ptr(std::runtime_error("db broke")));
  EXPECT_THROW(dir.check_health(records_promise.get_future(), std::move(ids_promise), done.get_future(), true, {}),
               std::runtime_error);
  EXPECT_THROW(ids_future.get(), std::runtime_error);
  EXPECT_TRUE(fs::exists(queue() / "orphan.eml"));
}

TEST_F(dir_health_test, a_failure_of_the_database_half_ends_the_check) {
  std::promise<std::vector<health_check_entry_t>> records_promise;
  std::promise<std::vector<std::int64_t>> ids_promise;
  std::promise<void> done;
  auto ids_future = ids_promise.get_future();
  records_promise.set_value(records);
  done.set_exception(std::make_exception_ptr(std::runtime_error("delete failed")));
  try {
    dir.check_health(records_promise.get_future(), std::move(ids_promise), done.get_future(), false, {});
    FAIL() << "the database failure was lost";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "delete failed");
  }
  EXPECT_EQ(ids_future.get().size(), 3u);  // 2, 3 and the pending 4
}

TEST_F(dir_health_test, a_directory_that_cannot_be_read_fails_the_check) {
  fs::remove_all(queue());
  std::promise<std::vector<health_check_entry_t>> records_promise;
  std::promise<std::vector<std::int64_t>> ids_promise;
  std::promise<void> done;
  auto ids_future = ids_promise.get_future();
  records_promise.set_value(records);
  done.set_value();
  EXPECT_THROW(dir.check_health(records_promise.get_future(), std::move(ids_promise), done.get_future(), false, {}),
               fs::filesystem_error);
  EXPECT_THROW(ids_future.get(), fs::filesystem_error);
}

}  // namespace
}  // namespace mq::store
