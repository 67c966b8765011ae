// Micro-benchmarks of tier maintenance on the epoch workload (d = 16, l = 8,
// b = 4, k = 9): hashing the candidates alone, one update of candidates that
// moved by a small step, and one promotion.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "bench_workload.h"
#include "index/build.h"
#include "index/hash_keys.h"
#include "maintenance/promote.h"
#include "maintenance/refresh.h"

namespace {

using vb::Buffer;
using vb::index::Index;

using vb::bench::kD;
using vb::bench::kK;
using vb::bench::kL;
using vb::bench::make_index;
using vb::bench::make_points;
constexpr double kStep = 0.002;

// The candidates of `points` (rows n_static..) moved by up to kStep per coordinate, wrapped.
Buffer<double> moved(const Buffer<double>& points, std::size_t n_static, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> step(-kStep, kStep);
  Buffer<double> out(points.begin() + static_cast<std::ptrdiff_t>(n_static * kD), points.end());
  for (auto& v : out) {
    v += step(rng);
    v -= std::floor(v);
  }
  return out;
}

std::size_t n_static_of(const benchmark::State& state) { return static_cast<std::size_t>(state.range(0)); }
std::size_t n_cand_of(const benchmark::State& state) { return static_cast<std::size_t>(state.range(1)); }

void BM_HashCandidates(benchmark::State& state) {
  const std::size_t n_cand = n_cand_of(state);
  Index index = make_index();
  const auto coords = make_points(n_cand, 3);
  for (auto _ : state) benchmark::DoNotOptimize(vb::index::compute_keys(index, coords.data(), kD, 0, n_cand));
}

// Every iteration swaps the candidates between two positions a small step apart,
// so each update re-places the same share of keys.
void BM_Update(benchmark::State& state) {
  const std::size_t n_static = n_static_of(state), n_cand = n_cand_of(state), n = n_static + n_cand;
  Index index = make_index();
  const auto points = make_points(n, 2);
  const Buffer<double> here(points.begin() + static_cast<std::ptrdiff_t>(n_static * kD), points.end());
  const Buffer<double> there = moved(points, n_static, 4);
  vb::index::build(index, Buffer<double>(points), n, kD, n_static);
  const auto keys_here = index.cand_keys;
  vb::maintenance::update(index, there);
  std::size_t changed = 0;
  for (std::size_t i = 0; i < keys_here.size(); ++i) changed += keys_here[i] != index.cand_keys[i];
  bool flip = false;
  for (auto _ : state) {
    vb::maintenance::update(index, flip ? there : here);
    flip = !flip;
  }
  state.counters["changed_keys"] = static_cast<double>(changed) / static_cast<double>(keys_here.size());
}

void BM_Promote(benchmark::State& state) {
  const std::size_t n_static = n_static_of(state), n_cand = n_cand_of(state), n = n_static + n_cand;
  const auto points = make_points(n, 2);
  const auto batch = make_points(n_cand, 5);
  for (auto _ : state) {
    state.PauseTiming();
    Index index = make_index();
    vb::index::build(index, Buffer<double>(points), n, kD, n_static);
    state.ResumeTiming();
    vb::maintenance::promote(index, batch, n_cand, kD);
    benchmark::DoNotOptimize(index.static_keys.data());
  }
}

void epoch_sizes(benchmark::internal::Benchmark* b) {
  b->Args({180000, 20000})->Args({900000, 100000})->ArgNames({"n_static", "n_cand"});
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_HashCandidates)->Apply(epoch_sizes);
BENCHMARK(BM_Update)->Apply(epoch_sizes);
BENCHMARK(BM_Promote)->Apply(epoch_sizes)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
