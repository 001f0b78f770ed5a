// LazyFile(path): a file kept open and mapped, its structure walked once,
// whose sweeps and traces are decoded one at a time, whole or in part.
//
//   f = LazyFile(path)        # raises exactly what read_psf(path) raises
//   f.header                  # the dict read_psf gives
//   f.series                  # [(name, dtype, points, properties, group)], sweeps then traces
//   f.sweep_count             # how many of them are sweeps
//   f.values                  # [(name, data, properties, group)]
//   f.value_types             # [the name of each value's type, "" if none]
//   f.member_properties       # [[{...} per struct member] per series, then per value]
//   f.read(i, start, stop)    # points [start, stop) of series i, as read_psf makes arrays
//   f.select([i, ...])        # a Psf of the header, the values and series i, ... read whole
//   f.identity                # (device, inode, size, mtime_ns) of the file opened
//   f.close(); f.closed
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver/assemble.h"
#include "driver/lazy_file.h"
#include "module/path_arg.h"
#include "module/raise.h"
#include "module/result_types.h"
#include "native/features.h"
#include "native/without_lock.h"
#include "numpy_bridge/bridge.h"

namespace quarn::native {
namespace {

struct LazyObject {
  PyObject_HEAD
  // Null once closed. Reads decode without the interpreter lock, holding
  // `lock` shared and finding the file still there; close() clears the
  // pointer first and frees the file under the lock held exclusively, so the
  // mapping never goes away under a read.
  std::atomic<driver::LazyFile*> file;
  std::vector<const driver::LazySeries*>* series;  // sweeps, then traces
  Py_ssize_t sweep_count;
  std::shared_mutex* lock;
  unsigned forks;  // g_forks when `lock` was made
  PyObject* header;
  PyObject* series_info;
  PyObject* values;
  PyObject* value_types;
  PyObject* member_properties;
};

PyObject* g_lazy_type = nullptr;

// Counted in the child of every fork(). A file inherited across a fork may
// have had reads in flight on threads of the parent, which the child does not
// have: the lock they held stays taken in the child for ever.
std::atomic<unsigned> g_forks{0};
void count_fork() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, count_fork);

// Called with the interpreter lock held before the lock is used: in a child
// of a fork since it was made, the object takes a new lock (the old one, in
// whatever state the fork left it, is left behind), so that neither a read
// nor close() waits for a thread that is not there. Every thread of the
// child passes here first, under the interpreter lock, so none holds the old.
void adopt_after_fork(LazyObject* self) {
  const unsigned forks = g_forks.load(std::memory_order_relaxed);
  if (self->lock == nullptr || self->forks == forks) return;
  self->lock = new std::shared_mutex;  // LCOV_EXCL_BR_LINE: allocation failure throws
  self->forks = forks;
}

PyObject* closed_error() noexcept {
  PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
  return nullptr;
}

// The group as Python sees it: None outside groups.
Ref group_to_py(const std::string& group) {
  if (group.empty()) return Ref::borrow(Py_None);
  return Ref::steal(
      PyUnicode_FromStringAndSize(group.data(), static_cast<Py_ssize_t>(group.size())));
}

// A struct type's members' property lists as a list of dicts ([] for other types).
Ref members_to_py(const std::vector<PropertyList>& members) {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return out;
  for (const PropertyList& list : members) {
    Ref props = driver::properties_to_py(PropertyList(list));
    if (!props || PyList_Append(out.get(), props.get()) < 0) return Ref::steal(nullptr);
  }
  return out;
}

// The Python objects of a newly walked file, in the order read_psf makes
// them, so a conversion that fails fails as it does there.
bool convert(LazyObject* self, driver::LazyIndex& index) {
  Ref header = driver::properties_to_py(std::move(index.header));
  if (!header) return false;
  Ref info = Ref::steal(PyList_New(0));
  Ref member_properties = Ref::steal(PyList_New(0));
  if (!info || !member_properties) return false;
  // One dtype per kind: real, complex, and each struct type's member list.
  Ref real, complex;
  std::unordered_map<const void*, Ref> structs;
  for (const driver::LazySeries* s : *self->series) {
    const auto* st = std::get_if<Series::Struct>(&s->kind.v);
    Ref& slot = st != nullptr ? structs[st->members.get()]
                : std::holds_alternative<Series::Real>(s->kind.v) ? real
                                                                  : complex;
    if (!slot) slot = numpy_bridge::dtype_of(s->kind);
    if (!slot) return false;
    Ref dtype = Ref::borrow(slot.get());
    Ref props = driver::properties_to_py(PropertyList(s->details.properties));
    Ref group = group_to_py(s->details.group);
    if (!props || !group) return false;
    Ref item = Ref::steal(Py_BuildValue("(s#OKOO)", s->name.data(),
                                        static_cast<Py_ssize_t>(s->name.size()), dtype.get(),
                                        static_cast<unsigned long long>(s->layout.points),
                                        props.get(), group.get()));
    if (!item || PyList_Append(info.get(), item.get()) < 0) return false;
    Ref members = members_to_py(s->details.member_properties);
    if (!members || PyList_Append(member_properties.get(), members.get()) < 0) return false;
  }
  Ref values = Ref::steal(PyList_New(0));
  Ref value_types = Ref::steal(PyList_New(0));
  if (!values || !value_types) return false;
  numpy_bridge::StructKeys struct_keys;
  for (std::size_t i = 0; i < index.values.size(); ++i) {
    NamedScalar& v = index.values[i];
    Ref data = numpy_bridge::scalar_to_py(std::move(v.value), struct_keys);
    if (!data) return false;
    Ref props = driver::properties_to_py(std::move(index.value_details[i].properties));
    Ref group = group_to_py(index.value_details[i].group);
    if (!props || !group) return false;
    Ref item = Ref::steal(Py_BuildValue("(s#OOO)", v.name.data(),
                                        static_cast<Py_ssize_t>(v.name.size()), data.get(),
                                        props.get(), group.get()));
    if (!item || PyList_Append(values.get(), item.get()) < 0) return false;
    const std::string& type_name = index.value_details[i].type_name;
    Ref kind = Ref::steal(PyUnicode_FromStringAndSize(type_name.data(),
                                                      static_cast<Py_ssize_t>(type_name.size())));
    if (!kind || PyList_Append(value_types.get(), kind.get()) < 0) return false;
    Ref members = members_to_py(index.value_details[i].member_properties);
    if (!members || PyList_Append(member_properties.get(), members.get()) < 0) return false;
  }
  index.values.clear();
  self->header = header.release();
  self->series_info = info.release();
  self->values = values.release();
  self->value_types = value_types.release();
  self->member_properties = member_properties.release();
  return true;
}

void release_file(LazyObject* self) noexcept {
  delete self->series;
  self->series = nullptr;
  delete self->file.exchange(nullptr);
}

int lazy_init(PyObject* obj, PyObject* args, PyObject* kwargs) noexcept {
  auto* self = reinterpret_cast<LazyObject*>(obj);
  try {
    static const char* keywords[] = {"path", nullptr};
    PyObject* arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LazyFile", const_cast<char**>(keywords),
                                     &arg))
      return -1;
    if (self->lock != nullptr) {
      PyErr_SetString(PyExc_TypeError, "LazyFile is already initialised");
      return -1;
    }
    std::string path;
    if (!convert_path(arg, path)) return -1;
    Result<driver::LazyFile> opened = Failure{};
    without_lock([&] { opened = driver::LazyFile::open(path); });
    if (!opened) {
      driver::raise_failure(opened);
      return -1;
    }
    self->lock = new std::shared_mutex;
    self->forks = g_forks.load(std::memory_order_relaxed);
    self->file = new driver::LazyFile(std::move(*opened));
    driver::LazyIndex& index = self->file.load()->index();
    self->series = new std::vector<const driver::LazySeries*>;
    for (const auto& s : index.sweeps) self->series->push_back(&s);
    self->sweep_count = static_cast<Py_ssize_t>(index.sweeps.size());
    for (const auto& s : index.traces) self->series->push_back(&s);
    if (!convert(self, self->file.load()->index())) {
      release_file(self);
      return -1;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    release_file(self);
    PyErr_NoMemory();
    return -1;
  }
}

