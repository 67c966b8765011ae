#include "base/code_filter.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vb {

namespace {

bool from_environment() {
  const char* value = std::getenv("VIBREL_CODE_FILTER");
  return value == nullptr || (std::strcmp(value, "0") != 0 && std::strcmp(value, "off") != 0);
}

std::atomic<int> forced{-1};  // -1: as the environment says

}  // namespace

bool code_filter_enabled() {
  const int f = forced.load(std::memory_order_relaxed);
  if (f >= 0) return f == 1;
  static const bool enabled = from_environment();
  return enabled;
}

void set_code_filter(bool enabled) { forced.store(enabled ? 1 : 0, std::memory_order_relaxed); }

}  // namespace vb
