#include "index/probe_census.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "kernels/digit.h"
#include "kernels/digit_column.h"
#include "pool/pool.h"

namespace vb::index {

namespace {

using kernels::bucket_position;
using kernels::digit_of;
using kernels::DigitColumn;
using kernels::DigitColumnKernel;

// Queries per task of the pool.
constexpr std::size_t kQueriesPerPiece = 16;
// Bits of a key sorted per pass: 2048 counters stay in the first-level cache.
constexpr unsigned kRadixBits = 11;

// A query's digits and the order its probes flip them in.
struct QueryDigits {
  std::vector<std::int64_t> codes;
  std::vector<std::int64_t> probed;      // the code a digit takes when probed
  std::vector<std::uint32_t> order;      // digits, nearest boundary first
  std::vector<std::uint32_t> position;   // of each digit in `order`
  std::vector<double> margin;

  explicit QueryDigits(std::size_t k)
      : codes(k), probed(k), order(k), position(k), margin(k) {}

  void read(const double* row, const DigitDraw& draw) {
    const double buckets = static_cast<double>(draw.b);
    for (std::size_t j = 0; j < draw.k_max; ++j) {
      const double v = bucket_position(row[draw.s[j]], draw.u[j], buckets);
      const std::int64_t c = digit_of(v, draw.b - 1);
      const double frac = std::clamp(v - static_cast<double>(c), 0.0, 1.0);
      codes[j] = c;
      const std::int64_t moved = (c + (frac >= 0.5 ? 1 : -1) + draw.b) % draw.b;
      probed[j] = moved;
      margin[j] = std::min(frac, 1.0 - frac);
    }
    // Insertion by margin, after the equal ones: the lower digit stays first
    // on equal margins. Keys have few digits, so this beats a general sort.
    for (std::size_t j = 0; j < order.size(); ++j) {
      std::size_t at = j;
      for (; at > 0 && margin[order[at - 1]] > margin[j]; --at) order[at] = order[at - 1];
      order[at] = static_cast<std::uint32_t>(j);
    }
    for (std::size_t p = 0; p < order.size(); ++p) position[order[p]] = static_cast<std::uint32_t>(p);
  }
};

// Sorts non-negative keys ascending by least-significant-digit radix passes,
// as many as the largest key has digits of kRadixBits: a few linear passes over
// a sample of thousands of keys, where a comparison sort would take most of a
// census table's time.
void radix_sort(Buffer<std::int64_t>& keys) {
  std::uint64_t largest = 0;
  for (const std::int64_t key : keys) largest = std::max(largest, static_cast<std::uint64_t>(key));
  const auto width = static_cast<unsigned>(std::bit_width(largest));
  constexpr std::uint64_t kMask = (std::uint64_t{1} << kRadixBits) - 1;
  Buffer<std::int64_t> spare(keys.size());
  std::vector<std::size_t> start(kMask + 2);
  for (unsigned shift = 0; shift < width; shift += kRadixBits) {
    std::fill(start.begin(), start.end(), 0);
    for (const std::int64_t key : keys) ++start[((static_cast<std::uint64_t>(key) >> shift) & kMask) + 1];
    for (std::size_t v = 0; v <= kMask; ++v) start[v + 1] += start[v];
    for (const std::int64_t key : keys) spare[start[(static_cast<std::uint64_t>(key) >> shift) & kMask]++] = key;
    std::swap(keys, spare);
  }
}

void check_draw(const DigitDraw& draw, std::size_t d) {
  VB_CHECK(draw.b >= 2, "a census needs at least two buckets a digit");
  for (std::size_t j = 0; j < draw.k_max; ++j) {
    VB_CHECK(draw.s[j] >= 0 && static_cast<std::size_t>(draw.s[j]) < d, "a digit reads a column beyond the rows");
  }
}

}  // namespace

void lower_places(const double* queries, std::size_t q, const double* neighbours, std::size_t per_query,
                  std::size_t d, const DigitDraw* draws, std::size_t tables, std::int64_t* places,
                  const std::int64_t* settled) {
  if (tables == 0) return;
  for (std::size_t t = 0; t < tables; ++t) {
    check_draw(draws[t], d);
    VB_CHECK(draws[t].k_max == draws[0].k_max && draws[t].b == draws[0].b,
             "the tables of one census call share their digit count and base");
  }
  const std::size_t k_max = draws[0].k_max;
  const DigitColumnKernel kernel = kernels::digit_column_kernel(kernels::hash_level_for(draws[0].b));
  // Pieces of whole queries write disjoint rows of `places`, each piece
  // taking the tables in turn: a row sees them in the same order as table
  // by table, at one start of the pool's loop for all of them.
  pool::parallel_for(q, kQueriesPerPiece, [&](std::size_t q0, std::size_t q1) {
    QueryDigits query(k_max);
    // The digits of a few queries' neighbours, digit-major: a digit a column
    // at a time by the hashing kernel, which costs less than hashing each
    // neighbour's digits one by one up to the second that differs, and small
    // enough to stay in the first-level cache while they are compared.
    const std::size_t most_rows = kQueriesPerPiece * per_query;
    std::vector<std::int64_t> codes(k_max * most_rows);
    std::vector<double> column(most_rows);
    std::vector<std::size_t> open(most_rows);
    for (std::size_t first_query = q0; first_query < q1; first_query += kQueriesPerPiece) {
      const std::size_t last_query = std::min(q1, first_query + kQueriesPerPiece);
      const std::size_t first_row = first_query * per_query;
      for (std::size_t t = 0; t < tables; ++t) {
        const DigitDraw& draw = draws[t];
        // A neighbour at place 0 for every key length (its query's own cell
        // in some table already) cannot be lowered, nor one the caller counts
        // as found already, so it is not hashed again: once most of a sample is
        // found, most of it is skipped.
        std::size_t n_open = 0;
        for (std::size_t row = first_row; row < last_query * per_query; ++row) {
          const std::int64_t* at = places + row * k_max;
          bool open_row = false;
          for (std::size_t k = 0; k < k_max && !open_row; ++k) open_row = at[k] > (settled ? settled[k] : 0);
          if (open_row) open[n_open++] = row;
        }
        std::fill(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(k_max * n_open), 0);
        for (std::size_t j = 0; j < k_max; ++j) {
          const auto column_of_digit = static_cast<std::size_t>(draw.s[j]);
          for (std::size_t o = 0; o < n_open; ++o) column[o] = neighbours[open[o] * d + column_of_digit];
          kernel(column.data(), n_open, DigitColumn{draw.u[j], static_cast<double>(draw.b), draw.b - 1, 1},
                 codes.data() + j * n_open);
        }
        std::size_t query_read = q;  // none yet
        for (std::size_t o = 0; o < n_open; ++o) {
          const std::size_t row = open[o];
          if (row / per_query != query_read) {
            query_read = row / per_query;
            query.read(queries + query_read * d, draw);
          }
          auto code = [&](std::size_t j) { return codes[j * n_open + o]; };
          // A neighbour is in the query's cell of k digits while none of them
          // differs, and in one probe while exactly one does, by the probe's
          // step: the digits past the second that differs do not matter.
          std::size_t first = 0;
          while (first < k_max && code(first) == query.codes[first]) ++first;
          std::size_t second = first + 1;
          while (second < k_max && code(second) == query.codes[second]) ++second;
          const bool probed = first < k_max && code(first) == query.probed[first];
          std::int64_t* out = places + row * k_max;
          // Keys of up to `first` digits hold it in the query's own cell.
          std::fill(out, out + std::min(first, k_max), 0);
          if (!probed) continue;  // keys of more digits miss it: nothing lowers
          // Keys of up to `second` digits find it in the probe of digit
          // `first`, after the probes of the digits before it in probe order;
          // keys of more digits miss it.
          const std::uint32_t rank = query.position[first];
          std::int64_t earlier = 0;  // digits below k probed before `first`
          for (std::size_t k = 1; k <= first; ++k) earlier += query.position[k - 1] < rank ? 1 : 0;
          for (std::size_t k = first + 1; k <= std::min(second, k_max); ++k) {
            earlier += query.position[k - 1] < rank ? 1 : 0;
            out[k - 1] = std::min(out[k - 1], 1 + earlier);
          }
        }
      }
    }
  });
}

void add_cell_counts(const double* queries, std::size_t q, const double* others, std::size_t m, std::size_t d,
                     const DigitDraw& draw, std::int64_t* counts) {
  check_draw(draw, d);
  const std::size_t k_max = draw.k_max;
  // Keys with the first digit most significant: the cells of k digits are
  // then ranges of one sorted list, for every k.
  std::vector<std::int64_t> weight(k_max);
  std::int64_t w = 1;
  for (std::size_t j = k_max; j-- > 0;) {
    weight[j] = w;
    if (j > 0) w *= draw.b;
  }
  // Every digit of every row counts here, so they are taken a column at a
  // time by the hashing kernel.
  Buffer<std::int64_t> sorted(m, 0);
  Buffer<double> column(m);
  const DigitColumnKernel kernel = kernels::digit_column_kernel(kernels::hash_level_for(draw.b));
  for (std::size_t j = 0; j < k_max; ++j) {
    for (std::size_t i = 0; i < m; ++i) column[i] = others[i * d + static_cast<std::size_t>(draw.s[j])];
    kernel(column.data(), m, DigitColumn{draw.u[j], static_cast<double>(draw.b), draw.b - 1, weight[j]},
           sorted.data());
  }
  radix_sort(sorted);
  // The points of a cell of k digits lie within those of the cell of its
  // first k - 1, so each looked-up cell is found by narrowing the range of the
  // one before it: the own cell of k - 1 digits for a probe of digit k - 1.
  using Range = std::pair<std::size_t, std::size_t>;
  auto narrow = [&](Range range, std::int64_t low, std::int64_t width) -> Range {
    const auto* begin = sorted.data() + range.first;
    const auto* end = sorted.data() + range.second;
    const auto* from = std::lower_bound(begin, end, low);
    const auto* to = std::lower_bound(from, end, low + width);
    return {static_cast<std::size_t>(from - sorted.data()), static_cast<std::size_t>(to - sorted.data())};
  };
  // Pieces of whole queries count into rows of their own, summed after in
  // piece order: integer sums, so the result does not depend on the threads.
  const std::size_t cells = k_max * (k_max + 1);
  const std::size_t pieces = (q + kQueriesPerPiece - 1) / kQueriesPerPiece;
  std::vector<std::int64_t> piece_counts(pieces * cells, 0);
  pool::parallel_for(pieces, 1, [&](std::size_t p0, std::size_t p1) {
    QueryDigits query(k_max);
    std::vector<Range> probe(k_max);
    for (std::size_t i = p0 * kQueriesPerPiece; i < std::min(q, p1 * kQueriesPerPiece); ++i) {
      std::int64_t* piece = piece_counts.data() + (i / kQueriesPerPiece) * cells;
      query.read(queries + i * d, draw);
      std::int64_t base = 0;
      Range own{0, m};
      for (std::size_t k = 1; k <= k_max; ++k) {
        const std::size_t j_new = k - 1;
        const std::int64_t width = weight[j_new];
        probe[j_new] = narrow(own, base + query.probed[j_new] * width, width);
        base += query.codes[j_new] * width;
        own = narrow(own, base, width);
        std::int64_t* out = piece + j_new * (k_max + 1);
        out[0] += static_cast<std::int64_t>(own.second - own.first);
        std::size_t p = 1;
        for (const std::uint32_t j : query.order) {
          if (j > j_new) continue;
          if (j < j_new) probe[j] = narrow(probe[j], base + (query.probed[j] - query.codes[j]) * weight[j], width);
          out[p++] += static_cast<std::int64_t>(probe[j].second - probe[j].first);
        }
      }
    }
  });
  for (std::size_t p = 0; p < pieces; ++p) {
    for (std::size_t e = 0; e < cells; ++e) counts[e] += piece_counts[p * cells + e];
  }
}

}  // namespace vb::index
