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
// holds after every offer, and a small collector's slots stay sorted worst
// first (caps on both sides of kSortedCollector). Every other round starts
// from a collector filled directly and put in order at once.
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
    if (round % 2 == 1) {
      for (const Entry& e : offers) {
        if (topk.len == cap) break;
        if (!holds(topk.heap.data(), topk.len, e.id)) topk.heap[topk.len++] = e;
      }
      order_collector(topk.heap.data(), cap, topk.len);
    }
    for (const Entry& e : offers) {
      heap_offer(topk.heap.data(), topk.cap(), topk.len, e.dist_bits, e.id);
      for (std::size_t i = 1; i < topk.len; ++i) ASSERT_FALSE(nearer(topk.heap[(i - 1) / 2], topk.heap[i]));
      if (cap <= kSortedCollector) {
        for (std::size_t i = 1; i < topk.len; ++i) ASSERT_TRUE(nearer(topk.heap[i], topk.heap[i - 1])) << "cap " << cap;
      }
    }
    std::vector<Entry> want = offers;
    std::sort(want.begin(), want.end(), nearer);
    want.erase(std::unique(want.begin(), want.end(), [](const Entry& a, const Entry& b) { return a.id == b.id; }),
               want.end());
    want.resize(std::min(want.size(), cap));
    ASSERT_TRUE(same(kept(topk), want)) << "cap " << cap << " round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(TopK, HeapOfferRandom, ::testing::Values(1, 2, 3, 10, kSortedCollector, kSortedCollector + 1, 100));

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

// A row is the entries ascending by (distance, id), as a sort of them orders
// them, then padding; for L2 each distance is the root of the summed square.
// Rows placed by rank (up to kPlacedRow) and sorted ones, entries in heap
// order and in no order, ties in distance, an empty row, a full one.
TEST(TopK, WrittenRowsAreAscendingThenPadded) {
  std::mt19937_64 rng(11);
  for (const std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{7}, kPlacedRow, kPlacedRow + 1,
                                std::size_t{100}}) {
    for (const Metric metric : {Metric::kL1, Metric::kL2}) {
      std::vector<Entry> slots;
      for (std::size_t i = 0; i < len; ++i) {
        // Few distinct distances: many ties broken by id.
        const float distance = static_cast<float>(rng() % 6) * 0.25f;
        slots.push_back({to_bits(distance), static_cast<std::int64_t>(rng() % 1000 + 1000 * i)});
      }
      if (len % 2 == 1) std::make_heap(slots.begin(), slots.end(), nearer);
      std::vector<Entry> want = slots;
      std::sort(want.begin(), want.end(), nearer);
      const std::size_t width = len + 3;
      std::vector<std::int64_t> ids(width, 77);
      std::vector<double> dists(width, -5.0);
      write_row(slots.data(), len, width, ids.data(), dists.data(), metric);
      for (std::size_t j = 0; j < len; ++j) {
        EXPECT_EQ(ids[j], want[j].id) << "len " << len << " place " << j;
        const float summed = from_bits(want[j].dist_bits);
        EXPECT_EQ(dists[j], static_cast<double>(metric == Metric::kL2 ? std::sqrt(summed) : summed)) << "len " << len;
      }
      for (std::size_t j = len; j < width; ++j) {
        EXPECT_EQ(ids[j], -1);
        EXPECT_EQ(dists[j], std::numeric_limits<double>::infinity());
      }
    }
  }
  // A collector never holds one entry twice; if it did, both would still be
  // written, each place once.
  std::vector<Entry> twice = {{to_bits(2.0f), 5}, {to_bits(1.0f), 3}, {to_bits(2.0f), 5}};
  std::vector<std::int64_t> ids(3, 0);
  std::vector<double> dists(3, 0.0);
  write_row(twice.data(), 3, 3, ids.data(), dists.data());
  EXPECT_EQ(ids, (std::vector<std::int64_t>{3, 5, 5}));
  EXPECT_EQ(dists, (std::vector<double>{1.0, 2.0, 2.0}));
}

}  // namespace
}  // namespace vb::query
