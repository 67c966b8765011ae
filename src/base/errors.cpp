#include "base/errors.h"

namespace vb {

void throw_internal(const char* file, int line, const std::string& message) {
  throw InternalError(message + " (at " + file + ":" + std::to_string(line) + ")");
}

}  // namespace vb
