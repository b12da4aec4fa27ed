#include "app/app_exe_info.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "ov/error.h"
#include "support/common.h"

namespace {

TEST(app_exe_info, follows_a_relative_argv0_and_a_link_to_the_target) {
  mq::test::temp_dir_t dir;
  ASSERT_EQ(0, ::mkdir(dir.file("bin").c_str(), 0700));
  mq::test::write_file(dir.file("bin/exe"), "the real executable");
  ASSERT_EQ(0, ::symlink("exe", dir.file("bin/link").c_str()));
  struct stat target;
  ASSERT_EQ(0, ::stat(dir.file("bin/exe").c_str(), &target));
  const int saved = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, ::chdir(dir.path().c_str()));
  char arg0[] = "bin/../bin/./link";
  char* argv[] = {arg0, nullptr};
  const ov::AppExeInfo info = ov::make_app_exe_info("1", 1, argv);
  EXPECT_EQ(0, ::fchdir(saved));
  ::close(saved);
  EXPECT_EQ(std::string("\x81\x08\x56\xba\x66\xc5\xff\x99\x71\x5c\x81\x1e\xf3\x4d\x3c\x8f", 16), info.exe_md5());
  EXPECT_EQ(19u, info.exe_size());
  EXPECT_EQ(static_cast<std::uint64_t>(target.st_mtime), info.modification_time());
  EXPECT_EQ(static_cast<std::uint64_t>(target.st_ctime), info.install_time());
}

TEST(app_exe_info, needs_root_owner_without_user_entry_is_the_uid) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: changes a file's owner";
  ASSERT_EQ(nullptr, ::getpwuid(4321)) << "uid 4321 has a user entry here";
  mq::test::temp_dir_t dir;
  mq::test::write_file(dir.file("exe"), "x");
  ASSERT_EQ(0, ::chown(dir.file("exe").c_str(), 4321, 4321));
  EXPECT_EQ("4321", ov::make_app_exe_info("1", dir.file("exe")).exe_owner());
}

struct failure_t {
  const char* name;
  std::string (*prepare)(const mq::test::temp_dir_t&);  // the path to describe; "" for an empty argv
  int code;
  const char* text;  // "" when the library's text is not ours
  bool needs_non_root = false;
};
void PrintTo(const failure_t& row, std::ostream* os) { *os << row.name; }

const failure_t failures[] = {
    {"empty_argument_vector", [](const auto&) { return std::string(); }, 125, "Unknown exe path"},
    {"missing_file", [](const auto& d) { return d.file("missing"); }, 23, ""},
    {"directory", [](const auto& d) { return d.path().string(); }, 33, "Not a regular file [ov.Error:33]"},
    {"unreadable_file",
     [](const auto& d) {
       mq::test::write_file(d.file("exe"), "x");
       ::chmod(d.file("exe").c_str(), 0);
       return d.file("exe");
     },
     24, "MD5: open: Permission denied [system:13]: \"$/exe\"", true},
    // Reading the own memory image from its start fails; the name shows how
    // quotes and ampersands in the path are escaped.
    {"read_error_escapes_the_path",
     [](const auto& d) {
       ::symlink("/proc/self/mem", d.file("a\"b&c").c_str());
       return d.file("a\"b&c");
     },
     125, "MD5: read: Input/output error [system:5]: \"$/a&\"b&&c\""},
};

class app_exe_info_failure : public ::testing::TestWithParam<failure_t> {};

TEST_P(app_exe_info_failure, code_and_text) {
  if (GetParam().needs_non_root && ::geteuid() == 0) GTEST_SKIP() << "needs a non-root user: root reads any file";
  mq::test::temp_dir_t dir;
  const std::string path = GetParam().prepare(dir);
  try {
    char* argv[] = {nullptr};
    path.empty() ? ov::make_app_exe_info("1", 0, argv) : ov::make_app_exe_info("1", path);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_EQ(GetParam().code, ov::error_code_of(e));
    std::string text = GetParam().text;
    if (text.find('$') != std::string::npos) text.replace(text.find('$'), 1, dir.path().string());
    if (!text.empty()) {
      EXPECT_EQ(text, ov::exception_text(e));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(cases, app_exe_info_failure, ::testing::ValuesIn(failures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
