#pragma once

#include <stdexcept>
#include <string>

// The few exception types the core throws. The Python boundary turns each into
// one Python exception type; nothing else in the core knows about Python.
namespace vb {

// The caller's input breaks a documented precondition that is checked (a
// ValueError for the user): the message says what is wrong.
class ArgumentError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A call could not get the index's borrow (another call is running on it).
class BorrowError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A bounds or length check failed: a broken invariant or a corrupted index.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void throw_internal(const char* file, int line, const std::string& message);

}  // namespace vb

// Throws InternalError with the file and line when `cond` is false.
#define VB_CHECK(cond, msg)                                           \
  do {                                                                \
    if (!(cond)) ::vb::throw_internal(__FILE__, __LINE__, (msg));     \
  } while (0)
