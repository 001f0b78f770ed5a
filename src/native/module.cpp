// The extension module quarn._native: the package's entry points beyond
// read_psf, built from the same core as quarn._quarn, whose surface stays as
// it is. Results are instances of quarn._quarn's classes.
#include "module/result_types.h"
#include "native/features.h"
#include "numpy_bridge/bridge.h"

namespace quarn::native {
namespace {

int exec_module(PyObject* module) noexcept {
  // The keeper type is this module's own (not exported); the four result
  // classes and the internal error class are quarn._quarn's, the latter
  // exported here as InternalError for the package (quarn._quarn holds it
  // under no name of its own).
  if (!result_types::adopt() ||
      !numpy_bridge::init({nullptr, "quarn._native.SampleKeeper"}))
    return -1;
  if (PyModule_AddObjectRef(module, "InternalError", numpy_bridge::internal_error_type()) < 0)
    return -1;
  if (!register_header(module) || !register_batch(module) || !register_lazy(module) ||
      !register_text(module) || !register_split(module))
    return -1;
  if (!register_rebuild(module) || !register_text_entries(module)) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "quarn native entry points beside quarn._quarn (header listing, the batch reader).\n\n"
    "The package `quarn` wraps them; their results are quarn._quarn's classes.",
    0,        // no per-module state
    nullptr,  // each feature adds its functions at execution
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarn::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quarn::native::module_def); }
