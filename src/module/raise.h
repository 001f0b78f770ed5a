// Small helpers around the interpreter's pending exception.
#pragma once

#include <string>

#include "module/ref.h"

namespace quarn {

// Takes the pending exception (normalized) out of the interpreter, or an
// empty Ref when none is pending.
inline Ref take_exception() noexcept {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

// Makes the pending exception instance current again.
inline void restore_exception(Ref exc) noexcept {
  PyObject* value = exc.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
}

// Sets `cause` as the __cause__ of the pending exception.
inline void set_cause_of_pending(Ref cause) noexcept {
  Ref pending = take_exception();
  if (!pending) return;
  PyException_SetCause(pending.get(), cause.release());  // steals the cause
  restore_exception(std::move(pending));
}

// Raises `type` with `message` as its single argument; returns nullptr.
// The message may hold NUL bytes (names from the file are kept whole).
inline PyObject* raise(PyObject* type, const std::string& message) noexcept {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace quarn
