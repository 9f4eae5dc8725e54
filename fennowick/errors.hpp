// The one place where a C++ exception becomes a Python exception.
#pragma once

#include <cxxabi.h>

namespace fennowick::py {

// Call only inside a catch block. When a Python exception is already pending
// it is left as it is (it explains the failure better than the C++ one);
// otherwise the caught exception is translated by its kind, its what() text
// becoming the message.
//
// Never with abi::__forced_unwind: every catch (...) of the binding first
// lets that one through (catch (abi::__forced_unwind &) { throw; }). CPython
// ends a daemon thread that waits for the interpreter lock during shutdown
// with pthread_exit, which unwinds the thread's stack like an exception; it
// must reach the thread's start so that the core's lock guards on the way
// release what the thread holds. Swallowing it aborts the process, and so
// does meeting a noexcept frame: no function of the binding that can wait
// or run Python code is noexcept.
void translate_exception();

}  // namespace fennowick::py
