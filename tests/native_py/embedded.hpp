// Helpers for tests that need a live interpreter: the test program embeds
// one (main in embedded.cpp), and the main thread holds the interpreter lock
// for the whole run, as a native caller of the pointer map would.
//
// The test-only module `_pm` exposes the pointer map to Python code, so that
// Python threads can drive it: create(exp, chunks), attach(name), name(h),
// insert(h, k, v), get(h, k, default=None), remove(h, k), expand(name,
// target), stats(h) -> (entries, chunks_in_use, participants),
// check(h) -> (ok, problem, entries, nodes), destroy(h). Hashes are hash(k).
// A comparison that raised inside the map surfaces as that exception.
#pragma once

#include <gtest/gtest.h>

#include "map/pointer_map.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace fennowick::pytest {

struct Decref {
  void operator()(PyObject *o) const noexcept { Py_XDECREF(o); }
};
using Ref = std::unique_ptr<PyObject, Decref>;

// Runs Python statements in `globals`; a Python exception fails the test
// with its traceback printed.
::testing::AssertionResult run(PyObject *globals, const std::string &code);
// Evaluates an expression in `globals`; a new reference, or null on error.
Ref eval(PyObject *globals, const std::string &expr);
// A fresh namespace with builtins and `_pm` imported.
Ref fresh_globals();

// Ends the test program if the scope is not left within `seconds`: a
// deadlock then shows as a clear failure instead of a hung run.
class Watchdog {
public:
  Watchdog(int seconds, std::string what);
  ~Watchdog();

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread t_;
};

}  // namespace fennowick::pytest
