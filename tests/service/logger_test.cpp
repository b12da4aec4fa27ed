// The logging service: levels from the configuration, the target from
// actual_log, the facade wired to the writer.
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ov/log.h"
#include "ov/logger.h"
#include "service/logger.h"
#include "support/daemon_process.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(logger_service, levels_follow_the_configuration) {
  ov::MailQuarantineConfig config;
  config.mutable_actual_log()->set_type(ov::Log::STDERR);
  mq::service::logger_t logger(&config);

  logger.configure();  // log_level unset: debug
  EXPECT_EQ(0, ov::cf_log_threshold);
  EXPECT_EQ(0, ov::util::logger::log_level());

  config.set_log_level(ov::LOG_LEVEL_WARNING);
  logger.configure();
  EXPECT_EQ(3, ov::cf_log_threshold);
  EXPECT_EQ(3, ov::util::logger::log_level());

  config.set_log_level(ov::LOG_LEVEL_ERROR);
  logger.configure();
  EXPECT_EQ(4, ov::cf_log_threshold);
  EXPECT_EQ(4, ov::util::logger::log_level());
}

TEST(logger_service, facade_lines_reach_the_file_target_and_auto_keeps_it) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config;
  config.set_log_level(ov::LOG_LEVEL_INFO);
  config.mutable_actual_log()->set_type(ov::Log::FILE);
  config.mutable_actual_log()->set_path(dir.file("log"));
  mq::service::logger_t logger(&config);
  logger.configure();

  OV_LOG(debug, "filtered out");
  OV_LOG(notice, "first line");
  config.mutable_actual_log()->set_type(ov::Log::AUTO);
  logger.configure();
  OV_LOG(info, "second line");

  const std::string text = read_file(dir.file("log"));
  EXPECT_EQ(std::string::npos, text.find("filtered out"));
  EXPECT_NE(std::string::npos, text.find("] Notice: first line\n")) << text;
  EXPECT_NE(std::string::npos, text.find("] Info: second line\n")) << text;
}

TEST(logger_service, unopenable_log_file_fails_the_configuration) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config;
  config.mutable_actual_log()->set_type(ov::Log::FILE);
  config.mutable_actual_log()->set_path(dir.file("missing/log"));
  mq::service::logger_t logger(&config);
  EXPECT_THROW(logger.configure(), std::exception);
}

}  // namespace
