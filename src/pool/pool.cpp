#include "pool/pool.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace vb::pool {
namespace {

thread_local bool force_serial = false;

// Parses a whole decimal string as an unsigned count; anything else is absent.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t value = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

struct Pool {
  std::size_t threads;
  // The global limit must allow at least `threads` workers, or an arena wider
  // than the machine would run with fewer threads than it reports.
  tbb::global_control limit;
  tbb::task_arena arena;

  explicit Pool(std::size_t n)
      : threads(n),
        limit(tbb::global_control::max_allowed_parallelism,
              std::max<std::size_t>(n, static_cast<std::size_t>(tbb::info::default_concurrency()))),
        arena(static_cast<int>(n)) {}
};

Pool& the_pool() {
  static Pool pool(threads_from_environment(
      std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
      static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency()))));
  return pool;
}

}  // namespace

std::size_t threads_from_environment(const char* rayon_num_threads,
                                     const char* rayon_rs_num_cpus,
                                     std::size_t hardware) {
  hardware = std::max<std::size_t>(hardware, 1);
  if (auto n = parse_count(rayon_num_threads)) return *n == 0 ? hardware : *n;
  if (auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return *n;
  return hardware;
}

std::size_t num_threads() { return the_pool().threads; }

void serial_for(std::size_t n, std::size_t grain,
                const std::function<void(std::size_t, std::size_t)>& body) {
  grain = std::max<std::size_t>(grain, 1);
  for (std::size_t begin = 0; begin < n; begin += std::min(grain, n - begin)) {
    body(begin, begin + std::min(grain, n - begin));
  }
}

void parallel_for(std::size_t n, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  if (force_serial || n <= grain) {
    serial_for(n, grain, body);
    return;
  }
  Pool& pool = the_pool();
  if (pool.threads == 1) {
    serial_for(n, grain, body);
    return;
  }
  pool.arena.execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                      [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
  });
}

ScopedSerial::ScopedSerial() : previous_(force_serial) { force_serial = true; }
ScopedSerial::~ScopedSerial() { force_serial = previous_; }

}  // namespace vb::pool
