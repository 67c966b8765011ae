// exact_scan: the exact brute-force k-nearest-neighbour scan under toroidal L1
// (float32), the yardstick of the index benchmarks. Reads raw float32 points
// and queries, writes raw int64 ids and float32 distances (m × k, row-major,
// rows ascending by distance bit pattern, then id; padded with -1 / +inf), and
// prints one line of JSON with the timing of the scan.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "exact_scan/raw_file.h"
#include "exact_scan/scan.h"
#include "exact_scan/tile_kernel.h"

namespace vb::exact_scan {
namespace {

constexpr const char* kUsage =
    "usage: exact_scan --points FILE --queries FILE -n N -m M -d D -k K --ids FILE --dists FILE\n"
    "                  [--threads T] [--exclude-self] [--level scalar|avx2|avx512] [--repeat R]\n"
    "  points: n x d float32, queries: m x d float32 (raw, little-endian, row-major)\n"
    "  ids: m x k int64, dists: m x k float32 (written)\n"
    "  --threads 0 uses one thread per hardware thread (default 1)\n"
    "  --exclude-self: query i never returns point i (the queries are the points)\n"
    "  --repeat R: run the scan R times and report the fastest (default 1)\n"
    "prints one JSON line: seconds (wall time of the scan), queries_per_s, evals (m x n),\n"
    "evals_per_s and evals_per_s_per_thread, cpu_seconds and evals_per_cpu_s (process CPU\n"
    "time), layout_seconds (one-off preparation of the points, not in the scan's time)\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string points, queries, ids, dists;
  std::size_t n = 0, m = 0, d = 0, k = 0, threads = 1, repeat = 1;
  bool exclude_self = false;
  ScanLevel level = supported_scan_level();
};

std::size_t parse_count(const std::string& flag, const char* text) {
  std::size_t value = 0;
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end || ptr == text) {
    throw UsageError(flag + " wants a non-negative integer, got '" + text + "'");
  }
  return value;
}

Options parse(int argc, char** argv) {
  Options options;
  std::size_t* const sizes[] = {&options.n, &options.m, &options.d, &options.k};
  bool seen[4] = {};
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--exclude-self") {
      options.exclude_self = true;
      continue;
    }
    if (i + 1 >= argc) throw UsageError(flag + " wants a value");
    const char* value = argv[++i];
    if (flag == "--points") {
      options.points = value;
    } else if (flag == "--queries") {
      options.queries = value;
    } else if (flag == "--ids") {
      options.ids = value;
    } else if (flag == "--dists") {
      options.dists = value;
    } else if (flag == "-n" || flag == "-m" || flag == "-d" || flag == "-k") {
      const std::size_t which = std::string("nmdk").find(flag[1]);
      *sizes[which] = parse_count(flag, value);
      seen[which] = true;
    } else if (flag == "--threads") {
      options.threads = parse_count(flag, value);
    } else if (flag == "--repeat") {
      options.repeat = parse_count(flag, value);
    } else if (flag == "--level") {
      if (!parse_level(value, &options.level)) throw UsageError(std::string("unknown level '") + value + "'");
    } else {
      throw UsageError("unknown argument " + flag);
    }
  }
  if (options.points.empty() || options.queries.empty() || options.ids.empty() || options.dists.empty() ||
      !seen[0] || !seen[1] || !seen[2] || !seen[3]) {
    throw UsageError("--points, --queries, --ids, --dists, -n, -m, -d and -k are required");
  }
  if (options.repeat == 0) throw UsageError("--repeat wants at least 1");
  if (options.level > supported_scan_level()) {
    throw std::runtime_error(std::string("level ") + level_name(options.level) + " is not supported by this CPU");
  }
  if (options.threads == 0) options.threads = std::max(1u, std::thread::hardware_concurrency());
  return options;
}

std::size_t product(std::size_t a, std::size_t b) {
  std::size_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) throw std::runtime_error("array size overflows");
  return result;
}

// CPU time of all threads of the process. On a shared machine it counts only
// the time the scan really ran, where wall time also counts waiting for a core.
double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

int run(const Options& options) {
  const std::vector<float> points = read_floats(options.points, product(options.n, options.d));
  const std::vector<float> queries = read_floats(options.queries, product(options.m, options.d));
  const std::size_t cells = product(options.m, options.k);
  std::vector<std::int64_t> ids(cells);
  std::vector<float> dists(cells);

  // The panel layout is the scan's one-off preparation of the points, like an
  // index build: timed on its own, outside the query time.
  const auto layout_start = std::chrono::steady_clock::now();
  const Panels panels(points.data(), options.n, options.d);
  const double layout_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - layout_start).count();
  const ScanRequest request{&panels,          queries.data(),  options.m,    options.k,
                            options.exclude_self, options.threads, options.level};
  double best = 0.0;
  double best_cpu = 0.0;
  std::size_t threads = 1;
  for (std::size_t r = 0; r < options.repeat; ++r) {
    const double cpu_start = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    threads = exact_scan(request, ids.data(), dists.data());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = process_cpu_seconds() - cpu_start;
    if (r == 0 || seconds < best) best = seconds;
    if (r == 0 || cpu < best_cpu) best_cpu = cpu;
  }
  write_bytes(options.ids, ids.data(), cells * sizeof(std::int64_t));
  write_bytes(options.dists, dists.data(), cells * sizeof(float));

  // Distance evaluations: every query against every point, the excluded own
  // point included (its distance is computed and then skipped).
  const double evals = static_cast<double>(options.m) * static_cast<double>(options.n);
  const double rate = best > 0.0 ? evals / best : 0.0;
  std::printf(
      "{\"n\": %zu, \"m\": %zu, \"d\": %zu, \"k\": %zu, \"threads\": %zu, \"level\": \"%s\", "
      "\"exclude_self\": %s, \"repeat\": %zu, \"seconds\": %.9g, \"queries_per_s\": %.6g, "
      "\"evals\": %.17g, \"evals_per_s\": %.6g, \"evals_per_s_per_thread\": %.6g, "
      "\"cpu_seconds\": %.9g, \"evals_per_cpu_s\": %.6g, \"layout_seconds\": %.9g}\n",
      options.n, options.m, options.d, options.k, threads, level_name(options.level),
      options.exclude_self ? "true" : "false", options.repeat, best,
      best > 0.0 ? static_cast<double>(options.m) / best : 0.0, evals, rate, rate / static_cast<double>(threads),
      best_cpu, best_cpu > 0.0 ? evals / best_cpu : 0.0, layout_seconds);
  return 0;
}

}  // namespace
}  // namespace vb::exact_scan

int main(int argc, char** argv) {
  try {
    return vb::exact_scan::run(vb::exact_scan::parse(argc, argv));
  } catch (const vb::exact_scan::UsageError& e) {
    std::fprintf(stderr, "exact_scan: %s\n%s", e.what(), vb::exact_scan::kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "exact_scan: %s\n", e.what());
    return 1;
  }
}
