// BatchReader(workers, window): the batch reader for the package's read_many.
// take() keeps the reader fed with paths from the caller's iterator and hands
// out the earliest result: it waits for the outcome with the interpreter lock
// released and converts it on the calling thread. A small file is only read by
// the workers: take() parses it, still without the lock, on the thread that
// converts it. One call a file does what the package's loop would otherwise do
// in Python. Or feed() takes the paths from the iterator on a thread of its
// own, and take() hands out the results as they come.
#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
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

// The most workers a BatchReader starts.
constexpr Py_ssize_t kMostWorkers = 1024;

// A path taken from the caller's iterator, in the order of the results: the
// exception its conversion raised, or none (it is queued in the reader). Or,
// with `raise`, the exception the iterator itself raised, to be raised in its
// place after the results before it.
struct Pending {
  Ref path;
  Ref failure;
  bool raise = false;
};

// How feed() tells take() that it added to `pending`. The deque itself is
// only touched with the interpreter lock held.
struct Fed {
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<std::uint64_t> count{0};
};

struct BatchObject {
  PyObject_HEAD
  batch::Reader* reader;
  std::deque<Pending>* pending;
  Fed* fed;
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
  static const char* keywords[] = {"workers", "window", "backlog", "read_ahead_bytes", nullptr};
  Py_ssize_t workers = 0, window = 0, backlog = 0;
  unsigned long long bytes = UINT64_MAX;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nn|nK:BatchReader", const_cast<char**>(keywords),
                                   &workers, &window, &backlog, &bytes))
    return nullptr;
  if (workers < 1 || workers > kMostWorkers || window < 1 || backlog < 0 || bytes < 1) {
    PyErr_SetString(PyExc_ValueError,
                    "workers must be 1 to 1024, window and read_ahead_bytes at least 1, "
                    "backlog at least 0");
    return nullptr;
  }
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    auto* obj = reinterpret_cast<BatchObject*>(self.get());
    obj->pending = new std::deque<Pending>;
    obj->fed = new Fed;
    obj->exhausted = false;
    obj->reader = new batch::Reader(
        static_cast<unsigned>(workers), static_cast<std::size_t>(window),
        static_cast<std::size_t>(backlog), batch::read_ahead, batch::load_if_small, bytes);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::system_error& e) {
    PyErr_Format(PyExc_RuntimeError, "cannot start the batch workers: %s", e.what());
    return nullptr;
  }
  return self.release();
}

// A thread that takes the interpreter lock again while the interpreter is
// finalizing (a daemon thread at exit) is ended by pthread_exit, which unwinds
// its stack with abi::__forced_unwind: the functions that release the lock
// below are not noexcept, and rethrow it wherever they catch everything.
// Nothing of Python may be touched then: a reference held is leaked.

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
  delete obj->fed;
  type->tp_free(self);
  Py_DECREF(type);
}

// The earliest outcome, converted: waits with the interpreter lock released,
// looking for signals (Ctrl-C) between waits. nullptr with an exception set:
// the file's MemoryError when its load ran out of memory, or, with `ended`
// set, what a signal handler raised (the outcome stays queued).
PyObject* next_result(batch::Reader* reader, bool& ended) try {
  ended = false;
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
    ended = true;
    if (reader->outstanding() == 0) {  // closed meanwhile by another thread
      PyErr_SetString(PyExc_RuntimeError, "the batch reader was closed");
      return nullptr;
    }
    if (PyErr_CheckSignals() < 0) return nullptr;
    ended = false;
  }
  if (!*outcome) return driver::raise_failure(*outcome);
  return driver::records_to_py(std::move(**outcome)).release();
} catch (const std::bad_alloc&) {
  return PyErr_NoMemory();
} catch (abi::__forced_unwind&) {
  throw;
} catch (...) {
  PyErr_SetString(PyExc_SystemError, "quarn: unexpected internal failure");
  return nullptr;
}

