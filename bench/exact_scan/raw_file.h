#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Raw little-endian binary files: a flat array of fixed-size elements, no header.
namespace vb::exact_scan {

// Reads exactly `count` float32 values from `path`. Throws std::runtime_error
// naming the file when it cannot be read or its size is not count × 4 bytes.
std::vector<float> read_floats(const std::string& path, std::size_t count);

// Writes `bytes` bytes from `data` to `path`, replacing it. Throws
// std::runtime_error naming the file on failure.
void write_bytes(const std::string& path, const void* data, std::size_t bytes);

}  // namespace vb::exact_scan
