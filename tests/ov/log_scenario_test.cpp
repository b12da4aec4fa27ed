// Writer behaviour that depends on a fresh process (buffering before the
// first target, the flush at exit) runs in a child: this test program
// re-executed with MQ_OV_LOG_SCENARIO naming the scenario. The child runs it
// from a global test environment, after static initialisation, and exits.

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ov/file_log.h"
#include "ov/log.h"
#include "support/child_process.h"

namespace {

const std::map<std::string, std::function<void()>>& scenarios() {
  static const std::map<std::string, std::function<void()>> all = {
      {"replay_at_threshold",
       [] {
         ov::cf_log_write(0, "d");
         ov::cf_log_write(4, "e1");
         ov::cf_log_write(1, "i");
         ov::cf_log_write(2, "n");
         ov::cf_log_write(3, "w");
         ov::cf_log_write(4, "e2");
         if (ov::cf_log_state.load() != 0 || ov::cf_log_is_set()) std::abort();
         ov::cf_log_threshold = 2;  // the threshold in force when the target arrives counts
         ov::cf_log_set(ov::cf_make_default_log());
         // The buffer is empty now: the flush at exit adds nothing.
       }},
      {"flush_at_exit_threshold_0",
       [] {
         ov::cf_log_write(1, "a");
         ov::cf_log_write(0, "b");
         ov::cf_log_write(7, "c");
       }},
      {"flush_at_exit_threshold_1",
       [] {
         ov::cf_log_threshold = 1;
         ov::cf_log_write(1, "a");
         ov::cf_log_write(0, "b");
         ov::cf_log_write(4, "c");
       }},
      {"nothing_buffered", [] {}},
      {"flush_overrides_the_target",
       [] {
         int null_fd = ::open("/dev/null", O_WRONLY);
         ov::cf_log_set(std::make_shared<ov::cf_file_log_t>(null_fd, true, nullptr));
         ov::cf_log_write(2, "to the target");
         ov::cf_log_flush();
         if (ov::cf_log_state.load() != 2) std::abort();
         ov::cf_log_write(2, "to stderr");
         ov::cf_log_threshold = 3;
         ov::cf_log_write(2, "filtered");
         ov::cf_log_write(3, "passed");
         // Installing a target later does not leave standard error.
         ov::cf_log_set(std::make_shared<ov::cf_file_log_t>(::open("/dev/null", O_WRONLY), true, nullptr));
         ov::cf_log_write(4, "still stderr");
       }},
      {"out_of_memory_while_buffering",
       [] {
         ov::cf_log_threshold = 1;
         ov::cf_log_write(1, "buffered");
         ov::cf_log_out_of_memory();
       }},
  };
  return all;
}

class scenario_environment_t : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* name = std::getenv("MQ_OV_LOG_SCENARIO");
    if (!name) return;
    auto it = scenarios().find(name);
    if (it == scenarios().end()) std::_Exit(90);
    it->second();
    std::exit(0);
  }
};

[[maybe_unused]] ::testing::Environment* const scenario_environment =
    ::testing::AddGlobalTestEnvironment(new scenario_environment_t);

std::string run_scenario(const std::string& name) {
  mq::test::child_result_t r = mq::test::run_child(
      mq::test::self_exe_path(), {"test_ov", "--gtest_filter=log_scenario.*"}, {{"MQ_OV_LOG_SCENARIO", name}});
  EXPECT_TRUE(r.exited) << name << " ended by signal " << r.status << "\n" << r.err;
  EXPECT_EQ(0, r.status) << name << "\n" << r.err;
  return r.err;
}

TEST(log_scenario, replay_uses_the_threshold_in_force_and_empties_the_buffer) {
  EXPECT_EQ("Error: e1\nNotice: n\nWarning: w\nError: e2\n", run_scenario("replay_at_threshold"));
}

TEST(log_scenario, flush_at_exit_writes_the_buffer_to_stderr) {
  EXPECT_EQ("Debug: Flushing log...\nInfo: a\nDebug: b\nUnknown: c\n", run_scenario("flush_at_exit_threshold_0"));
  EXPECT_EQ("Info: a\nError: c\n", run_scenario("flush_at_exit_threshold_1"));
  EXPECT_EQ("", run_scenario("nothing_buffered"));
}

TEST(log_scenario, after_the_flush_every_line_goes_to_stderr) {
  EXPECT_EQ("Notice: to stderr\nWarning: passed\nError: still stderr\n", run_scenario("flush_overrides_the_target"));
}

TEST(log_scenario, out_of_memory_without_a_target_goes_to_stderr) {
  EXPECT_EQ("Error: Not enough memory\nInfo: buffered\n", run_scenario("out_of_memory_while_buffering"));
}

}  // namespace
