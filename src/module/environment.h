#pragma once

// The engine's switches that come from the process environment. The core
// never reads the environment itself (the pool's size aside, which the pool
// facade owns): the module reads these once, when it is executed.
namespace vb::module {

// VIBREL_CODE_FILTER=0 or off turns off the byte-code filter of the searches,
// so that benchmarks can show what it gains; the answers are the same.
void apply_environment();

}  // namespace vb::module
