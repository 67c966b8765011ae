#include "module/environment.h"

#include <cstdlib>
#include <cstring>

#include "base/code_filter.h"

namespace vb::module {

void apply_environment() {
  const char* value = std::getenv("VIBREL_CODE_FILTER");
  if (value != nullptr && (std::strcmp(value, "0") == 0 || std::strcmp(value, "off") == 0)) {
    set_code_filter(false);
  }
}

}  // namespace vb::module
