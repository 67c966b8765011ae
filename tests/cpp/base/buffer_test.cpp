#include "base/buffer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace vb {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

class KeptLargeBlocks : public ::testing::Test {
 protected:
  // Other tests of this binary leave blocks kept: each case starts from none.
  void SetUp() override { release_kept_large(); }
  void TearDown() override { release_kept_large(); }
};

TEST_F(KeptLargeBlocks, FreedBlockServesTheNextOfItsRoundedSizeOnly) {
  void* first = allocate_large(9 * kMiB);
  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(first) % (2 * kMiB), 0u);
  std::memset(first, 7, 9 * kMiB);
  free_large(first, 9 * kMiB);
  EXPECT_EQ(kept_large_bytes(), 10 * kMiB);

  void* other_size = allocate_large(12 * kMiB);
  EXPECT_NE(other_size, first);
  EXPECT_EQ(kept_large_bytes(), 10 * kMiB);

  // 10 MiB rounds to the same 2 MiB multiple as 9 MiB: the kept block, now in use again.
  void* again = allocate_large(10 * kMiB);
  EXPECT_EQ(again, first);
  EXPECT_EQ(kept_large_bytes(), 0u);
  std::memset(again, 1, 10 * kMiB);  // all of it writable

  free_large(other_size, 12 * kMiB);
  free_large(again, 10 * kMiB);
  EXPECT_EQ(kept_large_bytes(), 22 * kMiB);
  release_kept_large();
  EXPECT_EQ(kept_large_bytes(), 0u);
}

TEST_F(KeptLargeBlocks, KeptBytesStayWithinTheLimitOldestReleasedFirst) {
  // Address space only: none of these pages is touched.
  const std::size_t third = kept_large_limit() / 3 + 2 * kMiB;
  void* oldest = allocate_large(third);
  void* middle = allocate_large(third);
  void* newest = allocate_large(third);
  void* too_big = allocate_large(kept_large_limit() + 2 * kMiB);
  free_large(oldest, third);
  free_large(middle, third);
  free_large(newest, third);
  EXPECT_EQ(kept_large_bytes(), 2 * third);
  free_large(too_big, kept_large_limit() + 2 * kMiB);
  EXPECT_EQ(kept_large_bytes(), 2 * third);
  // Kept are the two newest, handed out newest first; the oldest went back to the system.
  void* first = allocate_large(third);
  void* second = allocate_large(third);
  EXPECT_EQ(first, newest);
  EXPECT_EQ(second, middle);
  EXPECT_EQ(kept_large_bytes(), 0u);
  free_large(first, third);
  free_large(second, third);
}

// The process's address space in bytes, as the system counts it against RLIMIT_AS.
std::size_t address_space_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

TEST_F(KeptLargeBlocks, KeptBlocksAreReleasedWhenANewBlockDoesNotFit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' own mappings need address space of their own under the limit.
  GTEST_SKIP() << "address-space limit under a sanitizer";
#endif
  const std::size_t used = address_space_bytes();
  if (used == 0) GTEST_SKIP() << "no /proc/self/status";
  free_large(allocate_large(1024 * kMiB), 1024 * kMiB);
  ASSERT_EQ(kept_large_bytes(), 1024 * kMiB);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  // Room for the kept block plus half of it: a block of another size fits only
  // once the kept one has gone back to the system.
  rlimit tight = old;
  tight.rlim_cur = used + 1536 * kMiB;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  void* block = nullptr;
  try {
    block = allocate_large(768 * kMiB);
  } catch (const std::bad_alloc&) {
  }
  ASSERT_EQ(setrlimit(RLIMIT_AS, &old), 0);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(kept_large_bytes(), 0u);
  free_large(block, 768 * kMiB);
}

TEST_F(KeptLargeBlocks, BufferOfTheSameSizeReusesAFreedBuffersMemory) {
  const std::size_t n = kLargeBlockBytes / sizeof(double) + 1;
  const double* first_data = nullptr;
  {
    Buffer<double> first(n);
    first_data = first.data();
    first.back() = 1.5;
  }
  Buffer<double> second(n);
  EXPECT_EQ(second.data(), first_data);
  Buffer<double> third(n);
  EXPECT_NE(third.data(), first_data);
  // Small buffers never enter the kept blocks.
  { Buffer<char> small(kLargeBlockBytes - 1); }
  EXPECT_EQ(kept_large_bytes(), 0u);
}

// Each thread marks the block it holds: a block handed to two threads at once
// shows another thread's mark. (Races on the kept list itself are the thread
// sanitizer's to find: this loop rarely hits them on two cores.)
TEST_F(KeptLargeBlocks, ThreadsNeverShareABlock) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::atomic<int> shared{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &shared] {
      for (int round = 0; round < kRounds; ++round) {
        auto* block = static_cast<volatile int*>(allocate_large(kLargeBlockBytes));
        block[0] = t;
        std::this_thread::yield();
        if (block[0] != t) shared.fetch_add(1);
        free_large(const_cast<int*>(block), kLargeBlockBytes);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared.load(), 0);
  EXPECT_LE(kept_large_bytes(), static_cast<std::size_t>(kThreads) * kLargeBlockBytes);
}

}  // namespace
}  // namespace vb
