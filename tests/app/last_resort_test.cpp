// The terminate handler runs in fresh child processes: this test program
// re-executed with MQ_APP_SCENARIO naming what to throw. The child runs the
// scenario from a global test environment, after static initialisation.

#include "app/last_resort.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <boost/filesystem/exception.hpp>

#include "ov/error.h"
#include "ov/log.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

template <typename E>
[[noreturn]] void terminate_with(E e) {
  std::set_terminate(&mq::app::last_resort_handler);
  try {
    throw e;
  } catch (...) {
    std::terminate();
  }
}

boost::system::error_code sys(int value) { return boost::system::error_code(value, boost::system::system_category()); }

const std::map<std::string, std::function<void()>>& scenarios() {
  static const std::map<std::string, std::function<void()>> all = {
      {"filesystem_error",
       [] { terminate_with(boost::filesystem::filesystem_error("boost::filesystem::status", "/p", sys(ENOENT))); }},
      {"std_system_error",
       [] { terminate_with(std::system_error(std::error_code(ENOENT, std::system_category()), "open")); }},
      {"bad_alloc", [] { terminate_with(std::bad_alloc()); }},
      {"proto_exception",
       [] { terminate_with(ov::cf_proto_exception_t(ov::EC_PERMISSION_DENIED, "MD5: open: denied")); }},
      {"bare_error_code", [] { terminate_with(ov::EC_BAD_CONFIG); }},
      {"no_exception",
       [] {
         std::set_terminate(&mq::app::last_resort_handler);
         std::terminate();
       }},
      {"buffered_lines_replayed_at_notice",
       [] {
         ov::cf_log_write(1, "info before");
         ov::cf_log_write(2, "notice before");
         terminate_with(std::runtime_error("boost::asio::misc: gone"));
       }},
      {"installed_log_above_error",
       [] {
         ov::cf_log_threshold = 5;
         ov::cf_log_set(ov::cf_make_default_log());
         terminate_with(boost::filesystem::filesystem_error("stat", "/p", sys(ENOTDIR)));
       }},
      {"installed_log_at_error",
       [] {
         ov::cf_log_threshold = 4;
         ov::cf_log_set(ov::cf_make_default_log());
         ov::cf_log_write(2, "written directly");
         terminate_with(std::runtime_error("plain"));
       }},
      {"no_exit_handlers",
       [] {
         std::atexit([] { std::fputs("exit handler ran\n", stderr); });
         ov::cf_log_threshold = 4;
         ov::cf_log_set(ov::cf_make_default_log());
         terminate_with(std::runtime_error("x"));
       }},
  };
  return all;
}

class scenario_environment_t : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* name = std::getenv("MQ_APP_SCENARIO");
    if (!name) return;
    auto it = scenarios().find(name);
    if (it == scenarios().end()) std::_Exit(90);
    it->second();
    std::_Exit(91);
  }
};

[[maybe_unused]] ::testing::Environment* const scenario_environment =
    ::testing::AddGlobalTestEnvironment(new scenario_environment_t);

void expect_scenario(const std::string& name, int status, const std::string& err) {
  mq::test::child_result_t r = mq::test::run_child(
      mq::test::self_exe_path(), {"test_app", "--gtest_filter=last_resort.*"}, {{"MQ_APP_SCENARIO", name}});
  EXPECT_TRUE(r.exited) << name << " ended by signal " << r.status << "\n" << r.err;
  EXPECT_EQ(status, r.status) << name;
  EXPECT_EQ(err, r.err) << name;
}

TEST(last_resort, exit_status_is_the_error_code_of_the_exception) {
  expect_scenario("filesystem_error", 23, "Error: status: No such file or directory [system:2]: \"/p\"\n");
  expect_scenario("proto_exception", 24, "Error: MD5: open: denied\n");
  expect_scenario("bad_alloc", 21, "Error: Not enough memory\n");
}

TEST(last_resort, std_system_error_counts_as_unexpected) {
  expect_scenario("std_system_error", 125, "Error: open: No such file or directory\n");
}

