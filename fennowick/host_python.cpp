// Host interface for the extension module: the core waits by handing the
// interpreter lock to other threads, and allocates its process-local arrays
// from the interpreter's allocator.
//
// While the interpreter finalizes, a thread that gives the lock up may never
// get it back (CPython ends such threads), so waits then leave the lock
// alone: the core retries without waiting.
//
// A daemon thread that gave the lock up just before finalizing began is
// ended inside PyEval_RestoreThread by pthread_exit, whose forced unwind
// leaves through these waits and every frame above them, releasing the
// locks the thread holds on the way. That is why the waits are not noexcept.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sched.h>
#include <time.h>

#include "fennowick/interpreter_lock.hpp"
#include "fennowick/py_versions.hpp"
#include "shm/host.hpp"

namespace fennowick::host {

thread_local bool interpreter_lock_given_up = false;

namespace {

void sleep_one_millisecond() noexcept {
  timespec ts{0, 1000000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace

void yield_wait() {
  if (Py_IsFinalizing()) {
    sched_yield();
    return;
  }
  // Ensure works whether or not this thread holds the lock; the save and
  // restore in between is the point where other threads may run.
  // Set across every step that can end the thread (no RAII: a destructor
  // would clear it during the very unwind it is there for).
  const bool before = interpreter_lock_given_up;
  interpreter_lock_given_up = true;
  PyGILState_STATE s = PyGILState_Ensure();
  PyEval_RestoreThread(PyEval_SaveThread());
  PyGILState_Release(s);
  interpreter_lock_given_up = before;
}

void sleep_wait() {
  if (!Py_IsFinalizing() && PyGILState_Check()) {
    const bool before = interpreter_lock_given_up;
    interpreter_lock_given_up = true;
    PyThreadState *ts = PyEval_SaveThread();
    sleep_one_millisecond();
    PyEval_RestoreThread(ts);
    interpreter_lock_given_up = before;
    return;
  }
  sleep_one_millisecond();
}

bool is_finalizing() noexcept { return Py_IsFinalizing() != 0; }

// Callers hold the interpreter lock (construction and get run under it).
void *mem_alloc(std::size_t n) noexcept { return PyMem_Malloc(n); }
void mem_free(void *p) noexcept { PyMem_Free(p); }

}  // namespace fennowick::host
