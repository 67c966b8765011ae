#include "pool/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace vb::pool {
namespace {

TEST(Pool, SizeFromTheEnvironment) {
  EXPECT_EQ(threads_from_environment("3", nullptr, 8), 3u);
  EXPECT_EQ(threads_from_environment("0", "5", 8), 8u);  // 0 means one per hardware thread
  EXPECT_EQ(threads_from_environment("x", "5", 8), 5u);  // not a number: the second variable decides
  EXPECT_EQ(threads_from_environment("", "0", 8), 8u);
  EXPECT_EQ(threads_from_environment("-2", nullptr, 8), 8u);
  EXPECT_EQ(threads_from_environment(nullptr, nullptr, 0), 1u);
  EXPECT_GE(num_threads(), 1u);
}

TEST(Pool, EveryItemRunsOnceInBothTwins) {
  for (std::size_t grain : {1u, 7u, 1000u}) {
    std::vector<std::atomic<int>> hits(5000);
    parallel_for(hits.size(), grain, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) hits[i]++;
    });
    serial_for(hits.size(), grain, [&](std::size_t b, std::size_t e) {
      EXPECT_LE(e - b, grain);
      for (std::size_t i = b; i < e; ++i) hits[i]++;
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 2);
  }
}

TEST(Pool, ExceptionReachesTheCaller) {
  EXPECT_THROW(parallel_for(100, 1,
                            [](std::size_t b, std::size_t) {
                              if (b == 42) throw std::runtime_error("boom");
                            }),
               std::runtime_error);
}

}  // namespace
}  // namespace vb::pool
