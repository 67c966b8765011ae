// Micro-benchmarks of the exact query stage: the toroidal L1 kernels over a
// scattered candidate list (what refinement sees) and a sequential one, and the
// top-k collector and the blocked path's tile kernel, on the query workload's
// shape (d = 16).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/buffer.h"
#include "index/build.h"
#include "index/index.h"
#include "kernels/code_bound.h"
#include "kernels/cpu_level.h"
#include "kernels/row_distance.h"
#include "kernels/tile_distance.h"
#include "pool/pool.h"
#include "query/blocked.h"
#include "query/knn.h"
#include "query/query_codes.h"
#include "query/topk.h"

namespace {

constexpr std::size_t kD = 16;

vb::Buffer<float> make_points(std::size_t n) {
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<float> unit(0, 1);
  vb::Buffer<float> points(n * kD);
  for (auto& v : points) v = unit(rng);
  return points;
}

// Kernel over lists of 256 candidate ids drawn from n points, a fresh list
// each time (64 Ki ids in all), so that rows of a large point array really
// come from memory; range(1) != 0 sorts each list (a streaming scan).
void BM_DistanceList(benchmark::State& state, const vb::kernels::DistanceKernel* kernel) {
  constexpr std::size_t kList = 256, kLists = 256;
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto points = make_points(n);
  std::mt19937_64 rng(3);
  std::vector<std::uint64_t> ids(kList * kLists);
  for (auto& id : ids) id = rng() % n;
  if (state.range(1) != 0) {
    for (std::size_t i = 0; i < kLists; ++i) std::sort(ids.begin() + i * kList, ids.begin() + (i + 1) * kList);
  }
  std::vector<float> q(kD, 0.25f), out(kList);
  std::size_t list = 0;
  for (auto _ : state) {
    kernel->list(q.data(), points.data(), kD, kD, ids.data() + list * kList, kList, nullptr, out.data());
    list = (list + 1) % kLists;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kList));
}
BENCHMARK_CAPTURE(BM_DistanceList, scalar, &vb::kernels::scalar_distance_kernel())
    ->ArgsProduct({{1 << 10, 1 << 16, 1 << 20, 1 << 22}, {0, 1}});
BENCHMARK_CAPTURE(BM_DistanceList, best, &vb::kernels::distance_kernel(vb::kernels::CpuLevel::kPortable))
    ->ArgsProduct({{1 << 10, 1 << 16, 1 << 20, 1 << 22}, {0, 1}});

// The blocked path's tile kernel: a group of query rows against a tile of
// candidates in panels, both in cache, at each level the CPU has
// (range(0) = d, range(1) = level); the row bound admits nothing, as for
// a full row. Items are distance evaluations: the peak the blocked path can
// reach when loads and collectors cost nothing.
void BM_TileKernel(benchmark::State& state) {
  const auto d = static_cast<std::size_t>(state.range(0));
  const auto level = static_cast<vb::kernels::CpuLevel>(state.range(1));
  if (level > vb::kernels::supported_cpu_level()) {
    state.SkipWithError("level not supported here");
    return;
  }
  constexpr std::size_t kRows = vb::query::kGroupRows, kPanels = vb::query::kTileRows / vb::kernels::kPanelWidth;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<float> unit(0, 1);
  std::vector<float> queries(kRows * d), store(kPanels * vb::kernels::kPanelWidth * d + 16), dist(kRows * kPanels * 16);
  float* panels = store.data() + ((64 - reinterpret_cast<std::uintptr_t>(store.data()) % 64) % 64) / sizeof(float);
  for (auto& v : queries) v = unit(rng);
  for (std::size_t i = 0; i < kPanels * vb::kernels::kPanelWidth * d; ++i) panels[i] = unit(rng);
  std::vector<const float*> rows(kRows);
  for (std::size_t r = 0; r < kRows; ++r) rows[r] = queries.data() + r * d;
  std::vector<std::uint32_t> bound(kRows, 0);
  std::vector<std::uint16_t> admit(kRows * kPanels);
  const auto kernel = vb::kernels::tile_kernel(level, d);
  const vb::kernels::TileJob job{rows.data(), kRows, d, panels, kPanels, bound.data(), dist.data(), admit.data()};
  for (auto _ : state) {
    kernel(job);
    benchmark::DoNotOptimize(dist.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows * kPanels * vb::kernels::kPanelWidth));
  state.SetLabel(vb::kernels::cpu_level_name(level));
}
BENCHMARK(BM_TileKernel)->ArgsProduct({{3, 8, 16, 24}, {0, 1, 2}});

