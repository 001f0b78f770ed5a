#include "numpy_bridge/bridge.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <structmember.h>

#include "module/quote.h"
#include "module/raise.h"

namespace quarn::numpy_bridge {
namespace {

// ---- NumPy's C API, reached through the table its core module exports ----
// Slot numbers of NumPy's C API table (stable across NumPy 1.x and 2.x).
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNewFromDescr = 94;
constexpr int kSlotSetBaseObject = 282;
constexpr int kTypeDouble = 12;        // float64
constexpr int kTypeComplexDouble = 15; // complex128
constexpr int kFlagWriteable = 0x0400;

using npy_intp = Py_ssize_t;
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*,
                                     const npy_intp*, void*, int, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

void** g_api = nullptr;          // filled once, on first need
PyObject* g_internal_error = nullptr;
PyObject* g_keeper_type = nullptr;

// Raises the internal error: `what`, ": ", then the pending exception as
// "Type: message" (or the pending exception's absence). An interrupt (Ctrl-C,
// or SystemExit from a signal handler) that arrived meanwhile is the user's,
// not a fault of NumPy: it stays pending, unchanged.
void raise_internal(const char* what) {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit))
    return;
  std::string message = what;
  Ref cause = take_exception();
  if (cause) {
    message += ": ";
    message += Py_TYPE(cause.get())->tp_name;
    Ref text = Ref::steal(PyObject_Str(cause.get()));
    const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (s != nullptr && *s != '\0') {
      message += ": ";
      message += s;
    }
    PyErr_Clear();
  }
  PyErr_SetString(g_internal_error, message.c_str());
  if (cause) set_cause_of_pending(std::move(cause));
}

// The core module's name: numpy._core from NumPy 2 on, numpy.core before.
bool numpy_core_name(const char*& name) {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return false;
  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) return false;
  Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return false;
  Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_obj) return false;
  if (!PyLong_Check(major_obj.get())) {
    PyErr_SetString(PyExc_TypeError, "NumPy major version is not an integer");
    return false;
  }
  long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) return false;
  if (major < 0 || major > 255) {
    PyErr_Format(PyExc_ValueError, "NumPy major version %ld out of range", major);
    return false;
  }
  name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  return true;
}

void** numpy_api() {
  if (g_api != nullptr) return g_api;
  const char* core = nullptr;
  if (!numpy_core_name(core)) {
    raise_internal("Failed to access NumPy array API capsule");
    return nullptr;
  }
  Ref multiarray = Ref::steal(PyImport_ImportModule(core));
  Ref capsule = multiarray ? Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"))
                           : Ref{};
  if (capsule && !PyCapsule_CheckExact(capsule.get()))
    PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
  void* table = capsule && PyCapsule_CheckExact(capsule.get())
                    ? PyCapsule_GetPointer(capsule.get(), nullptr)
                    : nullptr;
  if (table == nullptr) {
    raise_internal("Failed to access NumPy array API capsule");
    return nullptr;
  }
  // The table lives as long as NumPy's core module, which is never unloaded;
  // the capsule reference is kept for the life of the process all the same.
  (void)capsule.release();
  g_api = static_cast<void**>(table);
  return g_api;
}

// ---- the keeper: owns one adopted sample buffer ----

struct Keeper {
  PyObject_HEAD
  double* data;
  std::size_t size;
  std::size_t capacity;
  void (*free_fn)(double*, std::size_t capacity);
  PyObject* weakrefs;
};

void keeper_dealloc(PyObject* self) {
  auto* k = reinterpret_cast<Keeper*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (k->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  if (k->free_fn != nullptr) k->free_fn(k->data, k->capacity);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef keeper_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Keeper, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot keeper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(keeper_dealloc)},
    {Py_tp_members, keeper_members},
    {Py_tp_doc, const_cast<char*>("Owns the sample buffer that a quarn array is built over.")},
    {0, nullptr},
};

PyType_Spec keeper_spec = {
    nullptr, sizeof(Keeper), 0,  // the name is the module's, set by init
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    keeper_slots,
};

// Moves the buffer into a new keeper. On failure the buffer is still the
// caller's (and freed with it).
Ref make_keeper(SampleBuffer& buffer) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_keeper_type);
  Ref keeper = Ref::steal(type->tp_alloc(type, 0));
  if (!keeper) return {};
  auto* k = reinterpret_cast<Keeper*>(keeper.get());
  k->size = buffer.size();
  k->capacity = buffer.capacity();
  k->data = buffer.release();
  k->free_fn = &SampleBuffer::free_memory;
  k->weakrefs = nullptr;
  return keeper;
}

