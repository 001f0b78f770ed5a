// The extension module quarn._quarn: its initialisation and read_psf.
#include <new>
#include <string>

#include "driver/assemble.h"
#include "module/path_arg.h"
#include "module/raise.h"
#include "module/ref.h"
#include "module/result_types.h"
#include "numpy_bridge/bridge.h"

// The package's version (python/quarn/_version.py), passed in by CMakeLists.txt.
#ifndef QUARN_VERSION
#error "QUARN_VERSION is not defined: build with CMakeLists.txt"
#endif

namespace quarn {
namespace {

// ---- binding the argument ----

// The `path` argument, or nullptr with TypeError set. The call arrives in the
// vectorcall form: `nargs` positional arguments, then one per name in `kwnames`.
PyObject* bind_path(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "read_psf() takes 1 positional arguments but %zd were given",
                 nargs);
    return nullptr;
  }
  PyObject* candidate = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "path") == 0) {
      if (candidate != nullptr) {
        PyErr_SetString(PyExc_TypeError, "read_psf() got multiple values for argument 'path'");
        return nullptr;
      }
      candidate = args[nargs + i];
    } else {
      PyErr_Format(PyExc_TypeError, "read_psf() got an unexpected keyword argument '%S'", key);
      return nullptr;
    }
  }
  if (candidate == nullptr) {
    PyErr_SetString(PyExc_TypeError, "read_psf() missing 1 required positional argument: 'path'");
    return nullptr;
  }
  return candidate;
}

// The one boundary between the reader and the interpreter: failures arrive
// here as exceptions already set, and no C++ exception leaves.
PyObject* read_psf(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  try {
    PyObject* arg = bind_path(args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    std::string path;
    if (!convert_path(arg, path)) return nullptr;
    return driver::read_psf_file(path).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quarn: unexpected internal failure");
    return nullptr;
  }
}

PyMethodDef read_psf_def = {
    "read_psf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_psf)),
    METH_FASTCALL | METH_KEYWORDS,
    "read_psf(path)\n--\n\nParse a psfbin file and return a [`Psf`].",
};

// ---- module execution ----

// Appends `name` to the module's __all__ (made on first use), then sets it.
int add(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) noexcept {
  if (!result_types::init() ||
      !numpy_bridge::init({"quarn._quarn.InternalError", "quarn._quarn.SampleKeeper"}))
    return -1;
  Ref version = Ref::steal(PyUnicode_FromString(QUARN_VERSION));
  if (!version || add(module, "__version__", version.get()) < 0) return -1;
  if (add(module, "Psf", result_types::psf_type()) < 0 ||
      add(module, "Sweep", result_types::sweep_type()) < 0 ||
      add(module, "Trace", result_types::trace_type()) < 0 ||
      add(module, "Value", result_types::value_type()) < 0)
    return -1;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref fn = Ref::steal(PyCFunction_NewEx(&read_psf_def, module, module_name.get()));
  if (!fn || add(module, "read_psf", fn.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quarn",
    "quarn native extension module.\n\n"
    "Built from the quarn sources with CMake; the package `quarn` re-exports its names.\n"
    "It imports NumPy only when a file with sweeps or traces is read.",
    0,        // no per-module state
    nullptr,  // no method table: read_psf is added at execution
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarn

PyMODINIT_FUNC PyInit__quarn() { return PyModuleDef_Init(&quarn::module_def); }
