#pragma once

#include <cstddef>
#include <memory>

// The scan's point layout: panels of kPanelWidth points, coordinate-major
// inside a panel (see tile_kernel.h), in a 64-byte aligned block so that every
// coordinate row of a panel is one aligned vector load.
namespace vb::exact_scan {

class Panels {
 public:
  // Lays out `n` points of `d` coordinates (points: n × d, row-major). The
  // last panel is padded with zero coordinates. Throws std::bad_alloc.
  Panels(const float* points, std::size_t n, std::size_t d);

  const float* data() const { return data_.get(); }
  std::size_t count() const { return count_; }     // number of panels, ceil(n / kPanelWidth)
  std::size_t points() const { return points_; }   // n
  std::size_t dim() const { return dim_; }         // d

 private:
  struct Free {
    void operator()(float* p) const;
  };
  std::unique_ptr<float[], Free> data_;
  std::size_t count_;
  std::size_t points_;
  std::size_t dim_;
};

}  // namespace vb::exact_scan
