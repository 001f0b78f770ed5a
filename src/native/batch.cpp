// BatchReader(workers, window): the batch reader for the package's read_many.
// take() keeps the reader fed with paths from the caller's iterator and hands
// out the earliest result: it waits for the outcome with the interpreter lock
// released and converts it on the calling thread. A small file is only read by
// the workers: take() parses it, still without the lock, on the thread that
// converts it. One call a file does what the package's loop would otherwise do
// in Python.
#include <chrono>
#include <deque>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "batch/reader.h"
#include "driver/assemble.h"
#include "module/path_arg.h"
#include "module/raise.h"
#include "native/features.h"

namespace quarn::native {
namespace {

// How long next() waits with the lock released before it looks for pending
// signals (Ctrl-C) again.
constexpr std::chrono::milliseconds kSignalCheck{50};

// A path taken from the caller's iterator, in the order of the results: the
// exception its conversion raised, or none (it is queued in the reader).
struct Pending {
  Ref path;
  Ref failure;
};

struct BatchObject {
  PyObject_HEAD
  batch::Reader* reader;
  std::deque<Pending>* pending;
  bool exhausted;  // the iterator has no more paths
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
    auto* obj = reinterpret_cast<BatchObject*>(self.get());
    obj->pending = new std::deque<Pending>;
    obj->exhausted = false;
    obj->reader =
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
  auto* obj = reinterpret_cast<BatchObject*>(self);
  if (batch::Reader* reader = obj->reader) {
    if (!reader->orphaned()) stop(reader);
    delete reader;  // an orphan abandons its state instead of freeing it
  }
  delete obj->pending;
  type->tp_free(self);
  Py_DECREF(type);
}

// The earliest outcome, converted: waits with the interpreter lock released,
// looking for signals (Ctrl-C) between waits. nullptr with an exception set:
// the file's MemoryError when its load ran out of memory.
PyObject* next_result(batch::Reader* reader) noexcept try {
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
    if (reader->outstanding() == 0) {  // closed meanwhile by another thread
      PyErr_SetString(PyExc_RuntimeError, "the batch reader was closed");
      return nullptr;
    }
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
  if (!*outcome) return driver::raise_failure(*outcome);
  return driver::records_to_py(std::move(**outcome)).release();
} catch (const std::bad_alloc&) {
  return PyErr_NoMemory();
} catch (...) {
  PyErr_SetString(PyExc_SystemError, "quarn: unexpected internal failure");
  return nullptr;
}

// Whether the pending exception is an Exception (a file's own failure), not
// KeyboardInterrupt or another that ends the iteration.
bool pending_is_exception() noexcept { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// take(paths, queued): queues paths from the iterator `paths` until `queued`
// are taken from it and not yet handed out, then hands out the earliest: its
// Psf, or (path, exception) when it failed, or None when the iterator is
// done and everything is handed out. An exception the iterator raises, and
// one that is not an Exception, is raised instead.
PyObject* batch_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "take() takes an iterator of paths and a count");
      return nullptr;
    }
    batch::Reader* reader = usable(self);
    if (reader == nullptr) return nullptr;
    auto* obj = reinterpret_cast<BatchObject*>(self);
    const Py_ssize_t queued = PyLong_AsSsize_t(args[1]);
    if (queued == -1 && PyErr_Occurred()) return nullptr;
    std::deque<Pending>& pending = *obj->pending;
    while (!obj->exhausted && static_cast<Py_ssize_t>(pending.size()) < queued) {
      Ref path = Ref::steal(PyIter_Next(args[0]));
      if (!path) {
        if (PyErr_Occurred()) return nullptr;
        obj->exhausted = true;
        break;
      }
      std::string bytes;
      if (!convert_path(path.get(), bytes)) {
        if (!pending_is_exception()) return nullptr;
        pending.push_back(Pending{std::move(path), take_exception()});
        continue;
      }
      if (!reader->submit(std::move(bytes))) {
        PyErr_SetString(PyExc_RuntimeError, "the batch reader is full or closed");
        return nullptr;
      }
      pending.push_back(Pending{std::move(path), Ref{}});
    }
    if (pending.empty()) Py_RETURN_NONE;
    Pending item = std::move(pending.front());
    pending.pop_front();
    if (!item.failure) {
      if (PyObject* result = next_result(reader)) return result;
      if (!pending_is_exception()) return nullptr;
      item.failure = take_exception();
    }
    return PyTuple_Pack(2, item.path.get(), item.failure.get());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quarn: unexpected internal failure");
    return nullptr;
  }
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
    {"take", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_take)),
     METH_FASTCALL,
     "take(paths, queued)\n--\n\nQueues paths from the iterator `paths` (up to `queued` "
     "ahead) and hands out the earliest result: its Psf, (path, exception) when it failed, "
     "or None at the end."},
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
                    "quarter: take() parses it) with `backlog` more paths queued, and hands "
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
