// Argument parsing for the binding's Python-callable functions.
//
// CPython's own parsers word their errors differently from what callers of
// this module have always seen, so the messages are produced here, in one
// place: positional counts ("takes exactly/at most N positional arguments"),
// keyword errors, exact-type checks and the unsigned conversions through
// __int__. Every function returns false (or null) with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace fennowick::py {

struct Signature {
  const char *function;        // name in messages, e.g. "insert"
  const char *const *keywords; // parameter names, `count` of them
  Py_ssize_t count;
  Py_ssize_t required;         // the first `required` parameters have no default
  bool keywords_allowed = true;
};

// Fill out[0..count) with borrowed references; parameters not given keep the
// value already in out (the caller presets defaults, or null).
bool parse_vector(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                  PyObject **out);
bool parse_tuple(const Signature &sig, PyObject *args, PyObject *kwds, PyObject **out);

// TypeError "Argument '<arg>' has incorrect type (expected <expected>, got <type>)".
void raise_argument_type(const char *arg, const char *expected, PyObject *given);

// Integers as the binding has always converted them: an int as it is, any
// other object through its __int__ slot (so floats truncate).
bool to_size_t(PyObject *o, unsigned long long &out);
bool to_unsigned_char(PyObject *o, unsigned char &out);

// TypeError "expected bytes, NoneType found".
void raise_none_not_bytes();

// Element `index` of a sequence of pairs as (key, value), new references,
// with dict.update's errors ("cannot convert <what> sequence element #i to a
// sequence", "<what> sequence element #i has length n; 2 is required").
bool unpack_pair(PyObject *item, Py_ssize_t index, const char *what, PyObject *&key, PyObject *&value);

}  // namespace fennowick::py
