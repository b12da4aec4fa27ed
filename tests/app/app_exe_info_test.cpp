#include "app/app_exe_info.h"

#include <cerrno>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "ov/error.h"
#include "support/daemon_process.h"

namespace {

std::string md5_of(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr));
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

std::string owner_name(uid_t uid) {
  passwd* p = ::getpwuid(uid);
  return p ? p->pw_name : std::to_string(uid);
}

// Restores the working directory at the end of the scope.
class cwd_guard_t {
 public:
  explicit cwd_guard_t(const std::string& to) : saved_(::open(".", O_RDONLY | O_DIRECTORY)) {
    EXPECT_EQ(0, ::chdir(to.c_str()));
  }
  ~cwd_guard_t() {
    EXPECT_EQ(0, ::fchdir(saved_));
    ::close(saved_);
  }

 private:
  int saved_;
};

TEST(app_exe_info, describes_a_regular_file) {
  mq::test::temp_dir_t dir;
  // Larger than one read block and not a multiple of it.
  std::string data;
  for (int i = 0; i < 20000; ++i) data += static_cast<char>(i * 7 + i / 256);
  std::string path = dir.file("exe");
  write_file(path, data);
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));

  ov::AppExeInfo info = ov::make_app_exe_info("9.8.7", path);
  EXPECT_EQ("9.8.7", info.version());
  EXPECT_EQ(md5_of(data), info.exe_md5());
  EXPECT_EQ(16u, info.exe_md5().size());
  EXPECT_EQ(data.size(), info.exe_size());
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_mtime), info.modification_time());
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_ctime), info.install_time());
  EXPECT_EQ(owner_name(st.st_uid), info.exe_owner());
  EXPECT_TRUE(info.has_version() && info.has_exe_md5() && info.has_exe_size() && info.has_modification_time() &&
              info.has_install_time() && info.has_exe_owner());
}

TEST(app_exe_info, takes_the_path_from_argv0_relative_to_the_working_directory) {
  mq::test::temp_dir_t dir;
  ASSERT_EQ(0, ::mkdir(dir.file("bin").c_str(), 0700));
  write_file(dir.file("bin/exe"), "contents");
  cwd_guard_t cwd(dir.path());
  char arg0[] = "bin/../bin/./exe";
  char* argv[] = {arg0, nullptr};
  ov::AppExeInfo info = ov::make_app_exe_info("1", 1, argv);
  EXPECT_EQ(md5_of("contents"), info.exe_md5());
  EXPECT_EQ(8u, info.exe_size());
}

TEST(app_exe_info, empty_argument_vector) {
  char* argv[] = {nullptr};
  try {
    ov::make_app_exe_info("1", 0, argv);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Unknown exe path", e.what());
    EXPECT_EQ(125, ov::error_code_of(e));
  }
}

TEST(app_exe_info, missing_file_fails_in_canonical) {
  mq::test::temp_dir_t dir;
  try {
    ov::make_app_exe_info("1", dir.file("missing"));
    FAIL() << "no exception";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(23, ov::error_code_of(e));
  }
}

TEST(app_exe_info, directory_is_not_a_regular_file) {
  mq::test::temp_dir_t dir;
  try {
    ov::make_app_exe_info("1", dir.path());
    FAIL() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(&ov::error_category(), &e.code().category());
    EXPECT_EQ(33, e.code().value());
    EXPECT_EQ(33, ov::error_code_of(e));
    EXPECT_STREQ("Not a regular file [ov.Error:33]", e.what());
    EXPECT_STREQ("Not a regular file [ov.Error:33]", ov::exception_text(e));
  }
}

TEST(app_exe_info, symbolic_link_describes_its_target) {
  mq::test::temp_dir_t dir;
  write_file(dir.file("target"), "the real executable");
  ASSERT_EQ(0, ::symlink("target", dir.file("link").c_str()));
  struct stat target;
  ASSERT_EQ(0, ::stat(dir.file("target").c_str(), &target));
  ov::AppExeInfo info = ov::make_app_exe_info("1", dir.file("link"));
  EXPECT_EQ(md5_of("the real executable"), info.exe_md5());
  EXPECT_EQ(19u, info.exe_size());
  EXPECT_EQ(static_cast<std::uint64_t>(target.st_mtime), info.modification_time());
  EXPECT_EQ(static_cast<std::uint64_t>(target.st_ctime), info.install_time());
}

TEST(app_exe_info, empty_file_has_the_digest_of_empty_input) {
  mq::test::temp_dir_t dir;
  write_file(dir.file("empty"), "");
  ov::AppExeInfo info = ov::make_app_exe_info("1", dir.file("empty"));
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", hex(info.exe_md5()));
  EXPECT_EQ(0u, info.exe_size());
  EXPECT_TRUE(info.has_exe_size());
}

TEST(app_exe_info, owner_without_user_entry_is_the_uid) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  ASSERT_EQ(nullptr, ::getpwuid(4321)) << "uid 4321 has a user entry here";
  mq::test::temp_dir_t dir;
  write_file(dir.file("exe"), "x");
  ASSERT_EQ(0, ::chown(dir.file("exe").c_str(), 4321, 4321));
  EXPECT_EQ("4321", ov::make_app_exe_info("1", dir.file("exe")).exe_owner());
}

TEST(app_exe_info, unreadable_file) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
  mq::test::temp_dir_t dir;
  std::string path = dir.file("exe");
  write_file(path, "x");
  ASSERT_EQ(0, ::chmod(path.c_str(), 0));
  try {
    ov::make_app_exe_info("1", path);
    FAIL() << "no exception";
  } catch (const ov::cf_proto_exception_t& e) {
    EXPECT_EQ(ov::EC_PERMISSION_DENIED, e.code);
    EXPECT_EQ("MD5: open: Permission denied [system:13]: \"" + path + "\"", std::string(e.what()));
  }
}

TEST(app_exe_info, read_failure_names_the_unchanged_path_in_stream_form) {
  // Reading the start of the own memory image fails with EIO; the link's name
  // shows how quotes and ampersands in the path are escaped.
  mq::test::temp_dir_t dir;
  std::string link = dir.file("a\"b&c");
  ASSERT_EQ(0, ::symlink("/proc/self/mem", link.c_str()));
  try {
    ov::make_app_exe_info("1", link);
    FAIL() << "no exception";
  } catch (const ov::cf_proto_exception_t& e) {
    EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, e.code);
    EXPECT_EQ("MD5: read: Input/output error [system:5]: \"" + dir.path() + "/a&\"b&&c\"", std::string(e.what()));
  }
}

}  // namespace
