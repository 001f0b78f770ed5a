// Native work done with the interpreter lock released.
#pragma once

#include <Python.h>

#include <exception>

namespace quarn::native {

// Runs `work` with the interpreter lock released. An exception it throws (a
// std::bad_alloc) is rethrown only once the lock is taken back, where the
// caller turns it into the Python exception.
template <class Work>
void without_lock(Work&& work) {
  std::exception_ptr thrown;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    thrown = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (thrown) std::rethrow_exception(thrown);
}

}  // namespace quarn::native
