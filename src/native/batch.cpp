// BatchReader(workers, window): the batch reader for the package's read_many.
// Paths go in with submit(); next() waits for the earliest outcome with the
// interpreter lock released and converts it on the calling thread. A small
// file is only read by the workers: next() parses it, still without the lock,
// on the thread that converts it.
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "batch/reader.h"
#include "driver/assemble.h"
#include "module/path_arg.h"
#include "native/features.h"

namespace quarn::native {
namespace {

// How long next() waits with the lock released before it looks for pending
// signals (Ctrl-C) again.
constexpr std::chrono::milliseconds kSignalCheck{50};

struct BatchObject {
  PyObject_HEAD
  batch::Reader* reader;
};

batch::Reader* usable(PyObject* self) {
  batch::Reader* reader = reinterpret_cast<BatchObject*>(self)->reader;
  if (reader->orphaned()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this batch reader belongs to the process that made it (before a fork)");
    return nullptr;
  }
  return reader;
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"workers", "window", "backlog", nullptr};
  unsigned int workers = 0;
  Py_ssize_t window = 0, backlog = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "In|n:BatchReader", const_cast<char**>(keywords),
                                   &workers, &window, &backlog))
    return nullptr;
  if (workers < 1 || window < 1 || backlog < 0) {
    PyErr_SetString(PyExc_ValueError, "workers and window must be at least 1, backlog at least 0");
    return nullptr;
  }
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    reinterpret_cast<BatchObject*>(self.get())->reader =
        new batch::Reader(workers, static_cast<std::size_t>(window),
                          static_cast<std::size_t>(backlog), batch::read_ahead,
                          batch::load_if_small);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::system_error& e) {
    PyErr_Format(PyExc_RuntimeError, "cannot start the batch workers: %s", e.what());
    return nullptr;
  }
  return self.release();
}

void stop(batch::Reader* reader) {
  Py_BEGIN_ALLOW_THREADS
  reader->stop();
  Py_END_ALLOW_THREADS
}

void batch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (batch::Reader* reader = reinterpret_cast<BatchObject*>(self)->reader) {
    if (!reader->orphaned()) stop(reader);
    delete reader;  // an orphan abandons its state instead of freeing it
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* batch_submit(PyObject* self, PyObject* arg) noexcept {
  try {
    batch::Reader* reader = usable(self);
    if (reader == nullptr) return nullptr;
    std::string path;
    if (!convert_path(arg, path)) return nullptr;
    if (!reader->submit(std::move(path))) {
      PyErr_SetString(PyExc_RuntimeError, "the batch reader is full or closed");
      return nullptr;
    }
    Py_RETURN_NONE;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* batch_next(PyObject* self, PyObject*) noexcept {
  try {
    batch::Reader* reader = usable(self);
    if (reader == nullptr) return nullptr;
    if (reader->outstanding() == 0) {
      PyErr_SetString(PyExc_RuntimeError, "nothing submitted to the batch reader");
      return nullptr;
    }
    std::optional<batch::Outcome> outcome;
    std::exception_ptr thrown;
    for (;;) {
      Py_BEGIN_ALLOW_THREADS
      try {
        outcome = reader->next(kSignalCheck);
      } catch (...) {
        thrown = std::current_exception();
      }
      Py_END_ALLOW_THREADS
      if (thrown) std::rethrow_exception(thrown);
      if (outcome) break;
      if (PyErr_CheckSignals() < 0) return nullptr;
      if (reader->outstanding() == 0) {  // closed meanwhile by another thread
        PyErr_SetString(PyExc_RuntimeError, "the batch reader was closed");
        return nullptr;
      }
    }
    if (!*outcome) return driver::raise_failure(*outcome);
    return driver::records_to_py(std::move(**outcome)).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quarn: unexpected internal failure");
    return nullptr;
  }
}

PyObject* batch_room(PyObject* self, PyObject*) noexcept {
  batch::Reader* reader = usable(self);
  return reader == nullptr ? nullptr : PyLong_FromSize_t(reader->room());
}

PyObject* batch_close(PyObject* self, PyObject*) noexcept {
  batch::Reader* reader = reinterpret_cast<BatchObject*>(self)->reader;
  if (!reader->orphaned()) stop(reader);
  Py_RETURN_NONE;
}

PyObject* batch_get_workers(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(reinterpret_cast<BatchObject*>(self)->reader->workers());
}

PyMethodDef batch_methods[] = {
    {"submit", batch_submit, METH_O,
     "submit(path)\n--\n\nQueues a path after those queued before (room() must be > 0)."},
    {"next", batch_next, METH_NOARGS,
     "next()\n--\n\nThe Psf of the earliest path not yet taken, or its exception."},
    {"room", batch_room, METH_NOARGS, "room()\n--\n\nHow many more paths may be queued now."},
    {"close", batch_close, METH_NOARGS,
     "close()\n--\n\nStops the workers (each finishes the file it is on) and joins them."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"workers", batch_get_workers, nullptr, "The number of worker threads.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "BatchReader(workers, window, backlog=0)\n--\n\n"
                    "Reads psfbin files on `workers` threads, at most `window` files read "
                    "ahead of the caller (a small file, read and not yet parsed, counts a "
                    "quarter: next() parses it) with `backlog` more paths queued, and hands "
                    "out their results in the order the paths were queued.")},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {0, nullptr},
};

PyType_Spec batch_spec = {"quarn._native.BatchReader", sizeof(BatchObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, batch_slots};

}  // namespace

bool register_batch(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &batch_spec, nullptr));
  return type && PyModule_AddObjectRef(module, "BatchReader", type.get()) == 0;
}

}  // namespace quarn::native