// The code-bound kernel: one query row's codes against a full code tile in
// cache, at each level the CPU has (range(0) = d, range(1) = level), the
// limit letting nothing through, as for a full row far from the tile. Items
// are candidate bounds: the peak of the filter before any float distance.
void BM_CodeBound(benchmark::State& state) {
  const auto d = static_cast<std::size_t>(state.range(0));
  const auto level = static_cast<vb::kernels::CpuLevel>(state.range(1));
  if (level > vb::kernels::supported_cpu_level()) {
    state.SkipWithError("level not supported here");
    return;
  }
  constexpr std::size_t kLanes = vb::query::kCodeTileRows;
  const std::size_t groups = vb::kernels::code_groups(d);
  std::mt19937_64 rng(6);
  std::vector<std::uint8_t> tile(groups * kLanes * vb::kernels::kCodeGroup), query(groups * vb::kernels::kCodeGroup);
  for (auto& c : tile) c = static_cast<std::uint8_t>(rng());
  for (auto& c : query) c = static_cast<std::uint8_t>(rng());
  std::vector<std::uint32_t> survivors(kLanes / 32);
  const auto kernel = vb::kernels::code_bound_kernel(level, vb::Metric::kL1, groups);
  const vb::kernels::CodeBoundJob job{query.data(), tile.data(), groups, kLanes, kLanes, -1, survivors.data()};
  for (auto _ : state) {
    kernel(job);
    benchmark::DoNotOptimize(survivors.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kLanes));
  state.SetLabel(vb::kernels::cpu_level_name(level));
}
BENCHMARK(BM_CodeBound)->ArgsProduct({{3, 8, 16, 24}, {0, 1, 2}});

