#pragma once

#include <cstdint>
#include <ctime>

// Monotonic time in nanoseconds for the query profile.
namespace vb::query {

// Nanoseconds on a monotonic clock that does not advance while the machine
// sleeps where the system offers one (macOS: CLOCK_UPTIME_RAW), else the plain
// monotonic clock. Thread safe; no allocation.
inline std::uint64_t now_ns() {
#if defined(CLOCK_UPTIME_RAW)
  constexpr clockid_t kClock = CLOCK_UPTIME_RAW;
#else
  constexpr clockid_t kClock = CLOCK_MONOTONIC;
#endif
  timespec ts{};
  clock_gettime(kClock, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// later - earlier, or 0 when the clock went backwards.
inline std::uint64_t elapsed_ns(std::uint64_t earlier, std::uint64_t later) {
  return later > earlier ? later - earlier : 0;
}

}  // namespace vb::query
