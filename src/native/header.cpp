// read_header(path, *, require_footer=True): the HEADER properties alone.
#include <new>
#include <string>

#include "driver/assemble.h"
#include "driver/load.h"
#include "module/path_arg.h"
#include "native/features.h"
#include "native/without_lock.h"

namespace quarn::native {
namespace {

PyObject* read_header(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  try {
    static const char* keywords[] = {"path", "require_footer", nullptr};
    PyObject* arg = nullptr;
    int require_footer = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:read_header",
                                     const_cast<char**>(keywords), &arg, &require_footer))
      return nullptr;
    std::string path;
    if (!convert_path(arg, path)) return nullptr;
    Result<PropertyList> header = Failure{};
    without_lock([&] { header = driver::load_header(path, require_footer != 0); });
    if (!header) return driver::raise_failure(header);
    return driver::properties_to_py(std::move(*header)).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef read_header_def = {
    "read_header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_header)),
    METH_VARARGS | METH_KEYWORDS,
    "read_header(path, *, require_footer=True)\n--\n\n"
    "The HEADER properties of a psfbin file as a dict, reading nothing past the\n"
    "HEADER section. `require_footer=False` skips the footer check (a file still\n"
    "being written, or the first part of a split result).",
};

}  // namespace

bool register_header(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  Ref fn = Ref::steal(PyCFunction_NewEx(&read_header_def, module, name.get()));
  return fn && PyModule_AddObjectRef(module, "read_header", fn.get()) == 0;
}

}  // namespace quarn::native
