#include "exact_scan/raw_file.h"

#include <bit>
#include <fstream>
#include <stdexcept>

namespace vb::exact_scan {

// The files are little-endian and read and written as they lie in memory.
static_assert(std::endian::native == std::endian::little);

std::vector<float> read_floats(const std::string& path, std::size_t count) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot open " + path);
  const auto size = static_cast<std::size_t>(in.tellg());
  if (count > size / sizeof(float) || size != count * sizeof(float)) {
    throw std::runtime_error(path + " holds " + std::to_string(size) + " bytes, expected " +
                             std::to_string(count) + " float32 values");
  }
  std::vector<float> values(count);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(size))) {
    throw std::runtime_error("cannot read " + path);
  }
  return values;
}

void write_bytes(const std::string& path, const void* data, std::size_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes)) || !out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace vb::exact_scan
