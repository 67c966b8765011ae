#include "index/index.h"

#include <utility>

namespace vb::index {

std::vector<std::int64_t> powers_of(std::int64_t b, std::size_t k) {
  std::vector<std::int64_t> pow(k);
  std::uint64_t p = 1;
  for (std::size_t j = 0; j < k; ++j) {
    pow[j] = static_cast<std::int64_t>(p);
    p *= static_cast<std::uint64_t>(b);  // unsigned: wraps instead of overflowing
  }
  return pow;
}

Index::Index(std::int64_t b_, std::size_t k_, std::size_t l_, std::size_t probes_,
             std::vector<std::int64_t> s_, std::vector<double> u_, std::size_t block_)
    : s(std::move(s_)),
      u(std::move(u_)),
      b_pow(powers_of(b_, k_)),
      b(b_),
      k(k_),
      l(l_),
      probes(probes_),
      block(block_) {
  choose_kernels(*this);
}

kernels::KernelNeeds kernel_needs(const Index& index, std::size_t d) {
  // The periods are read only when they are as many as the coordinates.
  const bool periods_fit = !index.scale.empty() && index.scale.size() == d;
  return {d, index.metric, !index.scale.empty(), index.b, periods_fit ? index.scale.data() : nullptr};
}

void choose_kernels(Index& index) { index.kernels = kernels::choose_kernels(kernel_needs(index, index.d)); }

}  // namespace vb::index
