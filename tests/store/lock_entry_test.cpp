#include "store/lock_entry.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mq::store {
namespace {

TEST(lock_entry_test, deferred_operations_run_in_order_when_the_last_lock_goes) {
  lock_entry_t locks;
  std::vector<std::string> ran;
  locks.lock(7);
  locks.lock(7);
  locks.defer(7, [&] { ran.push_back("first"); });
  locks.defer(7, [&] { ran.push_back("second"); });
  EXPECT_TRUE(locks.is_locked(7));
  EXPECT_FALSE(locks.is_locked(8));

  locks.unlock(7);
  EXPECT_TRUE(locks.is_locked(7));
  EXPECT_TRUE(ran.empty());

  locks.unlock(7);
  EXPECT_FALSE(locks.is_locked(7));
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second"}));

  // Ran once: a later lock and unlock finds nothing deferred.
  locks.lock(7);
  locks.unlock(7);
  EXPECT_EQ(ran.size(), 2u);
}

TEST(lock_entry_test, unlocking_an_unknown_id_changes_nothing) {
  lock_entry_t locks;
  std::vector<int> ran;
  locks.lock(1);
  locks.defer(1, [&] { ran.push_back(1); });
  locks.unlock(2);
  EXPECT_TRUE(locks.is_locked(1));
  EXPECT_TRUE(ran.empty());
}

TEST(lock_entry_test, a_deferred_operation_may_lock_the_id_again) {
  lock_entry_t locks;
  std::vector<int> ran;
  locks.lock(3);
  locks.defer(3, [&] {
    ran.push_back(1);
    locks.lock(3);
    locks.defer(3, [&] { ran.push_back(2); });
  });
  locks.unlock(3);
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_TRUE(locks.is_locked(3));
  locks.unlock(3);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_FALSE(locks.is_locked(3));
}

}  // namespace
}  // namespace mq::store
