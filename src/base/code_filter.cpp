#include "base/code_filter.h"

#include <atomic>

namespace vb {

namespace {
std::atomic<bool> enabled{true};
}  // namespace

bool code_filter_enabled() { return enabled.load(std::memory_order_relaxed); }

void set_code_filter(bool on) { enabled.store(on, std::memory_order_relaxed); }

}  // namespace vb
