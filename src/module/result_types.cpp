#include "module/result_types.h"

#include <cstring>
#include <new>

#include "module/quote.h"
#include "module/raise.h"

namespace quarn::result_types {
namespace {

PyObject* g_psf = nullptr;
PyObject* g_sweep = nullptr;
PyObject* g_trace = nullptr;
PyObject* g_value = nullptr;

// ---- Sweep, Trace, Value: a name and one data object ----

struct Named {
  PyObject_HEAD
  std::string name;
  PyObject* data;
};

void named_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<Named*>(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(o->data);
  o->name.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

int named_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<Named*>(self)->data);
  return 0;
}

int named_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<Named*>(self)->data);
  return 0;
}

PyObject* named_get_name(PyObject* self, void*) {
  const std::string& name = reinterpret_cast<Named*>(self)->name;
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogatepass");
}

PyObject* named_get_data(PyObject* self, void*) {
  PyObject* data = reinterpret_cast<Named*>(self)->data;
  return Py_NewRef(data != nullptr ? data : Py_None);
}

PyObject* named_repr(PyObject* self) noexcept {
  try {
    std::string quoted = quote_name(reinterpret_cast<Named*>(self)->name);
    const char* cls = Py_TYPE(self)->tp_name;  // "builtins.Sweep": print the bare class name
    if (const char* dot = std::strrchr(cls, '.')) cls = dot + 1;
    std::string text = std::string("<") + cls + " name=" + quoted + ">";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyGetSetDef sweep_getset[] = {
    {"name", named_get_name, nullptr, "", nullptr},
    {"data", named_get_data, nullptr, "The sweep samples as a numpy `float64[N]` array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef trace_getset[] = {
    {"name", named_get_name, nullptr, "", nullptr},
    {"data", named_get_data, nullptr,
     "The trace samples as a numpy array (`float64[N]` or `complex128[N]`).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef value_getset[] = {
    {"name", named_get_name, nullptr, "", nullptr},
    {"data", named_get_data, nullptr,
     "The value: a Python scalar, or a `dict` for a struct-typed value.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kSweepDoc =
    "A swept independent axis (e.g. frequency). `data` is a `float64` numpy array.";
constexpr const char* kTraceDoc =
    "A swept output trace. `data` is a numpy array: flat traces are `float64[N]`\n"
    "or `complex128[N]` (`dtype.names is None`); struct traces (noise) are a\n"
    "structured array of shape `(N,)` with one named float64 field per\n"
    "contribution (`dtype.names is not None`).";
constexpr const char* kValueDoc =
    "A non-swept result (a `dc` operating point). `data` is a Python scalar\n"
    "(`float`/`int`/`complex`/`str`) for a scalar value, or a `dict` of\n"
    "`{field: scalar}` for a struct-typed value (e.g. `dcOpInfo` per-device\n"
    "operating points, whose members mix `float64` with an `Int8` region field).";

// ---- Psf: the header dict and three arrays of result objects ----

struct RefArray {
  PyObject** items;
  Py_ssize_t size;
};

struct PsfObject {
  PyObject_HEAD
  PyObject* header;
  RefArray sweeps;
  RefArray traces;
  RefArray values;
};

void clear_array(RefArray& a) {
  PyObject** items = a.items;
  Py_ssize_t n = a.size;
  a.items = nullptr;
  a.size = 0;
  for (Py_ssize_t i = 0; i < n; ++i) Py_XDECREF(items[i]);
  PyMem_Free(items);
}

int psf_clear(PyObject* self) {
  auto* o = reinterpret_cast<PsfObject*>(self);
  Py_CLEAR(o->header);
  clear_array(o->sweeps);
  clear_array(o->traces);
  clear_array(o->values);
  return 0;
}

void psf_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  psf_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

int psf_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* o = reinterpret_cast<PsfObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(o->header);
  for (const RefArray* a : {&o->sweeps, &o->traces, &o->values})
    for (Py_ssize_t i = 0; i < a->size; ++i) Py_VISIT(a->items[i]);
  return 0;
}

PyObject* list_of(const RefArray& a) {
  PyObject* list = PyList_New(a.size);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < a.size; ++i)
    PyList_SET_ITEM(list, i, Py_NewRef(a.items[i]));  // steals the new reference
  return list;
}

PyObject* psf_get_header(PyObject* self, void*) {
  PyObject* h = reinterpret_cast<PsfObject*>(self)->header;
  return Py_NewRef(h != nullptr ? h : Py_None);
}
PyObject* psf_get_sweeps(PyObject* self, void*) {
  return list_of(reinterpret_cast<PsfObject*>(self)->sweeps);
}
PyObject* psf_get_traces(PyObject* self, void*) {
  return list_of(reinterpret_cast<PsfObject*>(self)->traces);
}
PyObject* psf_get_values(PyObject* self, void*) {
  return list_of(reinterpret_cast<PsfObject*>(self)->values);
}

PyObject* psf_repr(PyObject* self) {
  auto* o = reinterpret_cast<PsfObject*>(self);
  return PyUnicode_FromFormat("<Psf sweeps=%zd traces=%zd values=%zd>", o->sweeps.size,
                              o->traces.size, o->values.size);
}

PyGetSetDef psf_getset[] = {
    {"header", psf_get_header, nullptr,
     "The HEADER property list as a dict (string / int / float values).", nullptr},
    {"sweeps", psf_get_sweeps, nullptr, "The sweep axes (empty for non-swept `dc`).", nullptr},
    {"traces", psf_get_traces, nullptr, "The output traces (empty for non-swept `dc`).", nullptr},
    {"values", psf_get_values, nullptr, "The non-swept scalar values (empty for swept analyses).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Not constructible (no tp_new), not subclassable (no BASETYPE), immutable.
constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                 Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Slot psf_slots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed psfbin file.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(psf_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(psf_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(psf_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(psf_repr)},
    {Py_tp_getset, psf_getset},
    {0, nullptr},
};

#define QUARN_NAMED_SLOTS(doc, getset)                              \
  {                                                                 \
    {Py_tp_doc, const_cast<char*>(doc)},                            \
        {Py_tp_dealloc, reinterpret_cast<void*>(named_dealloc)},    \
        {Py_tp_traverse, reinterpret_cast<void*>(named_traverse)},  \
        {Py_tp_clear, reinterpret_cast<void*>(named_clear)},        \
        {Py_tp_repr, reinterpret_cast<void*>(named_repr)},          \
        {Py_tp_getset, getset}, {0, nullptr},                       \
  }
PyType_Slot sweep_slots[] = QUARN_NAMED_SLOTS(kSweepDoc, sweep_getset);
PyType_Slot trace_slots[] = QUARN_NAMED_SLOTS(kTraceDoc, trace_getset);
PyType_Slot value_slots[] = QUARN_NAMED_SLOTS(kValueDoc, value_getset);
#undef QUARN_NAMED_SLOTS

PyType_Spec psf_spec = {"builtins.Psf", sizeof(PsfObject), 0, kFlags, psf_slots};
PyType_Spec sweep_spec = {"builtins.Sweep", sizeof(Named), 0, kFlags, sweep_slots};
PyType_Spec trace_spec = {"builtins.Trace", sizeof(Named), 0, kFlags, trace_slots};
PyType_Spec value_spec = {"builtins.Value", sizeof(Named), 0, kFlags, value_slots};

// Moves the references into a new PyMem array.
bool to_array(std::vector<Ref>& refs, RefArray& out) {
  out.items = nullptr;
  out.size = 0;
  if (refs.empty()) return true;
  auto* items = static_cast<PyObject**>(PyMem_Malloc(refs.size() * sizeof(PyObject*)));
  if (items == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  for (std::size_t i = 0; i < refs.size(); ++i) items[i] = refs[i].release();
  out.items = items;
  out.size = static_cast<Py_ssize_t>(refs.size());
  refs.clear();
  return true;
}

}  // namespace

bool init() noexcept {
  struct Made {
    PyObject*& slot;
    PyType_Spec* spec;
  };
  for (Made m : {Made{g_psf, &psf_spec}, Made{g_sweep, &sweep_spec}, Made{g_trace, &trace_spec},
                 Made{g_value, &value_spec}}) {
    if (m.slot != nullptr) continue;  // made by an earlier import of this process
    m.slot = PyType_FromSpec(m.spec);
    if (m.slot == nullptr) return false;
  }
  return true;
}

bool adopt() noexcept {
  if (g_psf != nullptr) return true;
  Ref owner = Ref::steal(PyImport_ImportModule("quarn._quarn"));
  if (!owner) return false;
  struct Taken {
    PyObject*& slot;
    const char* name;
    Py_ssize_t size;
  };
  Ref found[4];
  const Taken taken[] = {{g_psf, "Psf", sizeof(PsfObject)},
                         {g_sweep, "Sweep", sizeof(Named)},
                         {g_trace, "Trace", sizeof(Named)},
                         {g_value, "Value", sizeof(Named)}};
  for (std::size_t i = 0; i < 4; ++i) {
    Ref cls = Ref::steal(PyObject_GetAttrString(owner.get(), taken[i].name));
    if (!cls) return false;
    if (!PyType_Check(cls.get()) ||
        reinterpret_cast<PyTypeObject*>(cls.get())->tp_basicsize != taken[i].size) {
      PyErr_Format(PyExc_ImportError, "quarn._quarn.%s is not the class this module was built for",
                   taken[i].name);
      return false;
    }
    found[i] = std::move(cls);
  }
  for (std::size_t i = 0; i < 4; ++i) taken[i].slot = found[i].release();  // kept for the process
  return true;
}

PyObject* psf_type() noexcept { return g_psf; }
PyObject* sweep_type() noexcept { return g_sweep; }
PyObject* trace_type() noexcept { return g_trace; }
PyObject* value_type() noexcept { return g_value; }

Ref make_named(Kind kind, std::string&& name, Ref data) {
  PyObject* type_obj = kind == Kind::Sweep ? g_sweep : kind == Kind::Trace ? g_trace : g_value;
  auto* type = reinterpret_cast<PyTypeObject*>(type_obj);
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return {};
  auto* o = reinterpret_cast<Named*>(obj.get());
  new (&o->name) std::string(std::move(name));
  o->data = data.release();
  return obj;
}

Ref make_psf(std::vector<Ref>&& sweeps, std::vector<Ref>&& traces, std::vector<Ref>&& values,
             Ref header) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_psf);
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return {};
  auto* o = reinterpret_cast<PsfObject*>(obj.get());
  o->header = header.release();
  if (!to_array(sweeps, o->sweeps) || !to_array(traces, o->traces) ||
      !to_array(values, o->values))
    return {};
  return obj;
}

}  // namespace quarn::result_types
