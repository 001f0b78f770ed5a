// read_text_entries(path): a text-form file as read_text reads it, together
// with each non-swept entry's type name and property list. A result
// directory's index keeps what links its entries (families, their leaves and
// the leaves' variable values) in those property lists.
#include <new>
#include <string>
#include <utility>

#include "driver/assemble.h"
#include "module/path_arg.h"
#include "native/features.h"
#include "native/without_lock.h"
#include "text/text_form.h"

namespace quarn::native {
namespace {

PyObject* read_text_entries(PyObject*, PyObject* arg) noexcept {
  try {
    std::string path;
    if (!convert_path(arg, path)) return nullptr;
    text::TextExtras extras;
    Result<driver::Records> records = Failure{};
    without_lock([&] { records = text::load_text(path, &extras); });
    if (!records) return driver::raise_failure(records);
    Ref psf = driver::records_to_py(std::move(*records));
    if (!psf) return nullptr;
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return nullptr;
    for (text::TextDetails& details : extras.values) {
      Ref props = driver::properties_to_py(std::move(details.decl.properties));
      if (!props) return nullptr;
      Ref type_name = Ref::steal(PyUnicode_DecodeUTF8(
          details.type_name.data(), static_cast<Py_ssize_t>(details.type_name.size()),
          "surrogateescape"));
      if (!type_name) return nullptr;
      Ref entry = Ref::steal(PyTuple_Pack(2, type_name.get(), props.get()));
      if (!entry || PyList_Append(entries.get(), entry.get()) != 0) return nullptr;
    }
    return PyTuple_Pack(2, psf.get(), entries.get());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef read_text_entries_def = {
    "read_text_entries", read_text_entries, METH_O,
    "read_text_entries(path)\n--\n\n"
    "Parse a text-form file; return (Psf, [(type name, properties) per value]).\n"
    "Fails as read_text does.",
};

}  // namespace

bool register_text_entries(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  Ref fn = Ref::steal(PyCFunction_NewEx(&read_text_entries_def, module, name.get()));
  return fn && PyModule_AddObjectRef(module, "read_text_entries", fn.get()) == 0;
}

}  // namespace quarn::native
