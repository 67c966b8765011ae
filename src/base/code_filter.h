#pragma once

// Whether searches measure candidates by their byte codes first and take
// float distances only of those whose code bound can still matter. The
// answers are the same either way; the switch exists so that benchmarks can
// show what the filter gains, and tests that both ways agree.
namespace vb {

// On unless the environment variable VIBREL_CODE_FILTER was "0" or "off"
// when it was first asked (read once per process), or a test turned it off.
bool code_filter_enabled();

// Test hook (C++ only): turns the filter on or off for later searches. Not
// thread-safe with concurrent searches.
void set_code_filter(bool enabled);

}  // namespace vb
