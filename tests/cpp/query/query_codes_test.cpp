#include "query/query_codes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "index/errors.h"
#include "index/hash_keys.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Index;

// One table of k digits over 2 coordinates, no shifts: digit j reads coordinate s[j].
Index one_table(std::int64_t b, std::vector<std::int64_t> s, std::size_t probes) {
  const std::size_t k = s.size();
  return Index(b, k, 1, probes, std::move(s), std::vector<double>(k, 0.0), 1024);
}

std::vector<std::int64_t> probes_of(const Index& ix, std::vector<double> q) {
  std::vector<std::int64_t> codes(ix.k), out(ix.k);
  std::vector<double> frac(ix.k), margin(ix.k);
  const std::int64_t base = query_codes(ix, q.data(), q.size(), 0, codes.data(), frac.data());
  probe_keys(ix, base, codes.data(), frac.data(), margin.data(), out.data());
  out.resize(probe_count(ix));
  return out;
}

TEST(QueryCodes, QueryOnAStoredPointGetsItsKeyInEveryTable) {
  const testing::Built ix(5, 6, 4, 3, 200, 80, 11);
  const auto keys = index::compute_keys(ix, 0, ix.n_points);
  std::vector<std::int64_t> codes(ix.k);
  std::vector<double> frac(ix.k);
  for (std::size_t id = 0; id < ix.n_points; ++id) {
    for (std::size_t t = 0; t < ix.l; ++t) {
      const std::int64_t key = query_codes(ix, ix.points.data() + id * ix.d, ix.d, t, codes.data(), frac.data());
      ASSERT_EQ(key, keys[t * ix.n_points + id]) << "point " << id << " table " << t;
      for (std::size_t j = 0; j < ix.k; ++j) {
        ASSERT_GE(codes[j], 0);
        ASSERT_LT(codes[j], 5);
        ASSERT_TRUE(frac[j] >= 0.0 && frac[j] <= 1.0);
      }
    }
  }
}

struct CodeCase {
  double coord;
  double shift;
  std::int64_t code;
  double frac;
};

class DigitEdges : public ::testing::TestWithParam<CodeCase> {};

TEST_P(DigitEdges, CodeAndPosition) {
  const CodeCase c = GetParam();
  const Index ix(4, 1, 1, 0, {0}, {c.shift}, 1024);
  std::int64_t code = -1;
  double frac = -1;
  const double q[] = {c.coord};
  EXPECT_EQ(query_codes(ix, q, 1, 0, &code, &frac), c.code);
  EXPECT_EQ(code, c.code);
  if (std::isnan(c.frac)) {
    EXPECT_TRUE(std::isnan(frac));
  } else {
    EXPECT_DOUBLE_EQ(frac, c.frac);
  }
}

INSTANTIATE_TEST_SUITE_P(
    QueryCodes, DigitEdges,
    ::testing::Values(CodeCase{0.30, 0.0, 1, 0.2}, CodeCase{0.0, 0.0, 0, 0.0},
                      CodeCase{1.0, 0.0, 0, 0.0},            // wraps to 0: the formula, not b - 1
                      CodeCase{-1e-20, 0.0, 3, 1.0},         // 1 - 1e-20 rounds to 1: clamped to b - 1
                      CodeCase{0.75, 0.5, 1, 0.0},           // shifted round the circle
                      CodeCase{std::numeric_limits<double>::quiet_NaN(), 0.0, 0, std::nan("")}));

struct ProbeCase {
  std::int64_t b;
  std::vector<std::int64_t> s;
  std::size_t probes;
  std::vector<double> q;
  std::vector<std::int64_t> want;
};

class Probes : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probes, FlipTheDigitsNearestTheirBoundaryFirst) {
  const ProbeCase& c = GetParam();
  const Index ix = one_table(c.b, c.s, c.probes);
  EXPECT_EQ(probes_of(ix, c.q), c.want);
}

// Keys for b = 4 with digits (d0, d1): d0 + 4 * d1.
INSTANTIATE_TEST_SUITE_P(
    QueryCodes, Probes,
    ::testing::Values(
        // position 0.49 in bucket 1 of digit 0 (nearest boundary): one bucket down
        ProbeCase{4, {0, 1}, 1, {0.3725, 0.625}, {0 + 4 * 2}},
        // position exactly 0.5 goes up; the tie with digit 1 (also 0.5) keeps digit 0
        ProbeCase{4, {0, 1}, 2, {0.375, 0.625}, {2 + 4 * 2, 1 + 4 * 3}},
        // bucket 3 near its upper boundary probes bucket 0
        ProbeCase{4, {0, 1}, 1, {0.99, 0.625}, {0 + 4 * 2}},
        // bucket 0 near its lower boundary probes bucket 3
        ProbeCase{4, {0, 1}, 1, {0.01, 0.625}, {3 + 4 * 2}},
        // probes >= k: every digit once, nearest first (digit 1 at 0.04, digit 0 at 0.4)
        ProbeCase{4, {0, 1}, 5, {0.35, 0.26}, {1 + 4 * 0, 0 + 4 * 1}},
        ProbeCase{4, {0, 1}, 0, {0.35, 0.26}, {}},
        // b = 2: both directions reach the other bucket
        ProbeCase{2, {0}, 1, {0.1}, {1}}, ProbeCase{2, {0}, 1, {0.4}, {1}},
        // b = 1: every probe is the base key
        ProbeCase{1, {0, 1}, 2, {0.1, 0.7}, {0, 0}},
        // a NaN coordinate: its digit comes last, after every finite one
        ProbeCase{4, {0, 1}, 2, {std::nan(""), 0.3}, {0 + 4 * 0, 0 + 4 * 1 + 3}}));

TEST(QueryCodes, ColumnBeyondTheQueryIsAnInternalError) {
  const Index ix = one_table(4, {0, 2}, 1);
  std::vector<std::int64_t> codes(2);
  std::vector<double> frac(2);
  const double q[] = {0.1, 0.2};
  EXPECT_THROW(query_codes(ix, q, 2, 0, codes.data(), frac.data()), InternalError);
  const double wide[] = {0.1, 0.2, 0.3, 0.9};  // extra columns do not matter
  EXPECT_EQ(query_codes(ix, wide, 4, 0, codes.data(), frac.data()), 0 + 4 * 1);
}

}  // namespace
}  // namespace vb::query
