#include "util/fair_pool.h"

#include <future>
#include <vector>

#include <gtest/gtest.h>

#include "support/common.h"

namespace {

// One owner's flood takes one thread: another owner's job runs while the
// flood's first job still holds its thread, and the flood runs in order.
TEST(fair_pool, an_owner_holds_one_thread_and_its_jobs_keep_their_order) {
  mq::util::fair_pool_t pool(2, "test-pool");
  std::promise<void> release_flood, other_ran, flood_done;
  std::shared_future<void> released = release_flood.get_future().share();
  std::vector<int> order;  // the flood's jobs: never two at once
  const int flood = 10;
  for (int i = 0; i < flood; ++i)
    pool.post(&order, [&, i, released](std::size_t) {
      released.wait();
      order.push_back(i);
      if (i == flood - 1) flood_done.set_value();
    });
  int other;
  pool.post(&other, [&](std::size_t) { other_ran.set_value(); });
  EXPECT_EQ(std::future_status::ready, other_ran.get_future().wait_for(mq::test::wait_limit()));
  release_flood.set_value();
  ASSERT_EQ(std::future_status::ready, flood_done.get_future().wait_for(mq::test::wait_limit()));
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), order);
}

}  // namespace
