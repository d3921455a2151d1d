#include "common/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace kesto {
namespace {

// Items that finish out of order (later ones are cheaper) are still used
// in order, and never more than `ahead` wait at once.
TEST(ordered_work, results_are_used_in_order_for_every_thread_count) {
  for (unsigned threads : {1u, 2u, 8u}) {
    std::atomic<int> waiting{0};
    int most_waiting = 0;
    std::vector<std::uint32_t> order;
    std::string joined;
    const int status = run_ordered<std::string>(
        50, threads, 4,
        [&](std::uint32_t i) {
          volatile unsigned spin = 0;
          for (unsigned k = 0; k < (50 - i) * 2000; ++k) spin = spin + k;
          ++waiting;
          return std::to_string(i * i) + ",";
        },
        [&](std::uint32_t i, std::string& result) {
          most_waiting = std::max(most_waiting, waiting.load());
          --waiting;
          order.push_back(i);
          joined += result;
          return 0;
        });
    EXPECT_EQ(status, 0);
    ASSERT_EQ(order.size(), 50u) << threads;
    for (std::uint32_t i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
    std::string expected;
    for (std::uint32_t i = 0; i < 50; ++i) expected += std::to_string(i * i) + ",";
    EXPECT_EQ(joined, expected) << threads;
    // The result being used counts too: it left the queue just before.
    EXPECT_LE(most_waiting, static_cast<int>(std::max(threads, 4u)) + 1) << threads;
  }
}

TEST(ordered_work, a_failed_use_stops_the_run_with_its_status) {
  for (unsigned threads : {1u, 3u}) {
    std::atomic<std::uint32_t> started{0};
    std::uint32_t used = 0;
    const int status = run_ordered<int>(
        1000, threads, 3,
        [&](std::uint32_t i) {
          ++started;
          return static_cast<int>(i);
        },
        [&](std::uint32_t i, int&) {
          ++used;
          return i == 5 ? 7 : 0;
        });
    EXPECT_EQ(status, 7);
    EXPECT_EQ(used, 6u);
    EXPECT_LT(started.load(), 20u) << threads;
  }
}

}  // namespace
}  // namespace kesto