void lazy_dealloc(PyObject* obj) noexcept {
  auto* self = reinterpret_cast<LazyObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  release_file(self);
  delete self->lock;
  Py_CLEAR(self->header);
  Py_CLEAR(self->series_info);
  Py_CLEAR(self->values);
  Py_CLEAR(self->value_types);
  Py_CLEAR(self->member_properties);
  type->tp_free(obj);
  Py_DECREF(type);
}

int lazy_traverse(PyObject* obj, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<LazyObject*>(obj);
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(self->header);
  Py_VISIT(self->series_info);
  Py_VISIT(self->values);
  Py_VISIT(self->value_types);
  Py_VISIT(self->member_properties);
  return 0;
}

// Points [start, stop) of series `which` as an array, decoded without the
// interpreter lock; nullptr with the exception set.
Ref read_range(LazyObject* self, std::size_t which, std::uint64_t start, std::uint64_t stop) {
  const driver::LazySeries& series = *(*self->series)[which];
  Result<Series> got = Failure{};
  bool closed = false;
  without_lock([&] {
    std::shared_lock hold(*self->lock);
    if (const driver::LazyFile* file = self->file.load(); file == nullptr)
      closed = true;
    else
      got = file->read(series, start, stop);
  });
  if (closed) return Ref::steal(closed_error());
  if (!got) return Ref::steal(driver::raise_failure(got));
  return numpy_bridge::series_to_py(std::move(*got));
}