// An array of `count` elements of `typenum` with `stride` bytes between them,
// over the buffer, which the array's keeper takes over.
Ref adopt(SampleBuffer&& buffer, int typenum, npy_intp count, npy_intp stride) {
  // NumPy allocates memory of its own for a null data pointer; an empty
  // series still gets a buffer of its own, so every array has a keeper.
  if (buffer.data() == nullptr && !buffer.grow_for(1)) return Ref::steal(PyErr_NoMemory());
  Ref keeper = make_keeper(buffer);
  if (!keeper) {
    raise_internal("Failed to create slice container");
    return {};
  }
  void** api = numpy_api();
  if (api == nullptr) return {};
  auto* data = reinterpret_cast<Keeper*>(keeper.get())->data;
  auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(api[kSlotDescrFromType]);
  auto new_from_descr = reinterpret_cast<NewFromDescrFn>(api[kSlotNewFromDescr]);
  auto set_base = reinterpret_cast<SetBaseObjectFn>(api[kSlotSetBaseObject]);
  auto* array_type = static_cast<PyTypeObject*>(api[kSlotArrayType]);

  PyObject* descr = descr_from_type(typenum);
  if (descr == nullptr) {
    raise_internal("Failed to create NumPy dtype");
    return {};
  }
  // NewFromDescr takes over the descr reference, on failure too.
  Ref array = Ref::steal(
      new_from_descr(array_type, descr, 1, &count, &stride, data, kFlagWriteable, nullptr));
  if (!array) {
    raise_internal("Failed to create NumPy array");
    return {};
  }
  // SetBaseObject takes over the keeper reference, on failure too.
  if (set_base(array.get(), keeper.release()) < 0) return {};
  return array;
}

// Refuses a member list whose names repeat, as a structured dtype must.
// The first name equal to an earlier one is reported; a set keeps the check
// linear in the member count however wide the struct is.
bool members_unique(const std::vector<StructMemberType>& members) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(members.size());
  for (const auto& [name, type] : members) {
    if (!seen.insert(name).second) {
      raise(PyExc_ValueError,
            format("struct field name {} appears more than once; numpy structured arrays "
                   "require unique field names",
                   quote_name(name)));
      return false;
    }
  }
  return true;
}

// The structured dtype of one float64 field per member, in member order.
Ref struct_dtype(const std::vector<StructMemberType>& members) {
  Ref fields = Ref::steal(PyList_New(0));
  if (!fields) {
    raise_internal("Failed to create field list");
    return {};
  }
  for (const auto& [name, type] : members) {
    Ref pair = Ref::steal(Py_BuildValue("(s#s)", name.data(), static_cast<Py_ssize_t>(name.size()), "<f8"));
    if (!pair) {
      raise_internal("Failed to create field tuple");
      return {};
    }
    if (PyList_Append(fields.get(), pair.get()) < 0) return {};
  }
  Ref numpy = Ref::steal(PyImport_Import(Ref::steal(PyUnicode_FromString("numpy")).get()));
  if (!numpy) return {};
  Ref dtype_fn = Ref::steal(PyObject_GetAttrString(numpy.get(), "dtype"));
  if (!dtype_fn) return {};
  Ref dtype = Ref::steal(PyObject_CallOneArg(dtype_fn.get(), fields.get()));
  if (dtype || PyErr_ExceptionMatches(PyExc_MemoryError) ||
      !PyErr_ExceptionMatches(PyExc_Exception))
    return dtype;
  // NumPy 2 turns a failed allocation early in np.dtype(list) into another
  // exception (a TypeError about StringDType). The same call made again
  // tells the two apart: a list NumPy refuses is refused again, with the
  // same exception, which is raised; one that now succeeds failed for want
  // of memory, and that is what is raised.
  Ref first = take_exception();
  Ref again = Ref::steal(PyObject_CallOneArg(dtype_fn.get(), fields.get()));
  if (!again) return {};
  PyErr_NoMemory();
  set_cause_of_pending(std::move(first));
  return {};
}

Ref struct_to_py(Series::Struct&& s) {
  const std::vector<StructMemberType>& members = *s.members;
  if (!members_unique(members)) return {};
  const auto count = static_cast<npy_intp>(s.samples.size());
  Ref flat = adopt(std::move(s.samples), kTypeDouble, count, 8);
  if (!flat) return {};
  Ref dtype = struct_dtype(members);
  if (!dtype) return {};
  Ref view_fn = Ref::steal(PyObject_GetAttrString(flat.get(), "view"));
  if (!view_fn) return {};
  return Ref::steal(PyObject_CallOneArg(view_fn.get(), dtype.get()));
}

// A new object from a creation call, or the internal error.
Ref created(PyObject* obj) {
  if (obj == nullptr) raise_internal("Failed to create Python object");
  return Ref::steal(obj);
}

}  // namespace

