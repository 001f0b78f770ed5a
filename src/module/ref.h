// Move-only owner of one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarn {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference over; the caller now owns it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace quarn
