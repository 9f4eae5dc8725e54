// Whether this thread has given the interpreter lock up in one of the
// host's waits (host_python.cpp) and not had it back. CPython ends a daemon
// thread that asks for the lock back while the interpreter finalizes with
// pthread_exit, inside PyEval_RestoreThread: the flag then stays set while
// the forced unwind runs the destructors of the frames above the wait, so
// that they leave Python objects alone. PyGILState_Check() cannot tell: once
// finalization has begun it answers "held" on every thread.
#pragma once

namespace fennowick::host {
extern thread_local bool interpreter_lock_given_up;
}  // namespace fennowick::host
