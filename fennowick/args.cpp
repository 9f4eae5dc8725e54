// Argument parsing with the binding's fixed messages (see args.hpp).
#include "fennowick/args.hpp"

namespace fennowick::py {

namespace {

[[gnu::cold]] void raise_count(const Signature &sig, Py_ssize_t found) {
  const bool exact = sig.required == sig.count;
  const char *how;
  Py_ssize_t expected;
  if (found < sig.required) {
    how = "at least";
    expected = sig.required;
  } else {
    how = "at most";
    expected = sig.count;
  }
  if (exact) how = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.function, how,
               expected, expected == 1 ? "" : "s", found);
}

Py_ssize_t keyword_index(const Signature &sig, PyObject *key) {
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.keywords[i]) == 0) return i;
  }
  return -1;
}

// One keyword argument. False with the exception set.
bool take_keyword(const Signature &sig, PyObject *key, PyObject *value, Py_ssize_t nargs, PyObject **out,
                  bool *seen) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.function);
    return false;
  }
  Py_ssize_t i = sig.keywords_allowed ? keyword_index(sig, key) : -1;
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
    return false;
  }
  if (i < nargs || seen[i]) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.function, key);
    return false;
  }
  seen[i] = true;
  out[i] = value;
  return true;
}

// After keywords: every required parameter must have been given. The count
// reported is how many came before the first missing one.
bool check_required(const Signature &sig, Py_ssize_t nargs, const bool *seen) {
  for (Py_ssize_t i = nargs; i < sig.required; ++i) {
    if (!seen[i]) {
      raise_count(sig, i);
      return false;
    }
  }
  return true;
}

constexpr Py_ssize_t max_parameters = 8;

}  // namespace

bool parse_vector(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                  PyObject **out) {
  if (nargs > sig.count) {
    raise_count(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
    if (nargs < sig.required) {
      raise_count(sig, nargs);
      return false;
    }
    return true;
  }
  bool seen[max_parameters] = {};
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!take_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out, seen)) return false;
  }
  return check_required(sig, nargs, seen);
}

bool parse_tuple(const Signature &sig, PyObject *args, PyObject *kwds, PyObject **out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.count) {
    raise_count(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  bool seen[max_parameters] = {};
  if (kwds != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      if (!take_keyword(sig, key, value, nargs, out, seen)) return false;
    }
  }
  return check_required(sig, nargs, seen);
}

void raise_argument_type(const char *arg, const char *expected, PyObject *given) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg, expected,
               Py_TYPE(given)->tp_name);
}

void raise_none_not_bytes() {
  PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
}

namespace {

// A new reference to an int: o itself, or what its __int__ gives.
PyObject *as_int(PyObject *o) {
  if (PyLong_Check(o)) {
    Py_INCREF(o);
    return o;
  }
  PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
  if (nb == nullptr || nb->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyObject *r = nb->nb_int(o);
  if (r != nullptr && !PyLong_Check(r)) {
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int", Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    return nullptr;
  }
  return r;
}

}  // namespace

bool to_size_t(PyObject *o, unsigned long long &out) {
  PyObject *v = as_int(o);
  if (v == nullptr) return false;
  bool ok = false;
  int sign = _PyLong_Sign(v);
  if (sign < 0) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
  } else {
    unsigned long long r = PyLong_AsUnsignedLongLong(v);
    if (!(r == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = r;
      ok = true;
    }
  }
  Py_DECREF(v);
  return ok;
}

bool to_unsigned_char(PyObject *o, unsigned char &out) {
  PyObject *v = as_int(o);
  if (v == nullptr) return false;
  int overflow = 0;
  long long r = PyLong_AsLongLongAndOverflow(v, &overflow);
  Py_DECREF(v);
  if (r == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && r < 0)) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned char");
    return false;
  }
  if (overflow > 0 || r > 255) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned char");
    return false;
  }
  out = static_cast<unsigned char>(r);
  return true;
}

bool unpack_pair(PyObject *item, Py_ssize_t index, const char *what, PyObject *&key, PyObject *&value) {
  PyObject *pair = PySequence_Fast(item, "");
  if (pair == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot convert %s sequence element #%zd to a sequence", what, index);
    }
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(pair);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, "%s sequence element #%zd has length %zd; 2 is required", what, index, n);
    Py_DECREF(pair);
    return false;
  }
  key = PySequence_Fast_GET_ITEM(pair, 0);
  value = PySequence_Fast_GET_ITEM(pair, 1);
  Py_INCREF(key);
  Py_INCREF(value);
  Py_DECREF(pair);
  return true;
}

}  // namespace fennowick::py
