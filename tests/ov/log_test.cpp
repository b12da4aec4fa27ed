#include "ov/log.h"

#include <cerrno>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/filesystem/exception.hpp>

#include "ov/console_log.h"
#include "ov/error.h"
#include "ov/file_log.h"
#include "support/common.h"

namespace {

using mq::test::recorded_line_t;
using mq::test::recording_log_t;

TEST(log_levels, names_and_thresholds) {
  EXPECT_STREQ("Debug", ov::cf_log_level_name(0));
  EXPECT_STREQ("Info", ov::cf_log_level_name(1));
  EXPECT_STREQ("Notice", ov::cf_log_level_name(2));
  EXPECT_STREQ("Warning", ov::cf_log_level_name(3));
  EXPECT_STREQ("Error", ov::cf_log_level_name(4));
  EXPECT_STREQ("Unknown", ov::cf_log_level_name(7));
  EXPECT_STREQ("Unknown", ov::cf_log_level_name(-1));
  EXPECT_EQ(0, ov::cf_log_threshold_of(ov::LOG_LEVEL_DEBUG));
  EXPECT_EQ(1, ov::cf_log_threshold_of(ov::LOG_LEVEL_INFO));
  EXPECT_EQ(2, ov::cf_log_threshold_of(ov::LOG_LEVEL_NOTICE));
  EXPECT_EQ(3, ov::cf_log_threshold_of(ov::LOG_LEVEL_WARNING));
  EXPECT_EQ(4, ov::cf_log_threshold_of(ov::LOG_LEVEL_ERROR));
  EXPECT_EQ(4, ov::cf_log_threshold_of(0));
  EXPECT_EQ(4, ov::cf_log_threshold_of(6));
  EXPECT_EQ(4, ov::cf_log_threshold_of(-1));
}

// Each test starts with its own recording target installed and the threshold at 0.
class log_writer_test : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_threshold_ = ov::cf_log_threshold.load();
    ov::cf_log_threshold = 0;
    target_ = std::make_shared<recording_log_t>("base", [this](const std::string& line) { hooked_.push_back(line); });
    ov::cf_log_set(target_);
    ASSERT_EQ(1, ov::cf_log_state.load());
  }
  void TearDown() override { ov::cf_log_threshold = saved_threshold_; }

  std::shared_ptr<recording_log_t> target_;
  std::vector<std::string> hooked_;

 private:
  std::int32_t saved_threshold_ = 0;
};

TEST_F(log_writer_test, installed_target_gets_every_line_and_the_hook_a_copy) {
  ov::cf_log_threshold = 4;
  ov::cf_log_write(0, "below the threshold still arrives");
  ov::cf_log_write(7, "odd level");
  EXPECT_EQ((std::vector<recorded_line_t>{{0, "below the threshold still arrives"}, {7, "odd level"}}), target_->lines);
  EXPECT_EQ((std::vector<std::string>{"Debug: below the threshold still arrives", "Unknown: odd level"}), hooked_);
  EXPECT_TRUE(ov::cf_log_is_set());
}

TEST_F(log_writer_test, replacing_the_target_closes_the_old_before_opening_the_new) {
  auto events = std::make_shared<std::vector<std::string>>();
  ov::cf_log_set(std::make_shared<recording_log_t>("first", nullptr, events));
  ov::cf_log_set(std::make_shared<recording_log_t>("second", nullptr, events));
  EXPECT_EQ((std::vector<std::string>{"open first", "destroy first", "open second"}), *events);
  ov::cf_log_out_of_memory();
  EXPECT_EQ("out_of_memory second", events->back());
}

TEST_F(log_writer_test, empty_target_is_not_installed) {
  ov::Log config;
  config.set_type(ov::Log::AUTO);
  std::shared_ptr<ov::cf_log_t> none = ov::cf_make_log(config, nullptr);
  EXPECT_EQ(nullptr, none);
  ov::cf_log_set(none);
  ov::cf_log_write(2, "still here");
  EXPECT_EQ((std::vector<recorded_line_t>{{2, "still here"}}), target_->lines);
}

