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

#include <cstring>
#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "map/string_map.hpp"

namespace fennowick::py {

namespace {

// A failure of the operating system is raised as the OSError subclass its
// errno selects (PermissionError, FileNotFoundError, OSError with EMFILE, ...)
// and as the type such failures were raised as before, through a class
// derived from both: existing except clauses keep catching it. One class per
// pair, made on first use and kept in `classes`.
// The classes are made by a few lines of Python: with `plain`, str() and
// repr() stay those of the old type (messages that embed them, such as the
// expansion's report of a worker's error, read as before); every class is
// reachable as an attribute of fennowick.quillmap so that it pickles (a
// worker's exception crosses back to the parent), errno and filename with it.
const char factory_source[] = R"py(
from fennowick._errors import _make
)py";

PyObject *both_class(PyObject *os_type, PyObject *old_type, bool plain_str) {
  static PyObject *classes = nullptr, *make = nullptr;
  if (classes == nullptr && (classes = PyDict_New()) == nullptr) return nullptr;
  if (make == nullptr) {
    PyObject *globals = PyDict_New();
    if (globals == nullptr) return nullptr;
    if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
      Py_DECREF(globals);
      return nullptr;
    }
    PyObject *r = PyRun_String(factory_source, Py_file_input, globals, globals);
    Py_XDECREF(r);
    make = r ? PyDict_GetItemString(globals, "_make") : nullptr;
    Py_XINCREF(make);
    Py_DECREF(globals);
    if (make == nullptr) return nullptr;
  }
  PyObject *key = PyTuple_Pack(3, os_type, old_type, plain_str ? Py_True : Py_False);
  if (key == nullptr) return nullptr;
  PyObject *cls = PyDict_GetItemWithError(classes, key);
  if (cls != nullptr || PyErr_Occurred()) {
    Py_DECREF(key);
    Py_XINCREF(cls);
    return cls;
  }
  const std::string name = std::string("Map") + reinterpret_cast<PyTypeObject *>(os_type)->tp_name +
                           (plain_str ? reinterpret_cast<PyTypeObject *>(old_type)->tp_name : "");
  cls = PyObject_CallFunction(make, "OOOs", os_type, old_type, plain_str ? Py_True : Py_False, name.c_str());
  if (cls != nullptr && PyDict_SetItem(classes, key, cls) < 0) Py_CLEAR(cls);
  Py_DECREF(key);
  return cls;
}

// Raise (errno, text, path) as both the OSError of that errno and `old_type`;
// `message`, when given, is the exception's str() (errno, strerror and
// filename are set all the same).
void raise_os(int err, const std::string &path, const char *text, PyObject *old_type, const char *message) {
  PyObject *plain = PyObject_CallFunction(PyExc_OSError, "is", err, std::strerror(err));
  if (plain == nullptr) return;
  PyObject *os_type = reinterpret_cast<PyObject *>(Py_TYPE(plain));
  Py_INCREF(os_type);
  Py_DECREF(plain);
  PyObject *cls = both_class(os_type, old_type, message != nullptr);
  Py_DECREF(os_type);
  if (cls == nullptr) return;
  PyObject *filename = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  PyObject *exc = nullptr;
  if (filename != nullptr) {
    exc = message != nullptr ? PyObject_CallFunction(cls, "s", message)
                             : PyObject_CallFunction(cls, "isO", err, text, filename);
    if (exc != nullptr && message != nullptr) {
      PyObject *number = PyLong_FromLong(err);
      PyObject *strerror = PyUnicode_FromString(std::strerror(err));
      const bool ok = number && strerror && PyObject_SetAttrString(exc, "errno", number) == 0 &&
                      PyObject_SetAttrString(exc, "strerror", strerror) == 0 &&
                      PyObject_SetAttrString(exc, "filename", filename) == 0;
      Py_XDECREF(number);
      Py_XDECREF(strerror);
      if (!ok) Py_CLEAR(exc);
    }
  }
  Py_XDECREF(filename);
  Py_DECREF(cls);
  if (exc == nullptr) return;
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
}

}  // namespace

void translate_exception() {
  if (PyErr_Occurred()) return;
  try {
    throw;
  } catch (const bad_allocation_os &e) {
    raise_os(e.error_number(), e.path(), e.what(), PyExc_MemoryError, nullptr);
  } catch (const file_status_error &e) {
    raise_os(e.error_number(), e.path(), e.what(), PyExc_RuntimeError, e.what());
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
