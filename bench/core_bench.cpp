// Micro-benchmarks of the index core: hashing and tier sorting on the build
// workload's shape (d = 16, l = 8, b = 4, k = 9).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "index/build.h"
#include "index/hash_keys.h"
#include "index/sort_tier.h"

namespace {

using vb::Buffer;
using vb::index::Index;

constexpr std::size_t kD = 16, kK = 9, kL = 8;

Index make_index() {
  std::mt19937_64 rng(1);
  std::vector<std::int64_t> s(kL * kK);
  std::vector<double> u(kL * kK);
  std::uniform_real_distribution<double> unit(0, 1);
  for (auto& v : s) v = static_cast<std::int64_t>(rng() % kD);
  for (auto& v : u) v = unit(rng);
  return Index(4, kK, kL, 2, s, u, 1024);
}

Buffer<double> make_points(std::size_t n) {
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> unit(0, 1);
  Buffer<double> points(n * kD);
  for (auto& v : points) v = unit(rng);
  return points;
}

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
