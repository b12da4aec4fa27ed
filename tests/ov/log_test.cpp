#include "ov/log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "support/process.h"
#include "util/unique_fd.h"

// The syslog functions of this test program record their calls.
namespace {
std::vector<std::string> syslog_calls;
}

extern "C" {
void openlog(const char* ident, int option, int facility) {
  syslog_calls.push_back("openlog " + std::string(ident ? ident : "(null)") + " " + std::to_string(option) + " " +
                         std::to_string(facility));
}
void closelog(void) { syslog_calls.push_back("closelog"); }
void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* text = std::strcmp(format, "%s") == 0 ? va_arg(args, const char*) : "unexpected format";
  va_end(args);
  syslog_calls.push_back(std::to_string(priority) + " " + text);
}
}

namespace {

using recorded_line_t = std::pair<std::int32_t, std::string>;

// The target in place while a test makes its own: it sees what the making logs.
struct recording_log_t : ov::cf_log_t {
  recording_log_t() : ov::cf_log_t(nullptr) {}
  void open() override {}
  void write(std::int32_t level, const std::string& text) override { lines.emplace_back(level, text); }
  void out_of_memory() override {}
  std::vector<recorded_line_t> lines;
};

class log_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ov::cf_log_threshold = 0;
    ov::cf_log_set(target);
  }
  void TearDown() override { ov::cf_log_set(std::make_shared<recording_log_t>()); }

  std::shared_ptr<recording_log_t> target = std::make_shared<recording_log_t>();
  mq::test::temp_dir_t dir;
};

TEST_F(log_test, a_file_target_appends_stamped_lines_and_copies_them_to_the_pipe) {
  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_NONBLOCK));
  const mq::util::unique_fd_t read_end(fds[0]), write_end(fds[1]);
  const std::string fd = std::to_string(fds[1]), announced = "Log Factory: Additional log - " + fd;
  mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", ("+" + fd).c_str());
  const auto config = mq::test::parse<ov::Log>("type: FILE path: '" + dir.file("daemon.log") + "'");
  for (const char* text : {"Ready for service", "again"}) {
    ov::cf_log_set(ov::cf_make_log(config, nullptr));  // the second one appends
    ov::cf_log_write(2, text);
  }
  ov::cf_log_out_of_memory();
  EXPECT_EQ((std::vector<recorded_line_t>{{0, announced}}), target->lines) << "the first announcement";
  EXPECT_EQ(boost::filesystem::owner_read | boost::filesystem::owner_write,
            boost::filesystem::status(config.path()).permissions());
  const std::string stamp = R"(20\d\d-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d\d \d\d:\d\d:\d\d \[)" +
                            std::to_string(::getpid()) + "\\] ";
  const std::string text = mq::test::read_file(config.path());
  EXPECT_TRUE(std::regex_match(text, std::regex(stamp + "Notice: Ready for service\n" + stamp + "Debug: " + announced +
                                                "\n" + stamp + "Notice: again\nError: Not enough memory\n")))
      << text;
  char buffer[4096];
  const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
  EXPECT_EQ("Notice: Ready for service\nDebug: " + announced + "\nNotice: again\n", std::string(buffer, n > 0 ? n : 0));
}

TEST_F(log_test, a_pipe_variable_is_one_number) {
  const recorded_line_t wrong{4, "Log Factory: Wrong environment variable COM_ORVANE_ADD_LOG_PIPE"};
  const std::pair<const char*, recorded_line_t> rows[] = {
      {"-1", {0, "Log Factory: Additional log - -1"}}, {"5x", wrong}, {"", wrong}, {"2147483648", wrong}};
  for (const auto& [value, line] : rows) {
    target->lines.clear();
    mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", value);
    ov::cf_make_log(ov::Log(), nullptr);
    EXPECT_EQ(std::vector<recorded_line_t>{line}, target->lines) << "\"" << value << "\"";
  }
}

TEST_F(log_test, syslog_gets_every_level_at_its_priority) {
  mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", nullptr);
  auto config = mq::test::parse<ov::Log>("type: SYSLOG facility: MAIL ident: 'mq'");
  syslog_calls.clear();
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  for (int level : {0, 1, 2, 3, 4, 7}) ov::cf_log_write(level, "line %s %n");
  ov::cf_log_out_of_memory();
  config.clear_ident();
  config.clear_facility();
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  const auto line = [](int priority) { return std::to_string(priority) + " line %s %n"; };
  EXPECT_EQ(
      (std::vector<std::string>{"openlog mq " + std::to_string(LOG_PID) + " " + std::to_string(LOG_MAIL),
                                line(LOG_DEBUG), line(LOG_INFO), line(LOG_NOTICE), line(LOG_WARNING), line(LOG_ERR),
                                line(LOG_ERR), std::to_string(LOG_ERR) + " Error: Not enough memory", "closelog",
                                "openlog (null) " + std::to_string(LOG_PID) + " " + std::to_string(LOG_DAEMON)}),
      syslog_calls);
}

}  // namespace
