// read_text(path): a text-form file, parsed whole without the GIL, as a Psf.
#include <new>
#include <string>

#include "driver/assemble.h"
#include "module/path_arg.h"
#include "native/features.h"
#include "native/without_lock.h"
#include "text/text_form.h"

namespace quarn::native {
namespace {

PyObject* read_text(PyObject*, PyObject* arg) noexcept {
  try {
    std::string path;
    if (!convert_path(arg, path)) return nullptr;
    Result<driver::Records> records = Failure{};
    without_lock([&] { records = text::load_text(path); });
    if (!records) return driver::raise_failure(records);
    return driver::records_to_py(std::move(*records)).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef read_text_def = {
    "read_text", read_text, METH_O,
    "read_text(path)\n--\n\n"
    "Parse a file in the text form of the result format and return a Psf.\n"
    "ValueError names the line and column of the first fault; OSError when the\n"
    "file cannot be opened or read.",
};

}  // namespace

bool register_text(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  Ref fn = Ref::steal(PyCFunction_NewEx(&read_text_def, module, name.get()));
  return fn && PyModule_AddObjectRef(module, "read_text", fn.get()) == 0;
}

}  // namespace quarn::native