// Whether the pending exception is an Exception (a file's own failure), not
// KeyboardInterrupt or another that ends the iteration.
bool pending_is_exception() noexcept { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Waits, with the interpreter lock released, until feed() adds to `pending`
// or ends; false with an exception set when a signal handler raised one or the
// reader was closed.
bool wait_fed(BatchObject* obj) {
  while (obj->pending->empty() && !obj->exhausted) {
    Fed& fed = *obj->fed;
    const std::uint64_t seen = fed.count.load();
    Py_BEGIN_ALLOW_THREADS
    {  // unlocked before the interpreter lock is taken again
      std::unique_lock lock(fed.mutex);
      fed.cv.wait_for(lock, kSignalCheck, [&] { return fed.count.load() != seen; });
    }
    Py_END_ALLOW_THREADS
    if (PyErr_CheckSignals() < 0) return false;
    if (obj->pending->empty() && !obj->exhausted && obj->reader->stopped()) {
      PyErr_SetString(PyExc_RuntimeError, "the batch reader was closed");
      return false;
    }
  }
  return true;
}

// Tells take() that `pending` or `exhausted` changed. Called with the
// interpreter lock held, after the change.
void notify_fed(BatchObject* obj) {
  Fed& fed = *obj->fed;
  {
    const std::lock_guard lock(fed.mutex);
    fed.count.fetch_add(1);
  }
  fed.cv.notify_all();
}

// Queues a path taken from the iterator: submitted to the reader, or its
// conversion's exception in its place. False with an exception set when the
// reader refused it (full or closed) or the conversion raised what is not an
// Exception.
bool queue_path(BatchObject* obj, Ref path) {
  std::string bytes;
  std::deque<Pending>& pending = *obj->pending;
  if (!convert_path(path.get(), bytes)) {
    if (!pending_is_exception()) return false;
    pending.push_back(Pending{std::move(path), take_exception()});
    return true;
  }
  if (!obj->reader->submit(std::move(bytes))) {
    PyErr_SetString(PyExc_RuntimeError, "the batch reader is full or closed");
    return false;
  }
  pending.push_back(Pending{std::move(path), Ref{}});
  return true;
}

// The end of the iterator: its exception, if it raised an Exception, is
// queued to be raised after the results before it. False when it raised
// another exception (KeyboardInterrupt), which is raised at once.
bool end_of_paths(BatchObject* obj) {
  obj->exhausted = true;
  if (!PyErr_Occurred()) return true;
  if (!pending_is_exception()) return false;
  obj->pending->push_back(Pending{Ref{}, take_exception(), true});
  return true;
}

// take(paths, queued): queues paths from the iterator `paths` until `queued`
// are taken from it and not yet handed out, then hands out the earliest: its
// Psf, or (path, exception) when it failed, or None when the iterator is
// done and everything is handed out. With `paths` None the paths come from
// feed() on another thread, and take() waits for them. An exception the
// iterator raised is raised in its place; one that is not an Exception
// (KeyboardInterrupt), or that a signal handler raises while take() waits, is
// raised at once, and the results not handed out stay in place.
PyObject* batch_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
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
    if (args[0] == Py_None) {
      if (!wait_fed(obj)) return nullptr;
    } else {
      while (!obj->exhausted && static_cast<Py_ssize_t>(pending.size()) < queued) {
        Ref path = Ref::steal(PyIter_Next(args[0]));
        if (!path) {
          if (!end_of_paths(obj)) return nullptr;
          break;
        }
        if (!queue_path(obj, std::move(path))) return nullptr;
      }
    }
    if (pending.empty()) Py_RETURN_NONE;
    Pending item = std::move(pending.front());
    pending.pop_front();
    if (item.raise) {
      restore_exception(std::move(item.failure));
      return nullptr;
    }
    if (!item.failure) {
      bool ended = false;
      PyObject* result = nullptr;
      try {
        result = next_result(reader, ended);
      } catch (abi::__forced_unwind&) {
        (void)item.path.release();
        throw;
      }
      if (result != nullptr) return result;
      if (ended) {  // not this file's failure: it stays first
        pending.push_front(std::move(item));
        return nullptr;
      }
      if (!pending_is_exception()) return nullptr;
      item.failure = take_exception();
    }
    return PyTuple_Pack(2, item.path.get(), item.failure.get());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quarn: unexpected internal failure");
    return nullptr;
  }
}

// feed(paths): takes paths from the iterator `paths` as the reader has room
// for them and queues them for take(), until the iterator ends or raises, or
// the reader is closed. Runs on a thread of its own; returns None.
PyObject* batch_feed(PyObject* self, PyObject* paths) {
  auto* obj = reinterpret_cast<BatchObject*>(self);
  bool ok = true;
  try {
    batch::Reader* reader = usable(self);
    if (reader == nullptr) return nullptr;
    for (;;) {
      bool room = false;
      while (!room) {
        Py_BEGIN_ALLOW_THREADS
        room = reader->wait_room(kSignalCheck);
        Py_END_ALLOW_THREADS
        if (!room && reader->stopped()) break;
      }
      if (!room) break;
      Ref path = Ref::steal(PyIter_Next(paths));
      if (!path) {
        // Whatever the iterator raised goes to take(), in its place: no
        // signal handler runs on this thread.
        if (PyErr_Occurred()) obj->pending->push_back(Pending{Ref{}, take_exception(), true});
        break;
      }
      if (reader->stopped()) break;
      if (!queue_path(obj, std::move(path))) {
        ok = false;
        break;
      }
      notify_fed(obj);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    ok = false;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quarn: unexpected internal failure");
    ok = false;
  }
  if (!ok && PyErr_Occurred()) {
    // take() raises it in place of the next path.
    obj->pending->push_back(Pending{Ref{}, take_exception(), true});
  }
  obj->exhausted = true;
  notify_fed(obj);
  Py_RETURN_NONE;
}

PyObject* batch_close(PyObject* self, PyObject*) {
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
    {"feed", batch_feed, METH_O,
     "feed(paths)\n--\n\nTakes paths from the iterator `paths` as the workers have room for "
     "them, for take(None, 0) to hand out their results; returns at the end of the paths or "
     "when the reader is closed. Runs on a thread of its own."},
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
                    "BatchReader(workers, window, backlog=0, read_ahead_bytes=2**64-1)\n--\n\n"
                    "Reads psfbin files on `workers` threads, at most `window` files read "
                    "ahead of the caller (a small file, read and not yet parsed, counts a "
                    "quarter: take() parses it) and at most `read_ahead_bytes` of larger "
                    "files, with `backlog` more paths queued, and hands out their results in "
                    "the order the paths were queued.")},
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