// quarn._quarn's internal error class, or nullptr with ImportError set.
PyObject* find_internal_error() {
  Ref subclasses = Ref::steal(PyObject_CallMethod(PyExc_BaseException, "__subclasses__", nullptr));
  if (!subclasses) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subclasses.get()); ++i) {
    PyObject* cls = PyList_GET_ITEM(subclasses.get(), i);
    Ref module = Ref::steal(PyObject_GetAttrString(cls, "__module__"));
    if (!module) return nullptr;
    const auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), kInternalErrorModule) == 0 &&
        std::string_view(type->tp_name) == kInternalErrorName)
      return Py_NewRef(cls);
  }
  PyErr_Format(PyExc_ImportError, "%s.%s is missing: import %s first", kInternalErrorModule,
               kInternalErrorName, kInternalErrorModule);
  return nullptr;
}

bool init(const Names& names) noexcept {
  if (g_internal_error == nullptr && names.internal_error == nullptr) {
    g_internal_error = find_internal_error();
    if (g_internal_error == nullptr) return false;
  }
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc(
        names.internal_error,
        "An internal failure of quarn (NumPy unreachable, or an object that could not be made).\n"
        "Derives from BaseException so that handlers of Exception do not swallow it.",
        PyExc_BaseException, nullptr);
    if (g_internal_error == nullptr) return false;
  }
  if (g_keeper_type == nullptr) {
    keeper_spec.name = names.keeper;
    g_keeper_type = PyType_FromSpec(&keeper_spec);
    if (g_keeper_type == nullptr) return false;
  }
  return true;
}

PyObject* internal_error_type() noexcept { return g_internal_error; }

Ref series_to_py(Series&& series) {
  if (auto* real = std::get_if<Series::Real>(&series.v)) {
    const auto count = static_cast<npy_intp>(real->samples.size());
    return adopt(std::move(real->samples), kTypeDouble, count, 8);
  }
  if (auto* cplx = std::get_if<Series::Complex>(&series.v)) {
    const auto count = static_cast<npy_intp>(cplx->samples.size() / 2);
    return adopt(std::move(cplx->samples), kTypeComplexDouble, count, 16);
  }
  return struct_to_py(std::move(std::get<Series::Struct>(series.v)));
}

Ref dtype_of(const Series& kind) {
  if (const auto* st = std::get_if<Series::Struct>(&kind.v)) {
    if (!members_unique(*st->members)) return {};
    return struct_dtype(*st->members);
  }
  void** api = numpy_api();
  if (api == nullptr) return {};
  auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(api[kSlotDescrFromType]);
  const bool real = std::holds_alternative<Series::Real>(kind.v);
  PyObject* descr = descr_from_type(real ? kTypeDouble : kTypeComplexDouble);
  if (descr == nullptr) raise_internal("Failed to create NumPy dtype");
  return Ref::steal(descr);
}

const std::vector<Ref>* StructKeys::keys_for(const StructMembers& members) {
  auto found = by_type_.find(members.get());
  if (found != by_type_.end()) return &found->second.keys;
  Entry entry{members, {}};
  entry.keys.reserve(members->size());
  for (const auto& [name, type] : *members) {
    Ref key = created(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key) return nullptr;
    entry.keys.push_back(std::move(key));
  }
  return &by_type_.emplace(members.get(), std::move(entry)).first->second.keys;
}

Ref scalar_to_py(ScalarValue&& value, StructKeys& struct_keys) {
  struct Visitor {
    StructKeys& struct_keys;
    Ref operator()(ScalarValue::Int& v) const {
      return created(PyLong_FromLongLong(static_cast<long long>(v.value)));
    }
    Ref operator()(ScalarValue::Float& v) const { return created(PyFloat_FromDouble(v.value)); }
    Ref operator()(ScalarValue::Complex& v) const {
      return created(PyComplex_FromDoubles(v.re, v.im));
    }
    Ref operator()(ScalarValue::String& v) const {
      return created(
          PyUnicode_FromStringAndSize(v.value.data(), static_cast<Py_ssize_t>(v.value.size())));
    }
    Ref operator()(ScalarValue::Struct& v) const {
      Ref dict = created(PyDict_New());
      if (!dict) return {};
      const std::vector<Ref>* keys = struct_keys.keys_for(v.members);
      if (keys == nullptr) return {};
      for (std::size_t i = 0; i < v.values.size(); ++i) {
        Ref item = scalar_to_py(std::move(v.values[i]), struct_keys);
        if (!item) return {};
        if (PyDict_SetItem(dict.get(), (*keys)[i].get(), item.get()) < 0) return {};
      }
      return dict;
    }
    Ref operator()(ScalarValue::Array& v) const {
      Ref list = created(PyList_New(static_cast<Py_ssize_t>(v.values.size())));
      if (!list) return {};
      for (std::size_t i = 0; i < v.values.size(); ++i) {
        Ref item = scalar_to_py(std::move(v.values[i]), struct_keys);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      return list;
    }
  };
  return std::visit(Visitor{struct_keys}, value.v);
}

}  // namespace quarn::numpy_bridge
