#include "module/path_arg.h"

#include "module/raise.h"

namespace quarn {
namespace {

// A str (or path-like giving a str) to a str object; bytes are refused.
Ref fspath_str(PyObject* arg) {
  Ref path = Ref::steal(PyOS_FSPath(arg));
  if (!path) return {};
  if (!PyUnicode_Check(path.get())) {
    Ref qualname = Ref::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(path.get())), "__qualname__"));
    if (!qualname) return {};
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", qualname.get());
    return {};
  }
  return path;
}

}  // namespace

bool convert_path(PyObject* arg, std::string& out) {
  Ref text = fspath_str(arg);
  if (!text) {
    if (PyErr_Occurred() == PyExc_TypeError) {  // exactly TypeError, not a subclass
      Ref original = take_exception();
      Ref message = Ref::steal(PyObject_Str(original.get()));
      if (!message) return false;
      PyErr_Format(PyExc_TypeError, "argument 'path': %U", message.get());
      Ref replaced = take_exception();
      PyException_SetCause(replaced.get(), PyException_GetCause(original.get()));  // steals
      restore_exception(std::move(replaced));
    }
    return false;
  }
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(text.get()));
  if (!encoded) return false;
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

}  // namespace quarn
