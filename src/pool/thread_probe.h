#pragma once

#include <cstddef>

namespace vb::pool {

// How many of `wanted` threads with stacks of `stack_size` bytes the process
// can run at once while `room` more bytes of address space stay free, found
// by starting them one after another (each allocates once, as a worker does)
// and joining them again. Fewer than wanted when thread creation fails: an
// address-space or process limit, say. Never throws.
std::size_t startable_threads(std::size_t wanted, std::size_t stack_size, std::size_t room) noexcept;

}  // namespace vb::pool