// The whole array of series `which`.
Ref read_whole(LazyObject* self, std::size_t which) {
  return read_range(self, which, 0, (*self->series)[which]->layout.points);
}

PyObject* lazy_read(PyObject* obj, PyObject* args) noexcept {
  auto* self = reinterpret_cast<LazyObject*>(obj);
  try {
    Py_ssize_t which;
    unsigned long long start, stop;
    if (!PyArg_ParseTuple(args, "nKK:read", &which, &start, &stop)) return nullptr;
    if (self->file == nullptr) return closed_error();
    if (which < 0 || static_cast<std::size_t>(which) >= self->series->size()) {
      PyErr_SetString(PyExc_IndexError, "series index out of range");
      return nullptr;
    }
    adopt_after_fork(self);
    const driver::LazySeries& series = *(*self->series)[static_cast<std::size_t>(which)];
    if (start > stop || stop > series.layout.points) {
      PyErr_Format(PyExc_IndexError, "points [%llu, %llu) out of range for %llu points", start,
                   stop, static_cast<unsigned long long>(series.layout.points));
      return nullptr;
    }
    return read_range(self, static_cast<std::size_t>(which), start, stop).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* lazy_select(PyObject* obj, PyObject* arg) noexcept {
  auto* self = reinterpret_cast<LazyObject*>(obj);
  try {
    if (self->file.load() == nullptr) return closed_error();
    adopt_after_fork(self);
    Ref items = Ref::steal(PySequence_Fast(arg, "select() takes a sequence of series indices"));
    if (!items) return nullptr;
    std::vector<Ref> sweeps, traces, values;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
      const Py_ssize_t which = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(items.get(), k));
      if (which == -1 && PyErr_Occurred()) return nullptr;
      if (which < 0 || static_cast<std::size_t>(which) >= self->series->size()) {
        PyErr_SetString(PyExc_IndexError, "series index out of range");
        return nullptr;
      }
      Ref data = read_whole(self, static_cast<std::size_t>(which));
      if (!data) return nullptr;
      const bool sweep = which < self->sweep_count;
      Ref named = result_types::make_named(
          sweep ? result_types::Kind::Sweep : result_types::Kind::Trace,
          std::string((*self->series)[static_cast<std::size_t>(which)]->name), std::move(data));
      if (!named) return nullptr;
      (sweep ? sweeps : traces).push_back(std::move(named));
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(self->values); ++k) {
      PyObject* item = PyList_GET_ITEM(self->values, k);  // (name, data, properties, group)
      Py_ssize_t size = 0;
      const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(item, 0), &size);
      if (name == nullptr) return nullptr;
      Ref named = result_types::make_named(result_types::Kind::Value,
                                           std::string(name, static_cast<std::size_t>(size)),
                                           Ref::borrow(PyTuple_GET_ITEM(item, 1)));
      if (!named) return nullptr;
      values.push_back(std::move(named));
    }
    Ref header = Ref::steal(PyDict_Copy(self->header));
    if (!header) return nullptr;
    return result_types::make_psf(std::move(sweeps), std::move(traces), std::move(values),
                                  std::move(header))
        .release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* lazy_close(PyObject* obj, PyObject*) noexcept {
  auto* self = reinterpret_cast<LazyObject*>(obj);
  try {
    adopt_after_fork(self);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  driver::LazyFile* file = self->file.exchange(nullptr);
  if (file == nullptr) Py_RETURN_NONE;
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock hold(*self->lock);  // waits for the reads in flight
    delete file;                         // unmaps and closes
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

// A reference to an attribute made at open (None before a successful open).
PyObject* made(PyObject* attr) noexcept { return Py_NewRef(attr != nullptr ? attr : Py_None); }

PyObject* get_header(PyObject* obj, void*) noexcept {
  return made(reinterpret_cast<LazyObject*>(obj)->header);
}
PyObject* get_series(PyObject* obj, void*) noexcept {
  return made(reinterpret_cast<LazyObject*>(obj)->series_info);
}
PyObject* get_values(PyObject* obj, void*) noexcept {
  return made(reinterpret_cast<LazyObject*>(obj)->values);
}
PyObject* get_value_types(PyObject* obj, void*) noexcept {
  return made(reinterpret_cast<LazyObject*>(obj)->value_types);
}
PyObject* get_member_properties(PyObject* obj, void*) noexcept {
  return made(reinterpret_cast<LazyObject*>(obj)->member_properties);
}
PyObject* get_sweep_count(PyObject* obj, void*) noexcept {
  return PyLong_FromSsize_t(reinterpret_cast<LazyObject*>(obj)->sweep_count);
}
PyObject* get_identity(PyObject* obj, void*) noexcept {
  auto* self = reinterpret_cast<LazyObject*>(obj);
  const driver::LazyFile* file = self->file.load();
  if (file == nullptr) return closed_error();
  const MappedFile::Identity& id = file->identity();
  return Py_BuildValue("(KKKL)", static_cast<unsigned long long>(id.device),
                       static_cast<unsigned long long>(id.inode),
                       static_cast<unsigned long long>(id.size),
                       static_cast<long long>(id.mtime_ns));
}
PyObject* get_closed(PyObject* obj, void*) noexcept {
  return PyBool_FromLong(reinterpret_cast<LazyObject*>(obj)->file.load() == nullptr);
}

PyMethodDef lazy_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lazy_read)), METH_VARARGS,
     "read(i, start, stop)\n--\n\nPoints [start, stop) of series i (sweeps, then traces) as a "
     "new array, decoded without the interpreter lock."},
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lazy_select)), METH_O,
     "select(indices)\n--\n\nA Psf of the header, the values and the series of `indices` "
     "(sweeps, then traces, in the order given), each read whole."},
    {"close", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lazy_close)),
     METH_NOARGS, "close()\n--\n\nUnmaps and closes the file; later reads raise ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef lazy_getset[] = {
    {"header", get_header, nullptr, "The HEADER properties, as read_psf gives them.", nullptr},
    {"series", get_series, nullptr,
     "(name, dtype, points, properties, group) of every sweep, then every trace.", nullptr},
    {"sweep_count", get_sweep_count, nullptr, "How many of `series` are sweeps.", nullptr},
    {"values", get_values, nullptr, "(name, data, properties, group) of every value.", nullptr},
    {"identity", get_identity, nullptr,
     "(device, inode, size, mtime_ns) of the file when it was opened.", nullptr},
    {"value_types", get_value_types, nullptr,
     "The name of each value's declared type (the device kind of an operating point).",
     nullptr},
    {"member_properties", get_member_properties, nullptr,
     "Per series, then per value: its struct type's members' property dicts ([] if none).",
     nullptr},
    {"closed", get_closed, nullptr, "Whether the file is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lazy_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(lazy_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lazy_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(lazy_traverse)},
    {Py_tp_methods, lazy_methods},
    {Py_tp_getset, lazy_getset},
    {Py_tp_doc, const_cast<char*>("LazyFile(path)\n--\n\nA psfbin file kept open; its series "
                                  "are decoded when read. See quarn.open_psf.")},
    {0, nullptr},
};

PyType_Spec lazy_spec = {
    "quarn._native.LazyFile", sizeof(LazyObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, lazy_slots,
};

}  // namespace

bool register_lazy(PyObject* module) {
  if (g_lazy_type == nullptr) {
    g_lazy_type = PyType_FromSpec(&lazy_spec);
    if (g_lazy_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "LazyFile", g_lazy_type) == 0;
}

}  // namespace quarn::native
