#include "query/topk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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

TEST(TopK, AnIdAlreadyKeptIsIgnoredEvenWithAnotherDistance) {
  TopK topk(2);
  heap_offer(topk.heap.data(), 2, topk.len, 50, 7);
  heap_offer(topk.heap.data(), 2, topk.len, 10, 7);  // not full
  heap_offer(topk.heap.data(), 2, topk.len, 60, 8);
  heap_offer(topk.heap.data(), 2, topk.len, 5, 7);  // full, would pass the root test
  EXPECT_TRUE(same(kept(topk), {{50, 7}, {60, 8}}));
}

TEST(TopK, TiesAtTheRootAreDecidedByTheId) {
  TopK topk(2);
  heap_offer(topk.heap.data(), 2, topk.len, 10, 1);
  heap_offer(topk.heap.data(), 2, topk.len, 20, 5);
  EXPECT_FALSE(topk.admits({20, 6}));
  heap_offer(topk.heap.data(), 2, topk.len, 20, 6);  // same distance, larger id: rejected
  EXPECT_TRUE(same(kept(topk), {{10, 1}, {20, 5}}));
  EXPECT_TRUE(topk.admits({20, 4}));
  heap_offer(topk.heap.data(), 2, topk.len, 20, 4);  // smaller id: replaces the root
  EXPECT_TRUE(same(kept(topk), {{10, 1}, {20, 4}}));
}

TEST(TopK, NoSlotsKeepNothing) {
  TopK topk(0);
  std::size_t len = 0;
  heap_offer(topk.heap.data(), 0, len, 1, 1);
  EXPECT_EQ(len, 0u);
  EXPECT_FALSE(topk.admits({0, 0}));
}

TEST(WriteRow, SortsThenPads) {
  const float d1 = 0.25f, d0 = 0.0f;
  std::vector<Entry> slots = {{to_bits(d1), 9}, {to_bits(d0), 4}, {to_bits(d1), 2}};
  std::vector<std::int64_t> ids(5, 77);
  std::vector<double> dists(5, 77.0);
  write_row(slots.data(), slots.size(), 5, ids.data(), dists.data());
  EXPECT_EQ(ids, (std::vector<std::int64_t>{4, 2, 9, -1, -1}));
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(dists, (std::vector<double>{0.0, 0.25, 0.25, inf, inf}));
}

}  // namespace
}  // namespace vb::query
