// fennowick.tolvane_base: the base type of fennowick's shared containers.
//
// The type holds what every shared container needs whatever it stores: the
// path of its backing file (`name`, the first slot, readable as a read-only
// attribute) and the hash function entries are filed under. It exports
// hash_key and hash_key_bytes through its __capi__ table.
//
// Why the default hash is not Python's: the builtin hash of str and bytes is
// salted per process and that of None is address-based, so two processes
// sharing a table would file one key under different hashes and never find
// each other's entries. When the builtin hash is chosen (given or defaulted)
// the key is hashed by XXH3-64 over its serialized bytes instead: the same in
// every process, and exact, because byte equality is what decides whether two
// keys are the same entry anyway. A function the caller supplies is called on
// the key object, and keeping it consistent across processes is the caller's
// business.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "fennowick/args.hpp"
#include "fennowick/capi.hpp"

namespace fennowick::py {

namespace {

// The C function behind the builtin hash, recognised by pointer so that the
// builtin of any interpreter counts.
PyCFunction builtin_hash_function = nullptr;

bool is_builtin_hash(PyObject *f) noexcept {
  return builtin_hash_function != nullptr && PyCFunction_Check(f) &&
         PyCFunction_GET_FUNCTION(f) == builtin_hash_function && PyCFunction_GET_SELF(f) != nullptr &&
         PyModule_Check(PyCFunction_GET_SELF(f));
}

TolvaneBaseObject *as_base(PyObject *o) noexcept { return reinterpret_cast<TolvaneBaseObject *>(o); }

PyObject *tolvane_new(PyTypeObject *type, PyObject *, PyObject *) {
  // Arguments belong to the subclass's __init__; nothing to check here.
  return type->tp_alloc(type, 0);
}

int tolvane_init(PyObject *self, PyObject *args, PyObject *kwds) {
  static const char *const keywords[] = {"hash_function"};
  static const Signature sig{"__init__", keywords, 1, 1};
  PyObject *hash_function = nullptr;
  if (!parse_tuple(sig, args, kwds, &hash_function)) return -1;
  if (!PyCallable_Check(hash_function)) {
    PyErr_Format(PyExc_TypeError, "hash_function must be callable, not %.200s", Py_TYPE(hash_function)->tp_name);
    return -1;
  }
  TolvaneBaseObject *b = as_base(self);
  Py_INCREF(hash_function);
  Py_XSETREF(b->hash_function, hash_function);
  b->hash_mode = is_builtin_hash(hash_function) ? hash_mode_bytes : hash_mode_callable;
  return 0;
}

int tolvane_traverse(PyObject *self, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(self));  // instances of a heap type keep the type alive
  Py_VISIT(as_base(self)->name);
  Py_VISIT(as_base(self)->hash_function);
  return 0;
}

int tolvane_clear(PyObject *self) {
  // name stays: bytes cannot be part of a cycle, and the map's path must
  // remain readable for as long as the object exists.
  TolvaneBaseObject *b = as_base(self);
  b->hash_mode = hash_mode_unset;
  Py_CLEAR(b->hash_function);
  return 0;
}

void tolvane_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  TolvaneBaseObject *b = as_base(self);
  Py_CLEAR(b->name);
  Py_CLEAR(b->hash_function);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject *tolvane_get_name(PyObject *self, void *) {
  PyObject *name = as_base(self)->name;
  if (name == nullptr) Py_RETURN_NONE;  // __init__ has not run
  Py_INCREF(name);
  return name;
}

PyGetSetDef tolvane_getset[] = {
    {"name", tolvane_get_name, nullptr, "path of the backing file (bytes), or None before __init__", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot tolvane_slots[] = {
    {Py_tp_doc, const_cast<char *>("base type of fennowick's shared containers: the backing file's name and the "
                                   "hash function")},
    {Py_tp_new, reinterpret_cast<void *>(tolvane_new)},
    {Py_tp_init, reinterpret_cast<void *>(tolvane_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tolvane_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(tolvane_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(tolvane_clear)},
    {Py_tp_getset, tolvane_getset},
    {0, nullptr}};

PyType_Spec tolvane_spec = {
    "fennowick.tolvane_base.tolvane_base", sizeof(TolvaneBaseObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, tolvane_slots};

}  // namespace

// Exported entry points.

Py_ssize_t hash_key(TolvaneBaseObject *self, PyObject *key) {
  if (self->hash_function == nullptr) {
    PyErr_SetString(PyExc_ValueError, "tolvane_base.__init__ has not run: no hash function");
    return -1;
  }
  PyObject *r = PyObject_CallOneArg(self->hash_function, key);
  if (r == nullptr) return -1;
  if (!PyLong_Check(r)) {
    PyErr_Format(PyExc_TypeError, "hash function returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    return -1;
  }
  // Any int is a hash: keep its low 64 bits, as two's complement.
  unsigned long long bits = PyLong_AsUnsignedLongLongMask(r);
  Py_DECREF(r);
  return static_cast<Py_ssize_t>(bits);
}

Py_ssize_t hash_key_bytes(TolvaneBaseObject *self, PyObject *key, const char *data, Py_ssize_t len) {
  if (self->hash_mode == hash_mode_bytes) {
    if (data == nullptr) return 0;  // no bytes to file: the caller refuses the key
    return static_cast<Py_ssize_t>(XXH3_64bits(data, static_cast<size_t>(len)));
  }
  return hash_key(self, key);
}

namespace {

int tolvane_exec(PyObject *module) {
  if (builtin_hash_function == nullptr) {
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    PyObject *h = builtins ? PyDict_GetItemString(builtins, "hash") : nullptr;
    if (h == nullptr || !PyCFunction_Check(h)) {
      PyErr_SetString(PyExc_NameError, "name 'hash' is not defined");
      return -1;
    }
    builtin_hash_function = PyCFunction_GET_FUNCTION(h);
  }
  PyObject *type = PyType_FromModuleAndSpec(module, &tolvane_spec, nullptr);
  if (type == nullptr) return -1;
  if (PyModule_AddObject(module, "tolvane_base", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  if (export_function(module, "hash_key", reinterpret_cast<void *>(hash_key), hash_key_signature) < 0) return -1;
  if (export_function(module, "hash_key_bytes", reinterpret_cast<void *>(hash_key_bytes),
                      hash_key_bytes_signature) < 0)
    return -1;
  return 0;
}

PyModuleDef_Slot tolvane_module_slots[] = {{Py_mod_exec, reinterpret_cast<void *>(tolvane_exec)}, {0, nullptr}};

PyModuleDef tolvane_module = {PyModuleDef_HEAD_INIT,
                              "tolvane_base",
                              "Base type and key hashing shared by fennowick's containers.",
                              0,
                              nullptr,
                              tolvane_module_slots,
                              nullptr,
                              nullptr,
                              nullptr};

}  // namespace

}  // namespace fennowick::py

PyMODINIT_FUNC PyInit_tolvane_base() { return PyModuleDef_Init(&fennowick::py::tolvane_module); }
