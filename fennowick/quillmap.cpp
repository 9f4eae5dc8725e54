// fennowick.quillmap: module set-up.
//
// Multi-phase initialisation with all state process-wide (binding.hpp): the
// type, the serializer modules and interned names are built once, by the
// first successful exec, and never torn down. Hence two guards: the module
// loads into one interpreter per process only, and an exec with a different
// module object after a successful one is refused. Re-importing after the
// module left sys.modules hands back the same module object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "fennowick/binding.hpp"
#include "fennowick/py_versions.hpp"

namespace fennowick::py {

State state;

PyObject *lookup_global(PyObject *name) {
  PyObject *r = PyDict_GetItemWithError(state.module_dict, name);  // borrowed
  if (r == nullptr && !PyErr_Occurred() && state.builtins != nullptr) {
    r = PyObject_GetAttr(state.builtins, name);  // new
    if (r == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return r;
  }
  if (r == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  Py_XINCREF(r);
  return r;
}

namespace {

constexpr const char *full_name = "fennowick.quillmap";

std::int64_t main_interpreter_id = -1;

// Copy spec.<attr> to module.<as>; a missing attribute is skipped.
int copy_spec_attribute(PyObject *spec, PyObject *module_dict, const char *attr, const char *as,
                        bool skip_none) {
  PyObject *value = PyObject_GetAttrString(spec, attr);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  int rc = 0;
  if (!(skip_none && value == Py_None)) rc = PyDict_SetItemString(module_dict, as, value);
  Py_DECREF(value);
  return rc;
}

PyObject *quillmap_create(PyObject *spec, PyModuleDef *) {
  std::int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (main_interpreter_id == -1) {
    main_interpreter_id = id;
  } else if (main_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (state.module != nullptr) {
    Py_INCREF(state.module);
    return state.module;
  }
  PyObject *name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject *module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;
  PyObject *d = PyModule_GetDict(module);
  if (copy_spec_attribute(spec, d, "loader", "__loader__", false) < 0 ||
      copy_spec_attribute(spec, d, "origin", "__file__", false) < 0 ||
      copy_spec_attribute(spec, d, "parent", "__package__", false) < 0 ||
      copy_spec_attribute(spec, d, "submodule_search_locations", "__path__", true) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

int intern(PyObject *&slot, const char *text) {
  slot = PyUnicode_InternFromString(text);
  if (slot == nullptr) return -1;
  (void)PyObject_Hash(slot);  // computed once, reused by every look-up
  return 0;
}

int make_constants() {
  if (intern(state.s_dumps, "dumps") < 0 || intern(state.s_loads, "loads") < 0 || intern(state.s_init, "__init__") < 0 ||
      intern(state.s_insert, "insert") < 0 || intern(state.s_get, "get") < 0 || intern(state.s_remove, "remove") < 0 ||
      intern(state.s_expansion, "expansion") < 0 || intern(state.s_encode, "encode") < 0 ||
      intern(state.s_decode, "decode") < 0)
    return -1;
  state.one = PyLong_FromLong(1);
  state.zero = PyLong_FromLong(0);
  return state.one && state.zero ? 0 : -1;
}

PyObject *builtin(const char *name) {
  PyObject *r = PyObject_GetAttrString(state.builtins, name);
  if (r == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  }
  return r;
}

// import <name> into the module namespace. Optional packages that cannot be
// imported stay unbound; choosing them later fails with NameError.
int import_into(PyObject *module, const char *name, bool optional, PyObject **keep = nullptr) {
  PyObject *m = PyImport_ImportModule(name);
  if (m == nullptr) {
    if (optional && PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  int rc = PyModule_AddObjectRef(module, name, m);
  if (rc == 0 && keep != nullptr) {
    *keep = m;
  } else {
    Py_DECREF(m);
  }
  return rc;
}

int import_msgspec(PyObject *module) {
  PyObject *m = PyImport_ImportModule("msgspec");
  PyObject *sub = m ? PyImport_ImportModule("msgspec.json") : nullptr;
  if (sub == nullptr) {
    Py_XDECREF(m);
    if (PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  Py_DECREF(sub);
  int rc = PyModule_AddObjectRef(module, "msgspec", m);
  Py_DECREF(m);
  return rc;
}

int exec_steps(PyObject *module) {
  state.module = module;
  Py_INCREF(module);
  state.module_dict = PyModule_GetDict(module);
  if (state.builtins == nullptr) {
    state.builtins = PyImport_ImportModule("builtins");
    if (state.builtins == nullptr) return -1;
  }
  if (PyModule_AddObjectRef(module, "__builtins__", state.builtins) < 0) return -1;

  const unsigned long runtime_major = (Py_Version >> 24) & 0xff, runtime_minor = (Py_Version >> 16) & 0xff;
  if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match",
                         static_cast<int>(runtime_major), static_cast<int>(runtime_minor)) < 0)
      return -1;
  }

  if (state.one == nullptr && make_constants() < 0) return -1;

  PyObject *modules = PyImport_GetModuleDict();  // borrowed
  if (PyDict_GetItemString(modules, full_name) == nullptr &&
      PyDict_SetItemString(modules, full_name, module) < 0)
    return -1;

  if (state.builtin_super == nullptr) {
    state.builtin_super = builtin("super");
    if (state.builtin_super == nullptr) return -1;
  }

  if (export_capi(module) < 0) return -1;
  if (setup_type(module) < 0) return -1;

  if (import_into(module, "multiprocessing", false) < 0 || import_into(module, "os", false) < 0 ||
      import_into(module, "pickle", true) < 0 || import_into(module, "json", true, &state.json_module) < 0 ||
      import_into(module, "orjson", true) < 0 || import_into(module, "msgpack", true) < 0 ||
      import_msgspec(module) < 0)
    return -1;

  if (state.default_name == nullptr) {
    state.default_name = PyBytes_FromStringAndSize("", 0);
    if (state.default_name == nullptr) return -1;
  }
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  if (state.builtin_hash == nullptr) {
    state.builtin_hash = builtin("hash");
    if (state.builtin_hash == nullptr) return -1;
  }
  return 0;
}

int quillmap_exec(PyObject *module) {
  if (state.module != nullptr) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'quillmap' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  if (exec_steps(module) == 0) return 0;
  if (state.module_dict != nullptr) _PyTraceback_Add("init fennowick.quillmap", __FILE__, __LINE__);
  Py_CLEAR(state.module);
  state.module_dict = nullptr;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init fennowick.quillmap");
  return -1;
}

// From 3.12 the module says so itself: interpreters that check (those with a
// lock of their own, the default of the interpreters module) refuse it before
// quillmap_create runs; others reach the guard there.
PyModuleDef_Slot quillmap_module_slots[] = {{Py_mod_create, reinterpret_cast<void *>(quillmap_create)},
                                            {Py_mod_exec, reinterpret_cast<void *>(quillmap_exec)},
#if PY_VERSION_HEX >= 0x030C0000
                                            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
                                            {0, nullptr}};

PyModuleDef quillmap_module = {PyModuleDef_HEAD_INIT,
                               "quillmap",
                               nullptr,
                               0,
                               nullptr,
                               quillmap_module_slots,
                               nullptr,
                               nullptr,
                               nullptr};

}  // namespace

}  // namespace fennowick::py

PyMODINIT_FUNC PyInit_quillmap() { return PyModuleDef_Init(&fennowick::py::quillmap_module); }
