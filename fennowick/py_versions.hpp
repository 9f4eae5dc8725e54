// What differs between the CPython versions the extension is built for
// (3.11, 3.12, 3.13), in one place, so that the rest of the binding has one
// code path and spells each call by its newest name.
//
// - PyLong_AsInt and Py_IsFinalizing are public from 3.13; before that the
//   same functions exist under their private names.
// - _PyTraceback_Add (a frame of our own in the traceback of a failed module
//   initialisation) moved to the internal headers in 3.13 but is still
//   exported by the interpreter, with the same signature.
// - A dict's version tag (PEP 509) is deprecated from 3.12 but still changes
//   on every mutation up to 3.13, which is all the serializer cache asks of it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "fennowick is built for CPython 3.11 to 3.13"
#endif

#if PY_VERSION_HEX < 0x030D0000
inline int PyLong_AsInt(PyObject *o) { return _PyLong_AsInt(o); }
inline int Py_IsFinalizing() { return _Py_IsFinalizing(); }
#else
extern "C" void _PyTraceback_Add(const char *funcname, const char *filename, int lineno);
#endif

namespace fennowick::py {

inline std::uint64_t dict_version(PyObject *dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

}  // namespace fennowick::py
