#include "query/topk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vb::query {
namespace {

std::vector<Entry> kept(const TopK& topk) {
  std::vector<Entry> out(topk.heap.begin(), topk.heap.begin() + static_cast<std::ptrdiff_t>(topk.len));
  std::sort(out.begin(), out.end(), nearer);
  return out;
}

bool same(const std::vector<Entry>& a, const std::vector<Entry>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const Entry& x, const Entry& y) { return x.dist_bits == y.dist_bits && x.id == y.id; });
}

class HeapOfferRandom : public ::testing::TestWithParam<std::size_t> {};

// Whatever the order of the offers, and with every id offered several times,
// the collector ends with the cap smallest distinct entries; the heap property
// holds after every offer.
TEST_P(HeapOfferRandom, KeepsTheSmallestDistinctEntries) {
  const std::size_t cap = GetParam();
  std::mt19937_64 rng(cap + 7);
  for (int round = 0; round < 20; ++round) {
    const std::size_t ids = 1 + rng() % 60;
    std::vector<Entry> offers;
    for (std::size_t i = 0; i < ids; ++i) {
      // Few distinct distances, so that ties on dist_bits are common; ids
      // distinct and scattered (ids 0, 17, 34, ... in a random order).
      const Entry e{static_cast<std::uint32_t>(rng() % 8), static_cast<std::int64_t>((i * 17 + round) % 1021)};
      for (int copy = 0; copy < 3; ++copy) offers.push_back(e);
    }
    std::shuffle(offers.begin(), offers.end(), rng);
    TopK topk(cap);
    for (const Entry& e : offers) {
      heap_offer(topk.heap.data(), topk.cap(), topk.len, e.dist_bits, e.id);
      for (std::size_t i = 1; i < topk.len; ++i) ASSERT_FALSE(nearer(topk.heap[(i - 1) / 2], topk.heap[i]));
    }
    std::vector<Entry> want = offers;
    std::sort(want.begin(), want.end(), nearer);
    want.erase(std::unique(want.begin(), want.end(), [](const Entry& a, const Entry& b) { return a.id == b.id; }),
               want.end());
    want.resize(std::min(want.size(), cap));
    ASSERT_TRUE(same(kept(topk), want)) << "cap " << cap << " round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(TopK, HeapOfferRandom, ::testing::Values(1, 2, 3, 10, 100));

TEST(TopK, DuplicatesTiesAndNoSlots) {
  TopK topk(2);
  auto offer = [&](std::uint32_t bits, std::int64_t id) { heap_offer(topk.heap.data(), 2, topk.len, bits, id); };
  offer(50, 7);
  offer(10, 7);  // already kept: ignored, even with another distance
  offer(60, 8);
  offer(5, 7);   // full, passes the root test, still a duplicate
  EXPECT_TRUE(same(kept(topk), {{50, 7}, {60, 8}}));
  EXPECT_FALSE(topk.admits({60, 9}));  // the root's distance, a larger id
  offer(60, 9);
  EXPECT_TRUE(topk.admits({60, 4}));   // the root's distance, a smaller id
  offer(60, 4);
  EXPECT_TRUE(same(kept(topk), {{50, 7}, {60, 4}}));

  TopK none(0);
  heap_offer(none.heap.data(), 0, none.len, 1, 1);
  EXPECT_EQ(none.len, 0u);
  EXPECT_FALSE(none.admits({0, 0}));
}

}  // namespace
}  // namespace vb::query