TEST_F(log_writer_test, default_log_and_console_lines) {
  std::shared_ptr<ov::cf_log_t> console = ov::cf_make_default_log();
  ASSERT_NE(nullptr, dynamic_cast<ov::cf_console_log_t*>(console.get()));
  mq::test::stderr_capture_t capture;
  ov::cf_log_set(console);
  ov::cf_log_write(2, "Ready for service");
  ov::cf_log_write(7, "x");
  ov::cf_log_write(4, "");
  ov::cf_log_out_of_memory();
  EXPECT_EQ("Notice: Ready for service\nUnknown: x\nError: \nError: Not enough memory\n", capture.take());
}

TEST_F(log_writer_test, stderr_target_without_timestamp_is_the_console) {
  ov::Log config;
  config.set_type(ov::Log::STDERR);
  std::shared_ptr<ov::cf_log_t> target = ov::cf_make_log(config, nullptr);
  ASSERT_NE(nullptr, dynamic_cast<ov::cf_console_log_t*>(target.get()));
}

// Checks "<timestamp> [<pid>] <rest>" and that the time lies within [before, after].
void expect_file_line(const std::string& line, std::time_t before, std::time_t after, const std::string& rest) {
  // d: digit, M: month abbreviation, anything else literally.
  static const std::string shape = "dddd-MMM-dd dd:dd:dd [";
  static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  ASSERT_GT(line.size(), shape.size()) << line;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd') {
      ASSERT_TRUE(line[i] >= '0' && line[i] <= '9') << i << ": " << line;
    } else if (shape[i] == 'M') {
      std::size_t at = months.find(line.substr(i, 3));
      ASSERT_TRUE(at != std::string::npos && at % 3 == 0) << line;
      i += 2;
    } else {
      ASSERT_EQ(shape[i], line[i]) << i << ": " << line;
    }
  }
  std::tm parsed{};
  const char* end = ::strptime(line.c_str(), "%Y-%b-%d %H:%M:%S", &parsed);
  ASSERT_EQ(line.c_str() + 20, end) << line;
  parsed.tm_isdst = -1;
  std::time_t when = std::mktime(&parsed);
  EXPECT_LE(before, when) << line;
  EXPECT_GE(after, when) << line;
  EXPECT_EQ(" [" + std::to_string(::getpid()) + "] " + rest, line.substr(20));
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(text.size(), start) << "last line without newline";
  return lines;
}

TEST(file_log, timestamp_format) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 5;
  t.tm_hour = 9;
  t.tm_min = 50;
  t.tm_sec = 42;
  t.tm_isdst = -1;
  EXPECT_EQ("2026-Dec-05 09:50:42", ov::cf_file_log_t::timestamp(std::mktime(&t)));
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_hour = 0;
  t.tm_min = 0;
  t.tm_sec = 0;
  t.tm_isdst = -1;
  EXPECT_EQ("2026-Jan-01 00:00:00", ov::cf_file_log_t::timestamp(std::mktime(&t)));
}

