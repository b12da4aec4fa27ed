// The syslog functions are replaced in this test program by recorders, so
// that the calls the syslog target makes can be checked exactly.

#include "ov/syslog_log.h"

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/common.h"

namespace {

struct syslog_call_t {
  std::string what;  // "openlog", "syslog", "closelog"
  std::string ident_or_text;
  bool null_ident = false;
  int option_or_priority = 0;
  int facility = 0;
};

std::vector<syslog_call_t>& calls() {
  static std::vector<syslog_call_t> all;
  return all;
}

}  // namespace

extern "C" {

void openlog(const char* ident, int option, int facility) {
  calls().push_back({"openlog", ident ? ident : "", ident == nullptr, option, facility});
}

void closelog(void) { calls().push_back({"closelog", "", false, 0, 0}); }

void syslog(int priority, const char* format, ...) {
  std::string text = format;
  if (std::strcmp(format, "%s") == 0) {
    va_list args;
    va_start(args, format);
    text = va_arg(args, const char*);
    va_end(args);
  } else {
    text = "unexpected format: " + text;
  }
  calls().push_back({"syslog", text, false, priority, 0});
}

}  // extern "C"

namespace {

using mq::test::recording_log_t;

class syslog_log_test : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_threshold_ = ov::cf_log_threshold.load();
    ov::cf_log_threshold = 0;
    ov::cf_log_set(std::make_shared<recording_log_t>());
    calls().clear();
  }
  void TearDown() override {
    ov::cf_log_set(std::make_shared<recording_log_t>());
    ov::cf_log_threshold = saved_threshold_;
  }

 private:
  std::int32_t saved_threshold_ = 0;
};

TEST_F(syslog_log_test, lines_priorities_and_lifecycle) {
  mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", nullptr);
  ov::Log config;
  config.set_type(ov::Log::SYSLOG);
  config.set_facility(ov::Log::MAIL);
  config.set_ident("mq");
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  ov::cf_log_write(0, "d");
  ov::cf_log_write(1, "i");
  ov::cf_log_write(2, "Ready for service");
  ov::cf_log_write(3, "w");
  ov::cf_log_write(4, "e");
  ov::cf_log_write(7, "odd %s %n");
  ov::cf_log_out_of_memory();
  ov::cf_log_set(std::make_shared<recording_log_t>());

  const std::vector<std::pair<std::string, int>> expected = {
      {"openlog", LOG_PID}, {"d", LOG_DEBUG}, {"i", LOG_INFO},        {"Ready for service", LOG_NOTICE},
      {"w", LOG_WARNING},   {"e", LOG_ERR},   {"odd %s %n", LOG_ERR}, {"Error: Not enough memory", LOG_ERR},
      {"closelog", 0},
  };
  ASSERT_EQ(expected.size(), calls().size());
  EXPECT_EQ("openlog", calls()[0].what);
  EXPECT_EQ("mq", calls()[0].ident_or_text);
  EXPECT_FALSE(calls()[0].null_ident);
  EXPECT_EQ(LOG_PID, calls()[0].option_or_priority);
  EXPECT_EQ(LOG_MAIL, calls()[0].facility);
  for (std::size_t i = 1; i + 1 < expected.size(); ++i) {
    EXPECT_EQ("syslog", calls()[i].what) << i;
    EXPECT_EQ(expected[i].first, calls()[i].ident_or_text) << i;
    EXPECT_EQ(expected[i].second, calls()[i].option_or_priority) << i;
  }
  EXPECT_EQ("closelog", calls().back().what);
}

TEST_F(syslog_log_test, facilities_and_ident) {
  mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", nullptr);
  struct row_t {
    int configured;  // 0: field absent
    int facility;
  };
  const row_t rows[] = {
      {0, LOG_DAEMON},
      {ov::Log::DAEMON, LOG_DAEMON},
      {ov::Log::USER, LOG_USER},
      {ov::Log::MAIL, LOG_MAIL},
      {ov::Log::LOCAL0, LOG_LOCAL0},
      {ov::Log::LOCAL1, LOG_LOCAL1},
      {ov::Log::LOCAL2, LOG_LOCAL2},
      {ov::Log::LOCAL3, LOG_LOCAL3},
      {ov::Log::LOCAL4, LOG_LOCAL4},
      {ov::Log::LOCAL5, LOG_LOCAL5},
      {ov::Log::LOCAL6, LOG_LOCAL6},
      {ov::Log::LOCAL7, LOG_LOCAL7},
  };
  for (const row_t& row : rows) {
    ov::Log config;
    config.set_type(ov::Log::SYSLOG);
    if (row.configured) config.set_facility(static_cast<ov::Log::LogFacility>(row.configured));
    calls().clear();
    ov::cf_log_set(ov::cf_make_log(config, nullptr));
    ASSERT_FALSE(calls().empty());
    EXPECT_EQ("openlog", calls().back().what);
    EXPECT_EQ(row.facility, calls().back().facility) << row.configured;
    EXPECT_TRUE(calls().back().null_ident);
  }
  EXPECT_EQ(128 + 8 * 5, ov::cf_syslog_log_t::facility_of(ov::Log::LOCAL5));
  // Values outside the enumeration, as an older peer might send them.
  EXPECT_EQ(LOG_DAEMON, ov::cf_syslog_log_t::facility_of(9));

  // A present but empty ident is a null ident too.
  ov::cf_log_set(std::make_shared<recording_log_t>());
  ov::Log config;
  config.set_ident("");
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  calls().clear();
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  // The previous syslog target closes before the new one opens.
  ASSERT_EQ(2u, calls().size());
  EXPECT_EQ("closelog", calls()[0].what);
  EXPECT_EQ("openlog", calls()[1].what);
  EXPECT_TRUE(calls()[1].null_ident);
}

TEST_F(syslog_log_test, lines_are_copied_to_the_pipe_without_timestamp) {
  int pipe_fds[2];
  ASSERT_EQ(0, ::pipe(pipe_fds));
  mq::test::env_var_t var("COM_ORVANE_ADD_LOG_PIPE", std::to_string(pipe_fds[1]).c_str());
  ov::Log config;
  ov::cf_log_set(ov::cf_make_log(config, nullptr));
  ov::cf_log_write(2, "Ready for service");
  ov::cf_log_write(0, "Sorter --> PUT_ENTRY_REQUEST");
  EXPECT_EQ("Notice: Ready for service\nDebug: Sorter --> PUT_ENTRY_REQUEST\n", mq::test::drain(pipe_fds[0]));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

}  // namespace