TEST(last_resort, non_standard_or_missing_exceptions) {
  expect_scenario("bare_error_code", 125, "Error: Unexpected exception\n");
  expect_scenario("no_exception", 125, "Error: Unexpected exception\n");
}

TEST(last_resort, installs_the_default_log_at_notice_when_none_exists) {
  expect_scenario("buffered_lines_replayed_at_notice", 125, "Notice: notice before\nError: misc: gone\n");
}

TEST(last_resort, keeps_an_installed_log_and_its_threshold) {
  expect_scenario("installed_log_above_error", 25, "");
  expect_scenario("installed_log_at_error", 125, "Notice: written directly\nError: plain\n");
}

TEST(last_resort, ends_without_exit_handlers) { expect_scenario("no_exit_handlers", 125, "Error: x\n"); }

TEST(last_resort, system_error_rule_is_left_out_only_there) {
  std::system_error e(std::error_code(EACCES, std::system_category()), "x");
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, mq::app::last_resort_code_of(e));
  EXPECT_EQ(ov::EC_PERMISSION_DENIED, ov::error_code_of(e));
  EXPECT_EQ(ov::EC_PERMISSION_DENIED,
            mq::app::last_resort_code_of(boost::filesystem::filesystem_error("x", sys(EACCES))));
}

class protobuf_log_test : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_threshold_ = ov::cf_log_threshold.load();
    ov::cf_log_threshold = 0;
    ov::cf_log_set(target_);
  }
  void TearDown() override {
    google::protobuf::SetLogHandler(nullptr);
    ov::cf_log_threshold = saved_threshold_;
  }

  std::shared_ptr<mq::test::recording_log_t> target_ = std::make_shared<mq::test::recording_log_t>();

 private:
  std::int32_t saved_threshold_ = 0;
};

TEST_F(protobuf_log_test, levels_and_the_dropped_warning) {
  using namespace google::protobuf;
  mq::app::protobuf_log_handler(LOGLEVEL_INFO, "f.cc", 1, "info");
  mq::app::protobuf_log_handler(LOGLEVEL_WARNING, "f.cc", 1,
                                "Reading dangerously large protocol message.  If the message turns out");
  mq::app::protobuf_log_handler(LOGLEVEL_WARNING, "f.cc", 1, "Reading dangerously large protocol message");
  mq::app::protobuf_log_handler(LOGLEVEL_WARNING, "f.cc", 1, "other warning");
  mq::app::protobuf_log_handler(LOGLEVEL_ERROR, "f.cc", 1, "error");
  mq::app::protobuf_log_handler(LOGLEVEL_FATAL, "f.cc", 1, "fatal");
  EXPECT_EQ((std::vector<mq::test::recorded_line_t>{{1, "info"},
                                                    {3, "Reading dangerously large protocol message"},
                                                    {3, "other warning"},
                                                    {4, "error"},
                                                    {4, "fatal"}}),
            target_->lines);
}

TEST_F(protobuf_log_test, threshold_filters) {
  using namespace google::protobuf;
  ov::cf_log_threshold = 4;
  mq::app::protobuf_log_handler(LOGLEVEL_INFO, "f.cc", 1, "info");
  mq::app::protobuf_log_handler(LOGLEVEL_WARNING, "f.cc", 1, "warning");
  mq::app::protobuf_log_handler(LOGLEVEL_ERROR, "f.cc", 1, "error");
  EXPECT_EQ((std::vector<mq::test::recorded_line_t>{{4, "error"}}), target_->lines);
}

TEST_F(protobuf_log_test, library_messages_arrive_through_the_hook) {
  google::protobuf::SetLogHandler(&mq::app::protobuf_log_handler);
  GOOGLE_LOG(WARNING) << "from the library's logging";
  EXPECT_EQ((std::vector<mq::test::recorded_line_t>{{3, "from the library's logging"}}), target_->lines);
}

}  // namespace
