#include "ov/logger.h"

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace logger = ov::util::logger;

// Restores the facade after each test.
class facade_test : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = logger::log_level();
    saved_function_ = logger::log_function();
  }
  void TearDown() override {
    logger::set_log_level(saved_level_);
    logger::set_log_function(saved_function_);
  }

 private:
  std::int32_t saved_level_ = 0;
  logger::log_function_t saved_function_;
};

TEST_F(facade_test, setters_return_the_previous_values) {
  logger::set_log_level(1);
  EXPECT_EQ(1, logger::set_log_level(3));
  EXPECT_EQ(3, logger::log_level());

  std::vector<std::string> first;
  std::vector<std::string> second;
  logger::set_log_function([&](std::int32_t, const std::string& text) { first.push_back(text); });
  logger::log_function_t previous =
      logger::set_log_function([&](std::int32_t, const std::string& text) { second.push_back(text); });
  previous(2, "through the old one");
  logger::log(2, "through the new one");
  logger::log_function()(2, "through a copy");
  EXPECT_EQ(std::vector<std::string>{"through the old one"}, first);
  EXPECT_EQ((std::vector<std::string>{"through the new one", "through a copy"}), second);
}

TEST_F(facade_test, macro_builds_the_line_only_when_the_level_passes) {
  std::vector<std::pair<std::int32_t, std::string>> lines;
  logger::set_log_function([&](std::int32_t level, const std::string& text) { lines.emplace_back(level, text); });
  int built = 0;
  auto count = [&] { return ++built; };

  logger::set_log_level(logger::notice);
  OV_LOG(debug, "debug " << count());
  OV_LOG(info, "info " << count());
  EXPECT_EQ(0, built);
  EXPECT_TRUE(lines.empty());

  OV_LOG(notice, "Queue metadata db: " << count());
  OV_LOG(error, "failed " << count() << " time");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(std::make_pair(2, std::string("Queue metadata db: 1")), lines[0]);
  EXPECT_EQ(std::make_pair(4, std::string("failed 2 time")), lines[1]);

  logger::set_log_level(logger::debug);
  OV_LOG(debug, "now " << count());
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(std::make_pair(0, std::string("now 3")), lines[2]);
}

TEST_F(facade_test, calls_of_the_log_function_never_overlap) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  int calls = 0;  // guarded by the facade mutex
  logger::set_log_function([&](std::int32_t, const std::string&) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    ++calls;
    std::this_thread::yield();
    inside.fetch_sub(1);
  });
  auto run = [] {
    for (int i = 0; i < 2000; ++i) logger::log(1, "line");
  };
  std::thread a(run);
  std::thread b(run);
  a.join();
  b.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(4000, calls);
}

}  // namespace
