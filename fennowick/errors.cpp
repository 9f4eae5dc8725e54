// Translation table from the core's standard exceptions to Python's.
//
// The core throws only standard exceptions with fixed texts; the kind says
// what went wrong (bad_alloc: no memory or no mapping, invalid_argument: a
// parameter the map refuses, out_of_range: an offset outside the arena,
// runtime_error: everything the region layer reports), so the table keys on
// the kind and keeps the text. Rows are tried most-derived first.
#include "fennowick/errors.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace fennowick::py {

void translate_exception() {
  if (PyErr_Occurred()) return;
  try {
    throw;
  } catch (const std::bad_alloc &e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_cast &e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::bad_typeid &e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::domain_error &e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::invalid_argument &e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::ios_base::failure &e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const std::out_of_range &e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::overflow_error &e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::range_error &e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::underflow_error &e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

}  // namespace fennowick::py
