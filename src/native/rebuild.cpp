// rebuild_named(kind, name, data) and rebuild_psf(header, sweeps, traces, values):
// a result made again from its parts, for unpickling. The package registers
// reducers (copyreg) that hand a result's parts to these two functions; the
// result classes themselves stay impossible to call from Python. Both check
// what they are given, so that they make only results the reader could have
// made: a sweep or trace holds a one-dimensional NumPy array, a value a
// Python scalar, dict or list, a Psf a dict and results of the right classes.
#include <new>
#include <string>
#include <vector>

#include "module/result_types.h"
#include "native/features.h"

namespace quarn::native {
namespace {

using result_types::Kind;

// numpy.ndarray, imported on the first call (unpickling a result needs NumPy anyway).
PyObject* ndarray_type() noexcept {
  static PyObject* type = nullptr;  // kept for the process
  if (type == nullptr) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (numpy) type = PyObject_GetAttrString(numpy.get(), "ndarray");
  }
  return type;
}

// Whether `data` may be the data of a result of `kind`; false with TypeError set if not.
bool check_data(Kind kind, PyObject* data) noexcept {
  if (kind == Kind::Value) {
    if (PyLong_CheckExact(data) || PyFloat_CheckExact(data) || PyComplex_CheckExact(data) ||
        PyUnicode_CheckExact(data) || PyDict_CheckExact(data) || PyList_CheckExact(data))
      return true;
    PyErr_Format(PyExc_TypeError, "a Value holds an int, float, complex, str, dict or list, not %s",
                 Py_TYPE(data)->tp_name);
    return false;
  }
  PyObject* ndarray = ndarray_type();
  if (ndarray == nullptr) return false;
  const int is_array = PyObject_IsInstance(data, ndarray);
  if (is_array < 0) return false;
  if (is_array != 0) {
    Ref ndim = Ref::steal(PyObject_GetAttrString(data, "ndim"));
    if (!ndim) return false;
    const long n = PyLong_AsLong(ndim.get());
    if (n == -1 && PyErr_Occurred()) return false;
    if (n == 1) return true;
  }
  PyErr_Format(PyExc_TypeError, "a %s holds a one-dimensional numpy array, not %s",
               kind == Kind::Sweep ? "Sweep" : "Trace", Py_TYPE(data)->tp_name);
  return false;
}

PyObject* rebuild_named(PyObject*, PyObject* args) noexcept try {
  const char* kind_name = nullptr;
  PyObject* name = nullptr;
  PyObject* data = nullptr;
  if (!PyArg_ParseTuple(args, "sUO:rebuild_named", &kind_name, &name, &data)) return nullptr;
  const std::string kind_text = kind_name;
  Kind kind;
  if (kind_text == "Sweep") {
    kind = Kind::Sweep;
  } else if (kind_text == "Trace") {
    kind = Kind::Trace;
  } else if (kind_text == "Value") {
    kind = Kind::Value;
  } else {
    PyErr_Format(PyExc_ValueError, "kind must be 'Sweep', 'Trace' or 'Value', not '%s'",
                 kind_name);
    return nullptr;
  }
  if (!check_data(kind, data)) return nullptr;
  // Names are stored as UTF-8 and read back with "surrogatepass": the same here.
  Ref utf8 = Ref::steal(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
  if (!utf8) return nullptr;
  std::string text(PyBytes_AS_STRING(utf8.get()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
  return result_types::make_named(kind, std::move(text), Ref::borrow(data)).release();
} catch (const std::bad_alloc&) {
  return PyErr_NoMemory();
}

// The items of the tuple or list `seq`, each of the class `type`; false with TypeError set.
bool take_results(PyObject* seq, PyObject* type, const char* what, std::vector<Ref>& out) {
  if (!PyTuple_CheckExact(seq) && !PyList_CheckExact(seq)) {
    PyErr_Format(PyExc_TypeError, "%s must be a tuple, not %s", what, Py_TYPE(seq)->tp_name);
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
    if (Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(type)) {
      PyErr_Format(PyExc_TypeError, "%s must hold %s objects, not %s", what,
                   reinterpret_cast<PyTypeObject*>(type)->tp_name, Py_TYPE(item)->tp_name);
      return false;
    }
    out.push_back(Ref::borrow(item));
  }
  return true;
}

PyObject* rebuild_psf(PyObject*, PyObject* args) noexcept try {
  PyObject *header = nullptr, *sweeps = nullptr, *traces = nullptr, *values = nullptr;
  if (!PyArg_ParseTuple(args, "O!OOO:rebuild_psf", &PyDict_Type, &header, &sweeps, &traces,
                        &values))
    return nullptr;
  std::vector<Ref> s, t, v;
  if (!take_results(sweeps, result_types::sweep_type(), "sweeps", s) ||
      !take_results(traces, result_types::trace_type(), "traces", t) ||
      !take_results(values, result_types::value_type(), "values", v))
    return nullptr;
  return result_types::make_psf(std::move(s), std::move(t), std::move(v), Ref::borrow(header))
      .release();
} catch (const std::bad_alloc&) {
  return PyErr_NoMemory();
}

PyMethodDef rebuild_defs[] = {
    {"rebuild_named", rebuild_named, METH_VARARGS,
     "rebuild_named(kind, name, data)\n--\n\n"
     "A Sweep, Trace or Value (`kind` names the class) holding `name` and `data`:\n"
     "what unpickling one calls."},
    {"rebuild_psf", rebuild_psf, METH_VARARGS,
     "rebuild_psf(header, sweeps, traces, values)\n--\n\n"
     "A Psf holding the header dict and the tuples of Sweep, Trace and Value\n"
     "objects: what unpickling one calls."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_rebuild(PyObject* module) { return PyModule_AddFunctions(module, rebuild_defs) == 0; }

}  // namespace quarn::native
