#pragma once

// The instruction-set levels of the core's vector kernels (hashing, per-row
// and tile distances, code bounds), detected once per process. The kernel
// table (kernel_table.h) picks every kernel from the one level returned here
// when it is chosen, so a test moves them all down together with
// cap_cpu_level and then has the table chosen again.
namespace vb::kernels {

// Ordered: each level includes the ones below it. kPortable is what every
// build runs (SSE2 on x86-64, plain C++ elsewhere); kAvx512 means AVX-512 F
// and DQ, the subsets the kernels use.
enum class CpuLevel { kPortable, kAvx2, kAvx512 };

// The widest level this build and the running CPU support.
CpuLevel supported_cpu_level();

// The level the kernels use: the supported one, limited by the test cap.
CpuLevel cpu_level();

// Whether the CPU has AVX-512 BW, the byte operations at 512 bits, which
// kAvx512 does not promise: the byte kernels of that level need it as well.
bool supports_avx512bw();

// "portable", "avx2" or "avx512".
const char* cpu_level_name(CpuLevel level);

// Test hook (C++ only): caps cpu_level() until reset with kAvx512. Not
// thread-safe with concurrent kernel calls that read the level.
void cap_cpu_level(CpuLevel level);

}  // namespace vb::kernels
