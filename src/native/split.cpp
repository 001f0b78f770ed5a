// read_split(path, *, threads=0) and is_split_main(path): the split form of
// transients, read from its main file into a Psf.
#include <new>
#include <string>

#include <sys/stat.h>

#include "driver/assemble.h"
#include "module/path_arg.h"
#include "module/raise.h"
#include "native/features.h"
#include "native/without_lock.h"
#include "split/load.h"

namespace quarn::native {
namespace {

// Whether neither data sibling of the main file at `path` exists.
bool no_data_file(const std::string& path) noexcept {
  struct stat st;
  return ::stat((path + ".psfxl").c_str(), &st) != 0 && ::stat((path + ".dat").c_str(), &st) != 0;
}

PyObject* read_split(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  try {
    static const char* keywords[] = {"path", "threads", nullptr};
    PyObject* arg = nullptr;
    unsigned int threads = Concurrency::kAvailable;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$I:read_split", const_cast<char**>(keywords),
                                     &arg, &threads))
      return nullptr;
    std::string path;
    if (!convert_path(arg, path)) return nullptr;
    Result<driver::Records> records = Failure{};
    without_lock([&] { records = split::load_split(path, threads); });
    if (!records) {
      // A missing data file is the one failure with a more precise class.
      if (records.failure_kind() == FailureKind::Io && no_data_file(path)) {
        return raise(PyExc_FileNotFoundError, records.error());
      }
      return driver::raise_failure(records);
    }
    return driver::records_to_py(std::move(*records)).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* is_split_main(PyObject*, PyObject* arg) noexcept {
  try {
    std::string path;
    if (!convert_path(arg, path)) return nullptr;
    bool yes = false;
    without_lock([&] { yes = split::is_split_main(path); });
    return PyBool_FromLong(yes ? 1 : 0);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef split_defs[] = {
    {"read_split", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_split)),
     METH_VARARGS | METH_KEYWORDS,
     "read_split(path, *, threads=0)\n--\n\n"
     "Reads the split result whose main file is `path` (its samples in the sibling\n"
     "`path`.psfxl or `path`.dat) into a Psf. `threads` bounds the threads the data\n"
     "file is decoded on (0: as many as the process may run on)."},
    {"is_split_main", is_split_main, METH_O,
     "is_split_main(path)\n--\n\n"
     "Whether the file at `path` is the main file of a split result, by its content."},
};

}  // namespace

bool register_split(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  for (PyMethodDef& def : split_defs) {
    Ref fn = Ref::steal(PyCFunction_NewEx(&def, module, name.get()));
    if (!fn || PyModule_AddObjectRef(module, def.ml_name, fn.get()) != 0) return false;
  }
  return true;
}

}  // namespace quarn::native
