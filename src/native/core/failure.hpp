// Failure reporting of the pure C++ core.
//
// The core never touches Python: it throws a Failure carrying the kind of
// Python exception the boundary must raise and its exact text. When a hook
// (a call back into Python) left a Python exception pending, the kind is
// Pending and the boundary keeps that exception as it is. Each native
// function the failure passes through appends its qualified name, innermost
// first, so the boundary can add one traceback entry per function.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

enum class ErrorKind {
  Pending,  // a Python exception is already set
  IndexError,
  ValueError,
  TypeError,
  ZeroDivisionError,
  OverflowError,
  RuntimeError,
  MemoryError,
};

struct Failure {
  ErrorKind kind;
  std::string message;
  std::vector<const char*> frames;
};

[[noreturn]] inline void fail(ErrorKind kind, std::string message) {
  throw Failure{kind, std::move(message), {}};
}

[[noreturn]] inline void fail_pending() { throw Failure{ErrorKind::Pending, {}, {}}; }

// Runs fn; a Failure passing through gets `frame` appended.
template <class Fn>
decltype(auto) with_frame(const char* frame, Fn&& fn) {
  try {
    return fn();
  } catch (Failure& f) {
    f.frames.push_back(frame);
    throw;
  }
}

// Text of an out-of-range buffer read, as the array views report it.
std::string buffer_oob_message(int axis);
// Text of an out-of-range NumPy item access (`a[i]` on a 1-D array).
std::string numpy_oob_message(std::int64_t index, std::int64_t size);

}  // namespace pelmora
