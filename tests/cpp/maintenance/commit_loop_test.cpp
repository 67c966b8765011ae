#include "maintenance/commit_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace vb::maintenance {
namespace {

TEST(CommitLoop, RunsEveryItemExactlyOnce) {
  for (std::size_t n : {0u, 1u, 7u, 1000u}) {
    std::vector<std::atomic<int>> calls(n);
    CommitLoop loop(n);
    loop.run([&](std::size_t i) { calls[i].fetch_add(1, std::memory_order_relaxed); });
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(calls[i].load(), 1) << "item " << i << " of " << n;
  }
}

}  // namespace
}  // namespace vb::maintenance
