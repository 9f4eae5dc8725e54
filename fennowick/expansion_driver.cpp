// The parallel expansion driver: quillmap.expansion(parallelism) and the
// worker entry dict_expansion(name, target_length).
//
// The calling process moves nothing itself. It reads the bucket chunk count
// once, asks for twice that, and has a multiprocessing pool run
// dict_expansion in each worker; each worker opens the map by name and joins
// the expansion, and all coordination happens in the map's shared words.
// Workers that arrive after the doubling find the target met and return at
// once, so handing every worker the same target makes one doubling however
// many workers there are.
#include <string>

#include "fennowick/args.hpp"
#include "fennowick/binding.hpp"
#include "fennowick/errors.hpp"
#include "fennowick/py_versions.hpp"

namespace fennowick::py {

const char expansion_doc[] =
    "expansion($self, parallelism=0)\n--\n\n"
    "expansion(self, parallelism: int = 0) -> int\n"
    "\n"
    "expand the tolvane in parallel\n"
    "\n"
    "        :param parallelism: the degree of parallelism, if 0, it is the number of logical CPUs the calling thread "
    "is restricted to, same as os.cpu_count().\n"
    "        :return: 1 if successfully expanded\n"
    "        ";

const char dict_expansion_doc[] =
    "dict_expansion($module, name, target_length)\n--\n\n"
    "dict_expansion(name: bytes, target_length: int)\n"
    "\n"
    "expand the named tolvane with target length\n"
    "\n"
    "    :param name: the file name of the tolvane\n"
    "    :param target_length: the target expansion length of the tolvane\n"
    "    :return: 1 if successfully expanded\n"
    "    ";

namespace {

// New reference to `obj.name(*args)`; null with the exception set.
PyObject *call_method(PyObject *obj, const char *name, PyObject *args) {
  PyObject *m = PyObject_GetAttrString(obj, name);
  if (m == nullptr) return nullptr;
  PyObject *r = args ? PyObject_Call(m, args, nullptr) : PyObject_CallNoArgs(m);
  Py_DECREF(m);
  return r;
}

PyObject *global(const char *name) {
  PyObject *key = PyUnicode_InternFromString(name);
  if (key == nullptr) return nullptr;
  PyObject *r = lookup_global(key);
  Py_DECREF(key);
  return r;
}

// Submit `parallelism` tasks, wait for them, close and join the pool.
// Returns the list of caught exceptions (new reference) or null.
PyObject *run_pool(PyObject *pool, std::size_t parallelism, PyObject *task_args) {
  PyObject *results = PyList_New(0);
  if (results == nullptr) return nullptr;
  for (std::size_t i = 0; i < parallelism; ++i) {
    PyObject *fn = global("dict_expansion");
    PyObject *apply = fn ? PyObject_GetAttrString(pool, "apply_async") : nullptr;
    PyObject *r = apply ? PyObject_CallFunctionObjArgs(apply, fn, task_args, nullptr) : nullptr;
    Py_XDECREF(apply);
    Py_XDECREF(fn);
    if (r == nullptr || PyList_Append(results, r) < 0) {
      Py_XDECREF(r);
      Py_DECREF(results);
      return nullptr;
    }
    Py_DECREF(r);
  }
  PyObject *errors = PyList_New(0);
  if (errors == nullptr) {
    Py_DECREF(results);
    return nullptr;
  }
  // The first failure ends the waiting; join below still waits for every
  // worker. Exceptions outside Exception (KeyboardInterrupt) end the waiting
  // at once; the caller then ends the workers.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); ++i) {
    PyObject *r = call_method(PyList_GET_ITEM(results, i), "get", nullptr);
    if (r != nullptr) {
      Py_DECREF(r);
      continue;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
      Py_DECREF(results);
      Py_DECREF(errors);
      return nullptr;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    int rc = PyList_Append(errors, value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (rc < 0) {
      Py_DECREF(results);
      Py_DECREF(errors);
      return nullptr;
    }
    break;
  }
  Py_DECREF(results);
  PyObject *closed = call_method(pool, "close", nullptr);
  PyObject *joined = closed ? call_method(pool, "join", nullptr) : nullptr;
  Py_XDECREF(closed);
  if (joined == nullptr) {
    Py_DECREF(errors);
    return nullptr;
  }
  Py_DECREF(joined);
  return errors;
}

// Whatever ended the pool's run early (Ctrl-C while waiting, a failed
// submission): end the workers now, terminate then join, and leave the
// original exception pending, unchanged. Left alone, the pool's workers
// would be killed by the interpreter's exit at some arbitrary moment of the
// doubling; here they are at least all gone, and reaped, before the
// exception reaches the caller. Errors of the clean-up itself, a second
// Ctrl-C included, give way to the first exception.
void end_workers(PyObject *pool) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  for (const char *step : {"terminate", "join"}) {
    PyObject *r = call_method(pool, step, nullptr);
    if (r == nullptr) {
      PyErr_Clear();
    } else {
      Py_DECREF(r);
    }
  }
  PyErr_Restore(type, value, tb);
}

int expansion_impl(QuillmapObject *self, std::size_t parallelism) {
  unsigned long long target;
  {
    MapUse use(self);
    if (use.map() == nullptr) return -1;
    const std::uint64_t in_use = use.map()->bucket_chunks_in_use();
    // A doubling needs 2n table slots; a full table is left as it is rather
    // than starting workers that can only refuse.
    if (in_use > use.map()->bucket_chunk_number() / 2) return 1;
    target = 2 * in_use;
  }
  if (parallelism == 0) {
    PyObject *os = global("os");
    PyObject *count = os ? call_method(os, "cpu_count", nullptr) : nullptr;
    Py_XDECREF(os);
    if (count == nullptr) return -1;
    unsigned long long n = 0;
    bool ok = to_size_t(count, n);
    Py_DECREF(count);
    if (!ok) return -1;
    parallelism = static_cast<std::size_t>(n);
  }
  PyObject *name = self->base.name;
  PyObject *task_args = Py_BuildValue("(OK)", name ? name : Py_None, target);
  if (task_args == nullptr) return -1;
  PyObject *mp = global("multiprocessing");
  PyObject *pool_type = mp ? PyObject_GetAttrString(mp, "Pool") : nullptr;
  Py_XDECREF(mp);
  PyObject *pool = pool_type ? PyObject_CallFunction(pool_type, "K", static_cast<unsigned long long>(parallelism))
                             : nullptr;
  Py_XDECREF(pool_type);
  PyObject *errors = pool ? run_pool(pool, parallelism, task_args) : nullptr;
  if (errors == nullptr && pool != nullptr) end_workers(pool);
  Py_XDECREF(pool);
  Py_DECREF(task_args);
  if (errors == nullptr) return -1;
  if (PyList_GET_SIZE(errors) == 0) {
    Py_DECREF(errors);
    return 1;
  }
  PyObject *message = PyUnicode_FromFormat("Subprocess finished with error%S", errors);
  Py_DECREF(errors);
  if (message != nullptr) {
    PyErr_SetObject(PyExc_RuntimeError, message);
    Py_DECREF(message);
  }
  return -1;
}

const char *const expansion_keywords[] = {"parallelism"};
const Signature expansion_sig{"expansion", expansion_keywords, 1, 0};

const char *const dict_expansion_keywords[] = {"name", "target_length"};
const Signature dict_expansion_sig{"dict_expansion", dict_expansion_keywords, 2, 2};

DispatchCache expansion_cache;

}  // namespace

PyObject *method_expansion(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[1] = {nullptr};
  if (!parse_vector(expansion_sig, args, nargs, kwnames, a)) return nullptr;
  unsigned long long parallelism = 0;
  if (a[0] != nullptr && !to_size_t(a[0], parallelism)) return nullptr;
  if (expansion_impl(reinterpret_cast<QuillmapObject *>(self), parallelism) < 0) return nullptr;
  Py_INCREF(state.one);
  return state.one;
}

int vtab_expansion(QuillmapObject *self, std::size_t parallelism, int skip_dispatch) {
  if (!skip_dispatch) {
    PyObject *override = nullptr;
    int found = find_override(self, state.s_expansion,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_expansion)),
                              expansion_cache, &override);
    if (found < 0) return -1;
    if (found > 0) {
      PyObject *p = PyLong_FromSize_t(parallelism);
      PyObject *r = p ? PyObject_CallOneArg(override, p) : nullptr;
      Py_XDECREF(p);
      Py_DECREF(override);
      if (r == nullptr) return -1;
      int v = PyLong_AsInt(r);
      Py_DECREF(r);
      return (v == -1 && PyErr_Occurred()) ? -1 : v;
    }
  }
  return expansion_impl(self, parallelism);
}

PyObject *function_dict_expansion(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[2] = {nullptr, nullptr};
  if (!parse_vector(dict_expansion_sig, args, nargs, kwnames, a)) return nullptr;
  PyObject *name = a[0];
  if (name != Py_None && !PyBytes_CheckExact(name)) {
    raise_argument_type("name", "bytes", name);
    return nullptr;
  }
  unsigned long long target = 0;
  if (!to_size_t(a[1], target)) return nullptr;
  if (name == Py_None) {
    raise_none_not_bytes();
    return nullptr;
  }
  const char *data = PyBytes_AS_STRING(name);
  const Py_ssize_t len = PyBytes_GET_SIZE(name);
  if (len == 0) {
    // An empty name would make the helper create a new map of its own.
    PyErr_SetString(PyExc_ValueError, "dict_expansion needs the name of an existing map");
    return nullptr;
  }
  if (std::char_traits<char>::find(data, static_cast<std::size_t>(len), '\0') != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return nullptr;
  }
  try {
    python_expansion_helper_string(std::string(data, static_cast<std::size_t>(len)), target);
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    translate_exception();
    return nullptr;
  }
  Py_INCREF(state.one);
  return state.one;
}

}  // namespace fennowick::py
