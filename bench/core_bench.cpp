// Micro-benchmarks of the index core: hashing and tier sorting on the build
// workload's shape (d = 16, l = 8, b = 4, k = 9).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench_workload.h"
#include "index/build.h"
#include "index/hash_keys.h"
#include "index/sort_tier.h"

namespace {

using vb::Buffer;
using vb::index::Index;

using vb::bench::kD;
using vb::bench::kK;
using vb::bench::kL;
using vb::bench::make_index;
using vb::bench::make_points;

void BM_ComputeKeys(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Index index = make_index();
  auto points = make_points(n);
  for (auto _ : state) benchmark::DoNotOptimize(vb::index::compute_keys(index, points.data(), kD, 0, n));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n * kL * kK));
}
BENCHMARK(BM_ComputeKeys)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SortTier(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Index index = make_index();
  auto points = make_points(n);
  auto keys = vb::index::compute_keys(index, points.data(), kD, 0, n);
  for (auto _ : state) benchmark::DoNotOptimize(vb::index::sort_tier(index, keys.data(), n, 0));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n * kL));
}
BENCHMARK(BM_SortTier)->Arg(100000)->Arg(900000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Build(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Index index = make_index();
  auto points = make_points(n);
  for (auto _ : state) {
    vb::Buffer<double> copy(points.begin(), points.end());
    vb::index::build(index, std::move(copy), n, kD, n * 9 / 10);
  }
}
BENCHMARK(BM_Build)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