// The same filter on rows of codes read in place, in key order, at each level
// that has a kernel for rows of d codes (range(0) = d, range(1) = level,
// range(2) = rows: a full tile, or a run of a bucket's typical length that
// ends inside a word).
void BM_CodeBoundRows(benchmark::State& state) {
  const auto d = static_cast<std::size_t>(state.range(0));
  const auto level = static_cast<vb::kernels::CpuLevel>(state.range(1));
  const auto count = static_cast<std::size_t>(state.range(2));
  const auto kernel = level > vb::kernels::supported_cpu_level()
                          ? nullptr
                          : vb::kernels::code_bound_rows_kernel(level, vb::Metric::kL1, d, false);
  if (kernel == nullptr) {
    state.SkipWithError("no kernel for these rows at this level here");
    return;
  }
  std::mt19937_64 rng(6);
  std::vector<std::uint8_t> rows(count * d), query(vb::kernels::code_groups(d) * vb::kernels::kCodeGroup);
  for (auto& c : rows) c = static_cast<std::uint8_t>(rng());
  for (auto& c : query) c = static_cast<std::uint8_t>(rng());
  std::vector<std::uint32_t> survivors((count + 31) / 32);
  const vb::kernels::CodeBoundJob job{query.data(), rows.data(), vb::kernels::code_groups(d), 0, count, -1,
                                      survivors.data()};
  for (auto _ : state) {
    kernel(job);
    benchmark::DoNotOptimize(survivors.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
  state.SetLabel(vb::kernels::cpu_level_name(level));
}
BENCHMARK(BM_CodeBoundRows)->ArgsProduct({{8, 16}, {0, 1, 2}, {vb::query::kCodeTileRows, 45, 64}});

// The probe keys of one stretch of query rows (d = 8, b = 4) as the blocked
// search makes them, range(0) = k digits, range(1) = probes: range(2) = 0 row
// by row through probe_keys, each row's codes and positions copied out of the
// stretch first; 1 + level the whole stretch at once with that level's
// nearest-digit kernel. Items are rows.
void BM_ProbeKeys(benchmark::State& state) {
  constexpr std::size_t kDims = 8;
  const auto k = static_cast<std::size_t>(state.range(0));
  const auto probes = static_cast<std::size_t>(state.range(1));
  const auto mode = state.range(2);
  const auto level = static_cast<vb::kernels::CpuLevel>(std::max<std::int64_t>(mode - 1, 0));
  if (level > vb::kernels::supported_cpu_level()) {
    state.SkipWithError("level not supported here");
    return;
  }
  vb::kernels::cap_cpu_level(level);
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<std::int64_t> columns(k);
  std::vector<double> shifts(k);
  for (std::size_t j = 0; j < k; ++j) {
    columns[j] = static_cast<std::int64_t>(rng() % kDims);
    shifts[j] = unit(rng);
  }
  const vb::index::Index index(4, k, 1, probes, columns, shifts, 1024);
  vb::kernels::cap_cpu_level(vb::kernels::CpuLevel::kAvx512);
  constexpr std::size_t kRows = vb::query::kHashStretch;
  std::vector<double> rows(kRows * kDims);
  for (auto& v : rows) v = unit(rng);
  vb::query::BlockCodes block;
  block.set_rows(rows.data(), kRows, kDims);
  vb::query::block_codes(index, block, kDims, 0, 0, kRows);
  const std::size_t n_probe = vb::query::probe_count(index);
  std::vector<std::int64_t> codes(k), keys(n_probe * kRows), row_keys(k);
  std::vector<double> frac(k), margin(k);
  for (auto _ : state) {
    if (mode == 0) {
      for (std::size_t i = 0; i < kRows; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
          codes[j] = block.codes[j * kRows + i];
          frac[j] = block.frac[j * kRows + i];
        }
        vb::query::probe_keys(index, block.base[i], codes.data(), frac.data(), margin.data(), row_keys.data());
        for (std::size_t p = 0; p < n_probe; ++p) keys[p * kRows + i] = row_keys[p];
      }
      benchmark::DoNotOptimize(keys.data());
    } else {
      vb::query::block_probe_keys(index, block, kRows);
      benchmark::DoNotOptimize(block.probes.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
  state.SetLabel(mode == 0 ? "row by row" : vb::kernels::cpu_level_name(level));
}
BENCHMARK(BM_ProbeKeys)->ArgsProduct({{6, 10}, {1, 2, 4}, {0, 1, 2, 3}});

// Offers of 4096 random entries to a collector of k slots.
void BM_HeapOffer(benchmark::State& state) {
  const auto k = static_cast<std::size_t>(state.range(0));
  std::mt19937_64 rng(4);
  std::vector<vb::query::Entry> entries(4096);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i] = {static_cast<std::uint32_t>(rng() >> 34), static_cast<std::int64_t>(i)};
  }
  vb::query::TopK topk(k);
  for (auto _ : state) {
    topk.len = 0;
    for (const auto& e : entries) {
      if (topk.admits(e)) vb::query::heap_offer(topk.heap.data(), topk.cap(), topk.len, e.dist_bits, e.id);
    }
    benchmark::DoNotOptimize(topk.heap.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * entries.size()));
}

BENCHMARK(BM_HeapOffer)->Arg(10)->Arg(100);

}  // namespace
// The per-query path end to end on one thread: n uniform points (d = 16,
// l = 8, b = 4, k = 9 digits, 2 probes), 1000 queries, 10 neighbours.
void BM_KnnPerQuery(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kL = 8, kDigits = 9, kQueries = 1000, kNeighbours = 10;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<std::int64_t> s(kL * kDigits);
  std::vector<double> u(kL * kDigits);
  for (auto& v : s) v = static_cast<std::int64_t>(rng() % kD);
  for (auto& v : u) v = unit(rng);
  vb::index::Index index(4, kDigits, kL, 2, s, u, 1);
  vb::Buffer<double> points(n * kD);
  for (auto& v : points) v = unit(rng);
  vb::index::build(index, std::move(points), n, kD, n);
  std::vector<double> queries(kQueries * kD);
  for (auto& v : queries) v = unit(rng);
  std::vector<std::int64_t> ids(kQueries * kNeighbours);
  std::vector<double> dists(ids.size());
  vb::pool::ScopedSerial serial;
  vb::query::Counters counters;
  const vb::query::KnnRequest request{{queries.data(), kQueries, kD, kNeighbours, nullptr}, ids.data(), dists.data()};
  for (auto _ : state) {
    vb::query::knn_per_query(index, counters, request);
    benchmark::DoNotOptimize(ids.data());
  }
  const double pairs = static_cast<double>(counters.pairs.load());
  state.counters["cands/query"] = pairs / static_cast<double>(counters.queries.load());
  state.counters["gather_ns/cand"] = static_cast<double>(counters.gather_ns.load()) / pairs;
  state.counters["refine_ns/eval"] = static_cast<double>(counters.refine_ns.load()) / pairs;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kQueries));
}
BENCHMARK(BM_KnnPerQuery)->Arg(200000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