TEST_F(log_writer_test, file_target_lines_and_pipe_copies) {
  mq::test::temp_dir_t dir;
  int pipe_fds[2];
  ASSERT_EQ(0, ::pipe(pipe_fds));
  mq::test::env_var_t pipe_var("COM_ORVANE_ADD_LOG_PIPE", ("+" + std::to_string(pipe_fds[1])).c_str());
  ov::Log config;
  config.set_type(ov::Log::FILE);
  config.set_path(dir.file("daemon.log"));
  config.set_show_timestamp(false);  // ignored: file lines always carry one

  std::time_t before = std::time(nullptr);
  std::shared_ptr<ov::cf_log_t> file = ov::cf_make_log(config, nullptr);
  ASSERT_NE(nullptr, dynamic_cast<ov::cf_file_log_t*>(file.get()));
  // The factory announced the pipe through the writer, still on the old target.
  EXPECT_EQ((std::vector<recorded_line_t>{{0, "Log Factory: Additional log - " + std::to_string(pipe_fds[1])}}),
            target_->lines);
  ov::cf_log_set(file);
  ov::cf_log_write(2, "Ready for service");
  ov::cf_log_write(4, "Store: bad: x");
  file->out_of_memory();
  std::time_t after = std::time(nullptr);

  struct stat st;
  ASSERT_EQ(0, ::stat(config.path().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  std::vector<std::string> lines = split_lines(mq::test::read_file(config.path()));
  ASSERT_EQ(3u, lines.size());
  expect_file_line(lines[0], before, after, "Notice: Ready for service");
  expect_file_line(lines[1], before, after, "Error: Store: bad: x");
  EXPECT_EQ("Error: Not enough memory", lines[2]);
  EXPECT_EQ("Notice: Ready for service\nError: Store: bad: x\n", mq::test::drain(pipe_fds[0]));

  // A second target on the same path appends; the factory's announcement
  // reaches the current (first) target.
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  ov::cf_log_write(1, "again");
  lines = split_lines(mq::test::read_file(config.path()));
  ASSERT_EQ(5u, lines.size());
  expect_file_line(lines[3], before, std::time(nullptr),
                   "Debug: Log Factory: Additional log - " + std::to_string(pipe_fds[1]));
  expect_file_line(lines[4], before, std::time(nullptr), "Info: again");
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST_F(log_writer_test, file_target_that_cannot_be_opened) {
  mq::test::temp_dir_t dir;
  ov::Log config;
  config.set_type(ov::Log::FILE);
  config.set_path(dir.file("missing/daemon.log"));
  try {
    ov::cf_make_log(config, nullptr);
    FAIL() << "no exception";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(ENOENT, e.code().value());
    EXPECT_EQ(&boost::system::system_category(), &e.code().category());
    EXPECT_EQ(config.path(), e.path1().string());
    EXPECT_EQ("Cannot create log: No such file or directory [system:2]: \"" + config.path() + "\"",
              std::string(e.what()));
    EXPECT_EQ(23, ov::error_code_of(e));
  }
  ov::cf_log_write(3, "previous target stays");
  EXPECT_EQ((std::vector<recorded_line_t>{{3, "previous target stays"}}), target_->lines);
}

TEST_F(log_writer_test, file_target_reports_the_errno_of_the_first_attempt) {
  if (::geteuid() == 0) GTEST_SKIP() << "root bypasses directory permissions";
  mq::test::temp_dir_t dir;
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0500));
  ov::Log config;
  config.set_type(ov::Log::FILE);
  config.set_path(dir.file("daemon.log"));
  try {
    ov::cf_make_log(config, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const boost::filesystem::filesystem_error& e) {
    // Creating fails with EACCES; the retry without O_CREAT would say ENOENT.
    EXPECT_EQ(EACCES, e.code().value());
  }
  ::chmod(dir.path().c_str(), 0700);
}

TEST_F(log_writer_test, file_target_opens_an_existing_file_it_may_not_create) {
  if (::geteuid() == 0) GTEST_SKIP() << "root bypasses directory permissions";
  mq::test::temp_dir_t dir;
  ov::Log config;
  config.set_type(ov::Log::FILE);
  config.set_path(dir.file("daemon.log"));
  int fd = ::open(config.path().c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_LE(0, fd);
  ::close(fd);
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0500));
  std::shared_ptr<ov::cf_log_t> target = ov::cf_make_log(config, nullptr);
  ::chmod(dir.path().c_str(), 0700);
  ASSERT_NE(nullptr, target);
  target->write(1, "x");
  EXPECT_NE(std::string::npos, mq::test::read_file(config.path()).find("] Info: x\n"));
}

TEST_F(log_writer_test, stderr_target_with_timestamp_keeps_descriptor_2_open) {
  ov::Log config;
  config.set_type(ov::Log::STDERR);
  config.set_show_timestamp(true);
  mq::test::stderr_capture_t capture;
  std::time_t before = std::time(nullptr);
  {
    std::shared_ptr<ov::cf_log_t> target = ov::cf_make_log(config, nullptr);
    auto* file = dynamic_cast<ov::cf_file_log_t*>(target.get());
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(2, file->fd);
    EXPECT_FALSE(file->owns_fd);
    target->write(3, "on stderr");
  }
  EXPECT_TRUE(capture.stderr_open());
  std::vector<std::string> lines = split_lines(capture.take());
  ASSERT_EQ(1u, lines.size());
  expect_file_line(lines[0], before, std::time(nullptr), "Warning: on stderr");
}

TEST_F(log_writer_test, pipe_variable_values) {
  struct row_t {
    const char* value;
    std::vector<recorded_line_t> lines;
  };
  const char* wrong = "Log Factory: Wrong environment variable COM_ORVANE_ADD_LOG_PIPE";
  const row_t rows[] = {
      {"5", {{0, "Log Factory: Additional log - 5"}}},
      {"+5", {{0, "Log Factory: Additional log - 5"}}},
      {"-1", {{0, "Log Factory: Additional log - -1"}}},
      {"2147483647", {{0, "Log Factory: Additional log - 2147483647"}}},
      {"-2147483648", {{0, "Log Factory: Additional log - -2147483648"}}},
      {"5x", {{4, wrong}}},
      {" 5", {{4, wrong}}},
      {"5 ", {{4, wrong}}},
      {"", {{4, wrong}}},
      {"+", {{4, wrong}}},
      {"-", {{4, wrong}}},
      {"+-5", {{4, wrong}}},
      {"0x5", {{4, wrong}}},
      {"99999999999", {{4, wrong}}},
      {"2147483648", {{4, wrong}}},
      {"-2147483649", {{4, wrong}}},
  };
  ov::Log config;  // syslog: keeps the hook the factory chose
  for (const row_t& row : rows) {
    target_->lines.clear();
    mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", row.value);
    std::shared_ptr<ov::cf_log_t> made = ov::cf_make_log(config, nullptr);
    ASSERT_NE(nullptr, made);
    EXPECT_EQ(row.lines, target_->lines) << "value \"" << row.value << "\"";
  }
  {
    target_->lines.clear();
    mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", nullptr);
    ov::cf_make_log(config, nullptr);
    EXPECT_TRUE(target_->lines.empty());
  }
  // The announcement needs threshold 0; the complaint passes any threshold up to error.
  ov::cf_log_threshold = 1;
  target_->lines.clear();
  {
    mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", "5");
    ov::cf_make_log(config, nullptr);
  }
  EXPECT_TRUE(target_->lines.empty());
  ov::cf_log_threshold = 4;
  {
    mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", "5x");
    ov::cf_make_log(config, nullptr);
  }
  EXPECT_EQ((std::vector<recorded_line_t>{{4, wrong}}), target_->lines);
  ov::cf_log_threshold = 5;
  target_->lines.clear();
  {
    mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", "5x");
    ov::cf_make_log(config, nullptr);
  }
  EXPECT_TRUE(target_->lines.empty());
}

TEST_F(log_writer_test, pipe_hook_to_an_invalid_descriptor_fails_silently) {
  mq::test::temp_dir_t dir;
  mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", "-1");
  ov::Log config;
  config.set_type(ov::Log::FILE);
  config.set_path(dir.file("daemon.log"));
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  ov::cf_log_write(1, "first");
  ov::cf_log_write(1, "second");
  std::string text = mq::test::read_file(config.path());
  EXPECT_NE(std::string::npos, text.find("] Info: first\n")) << text;
  EXPECT_NE(std::string::npos, text.find("] Info: second\n")) << text;
}

TEST_F(log_writer_test, stderr_target_copies_nothing_to_the_pipe) {
  int pipe_fds[2];
  ASSERT_EQ(0, ::pipe(pipe_fds));
  mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", std::to_string(pipe_fds[1]).c_str());
  ov::Log config;
  config.set_type(ov::Log::STDERR);
  mq::test::stderr_capture_t capture;
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  ov::cf_log_write(2, "only here");
  EXPECT_EQ("Notice: only here\n", capture.take());
  EXPECT_EQ("", mq::test::drain(pipe_fds[0]));

  // A hook the caller supplies stays.
  std::vector<std::string> copies;
  mq::test::stderr_capture_t capture2;
  ov::cf_log_set(ov::cf_make_log(config, [&](const std::string& line) { copies.push_back(line); }));
  ov::cf_log_write(3, "copied");
  EXPECT_EQ("Warning: copied\n", capture2.take());
  EXPECT_EQ(std::vector<std::string>{"Warning: copied"}, copies);
  EXPECT_EQ("", mq::test::drain(pipe_fds[0]));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

}  // namespace
