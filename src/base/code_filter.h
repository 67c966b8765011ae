#pragma once

// Whether searches measure candidates by their byte codes first and take
// float distances only of those whose code bound can still matter. The
// answers are the same either way; the switch exists so that benchmarks can
// show what the filter gains, and tests that both ways agree.
namespace vb {

// On unless a caller turned it off: the Python modules do when the
// environment asks them to at import, and tests do to compare both ways.
bool code_filter_enabled();

// Turns the filter on or off for later searches. Searches already running
// keep the setting they started with.
void set_code_filter(bool enabled);

}  // namespace vb
