// Native interface between fennowick's extension modules.
//
// Each module publishes a dict `__capi__`: function name -> capsule whose
// pointer is the native entry point and whose capsule name is the entry
// point's signature text. An importer accepts an entry only if the signature
// text is exactly the one it was compiled against, so a mismatched build
// fails at import instead of calling through the wrong prototype. Entries are
// only ever added, never changed.
//
// The instance layouts below are fixed: tolvane_base is 40 bytes on 64-bit
// CPython (header and three words, `name` first), quillmap appends four words.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

namespace fennowick {
template <int Shared> class ConcurrentHashMap_string;
}

namespace fennowick::py {

inline constexpr const char *capi_attribute = "__capi__";

// Hash modes of a tolvane_base object (its third word).
enum : Py_ssize_t {
  hash_mode_unset = 0,   // __init__ has not run: hashing refuses
  hash_mode_bytes = 1,   // the builtin hash was chosen: XXH3-64 of the serialized key
  hash_mode_callable = 2 // the caller's function is called on the key object
};

struct TolvaneBaseObject {
  PyObject_HEAD
  PyObject *name;           // bytes, the backing file's path; written by quillmap, read by the driver
  PyObject *hash_function;  // what __init__ was given
  Py_ssize_t hash_mode;     // one of hash_mode_*
};
static_assert(sizeof(TolvaneBaseObject) == 40);
static_assert(offsetof(TolvaneBaseObject, name) == 16);

// hash_key(self, key): the key object's hash by the object's hash function.
// hash_key_bytes(self, key, data, len): the hash under which quillmap files
// the key whose serialized bytes are data[0, len); data null when the
// serializer gave no bytes. Both report errors only by a pending exception.
using hash_key_fn = Py_ssize_t (*)(TolvaneBaseObject *, PyObject *);
using hash_key_bytes_fn = Py_ssize_t (*)(TolvaneBaseObject *, PyObject *, const char *, Py_ssize_t);
inline constexpr const char *hash_key_signature = "Py_ssize_t (struct TolvaneBaseObject *, PyObject *)";
inline constexpr const char *hash_key_bytes_signature =
    "Py_ssize_t (struct TolvaneBaseObject *, PyObject *, char const *, Py_ssize_t)";

struct QuillmapObject;

// The type's method table; a native caller passing skip_dispatch 0 gets a
// Python-level override (subclass or instance attribute) when there is one.
struct QuillmapVtable {
  int (*insert)(QuillmapObject *, PyObject *key, PyObject *value, int skip_dispatch);
  PyObject *(*get)(QuillmapObject *, PyObject *key, int skip_dispatch);
  int (*remove)(QuillmapObject *, PyObject *key, int skip_dispatch);
  int (*expansion)(QuillmapObject *, std::size_t parallelism, int skip_dispatch);
};

struct QuillmapObject {
  TolvaneBaseObject base;
  const QuillmapVtable *vtab;
  ConcurrentHashMap_string<1> *chm;  // null until __init__ succeeds, and again once closed
  PyObject *serializer;              // None, or the serializer module
  PyObject *dict;                    // instance __dict__
};
static_assert(sizeof(QuillmapObject) == 72);
static_assert(offsetof(QuillmapObject, vtab) == 40);
static_assert(offsetof(QuillmapObject, chm) == 48);
static_assert(offsetof(QuillmapObject, serializer) == 56);
static_assert(offsetof(QuillmapObject, dict) == 64);

inline constexpr const char *dict_insert_signature = "int (struct QuillmapObject *, PyObject *, PyObject *, int)";
inline constexpr const char *dict_get_signature = "PyObject *(struct QuillmapObject *, PyObject *, int)";
inline constexpr const char *dict_remove_signature = "int (struct QuillmapObject *, PyObject *, int)";
inline constexpr const char *vtable_key = "__quillmap_vtable__";
inline constexpr const char *vtable_signature = "struct QuillmapVtable";

// Add `fn` under `name` to module.__capi__ (created when missing). 0 or -1.
inline int export_function(PyObject *module, const char *name, void *fn, const char *signature) {
  PyObject *table = PyObject_GetAttrString(module, capi_attribute);
  if (table == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    table = PyDict_New();
    if (table == nullptr) return -1;
    if (PyObject_SetAttrString(module, capi_attribute, table) < 0) {
      Py_DECREF(table);
      return -1;
    }
  }
  PyObject *capsule = PyCapsule_New(fn, signature, nullptr);
  int rc = capsule ? PyDict_SetItemString(table, name, capsule) : -1;
  Py_XDECREF(capsule);
  Py_DECREF(table);
  return rc;
}

// The entry point `name` of `module`'s table if its signature text is
// `signature`; otherwise null with AttributeError (no table), ImportError
// (no such entry) or TypeError (another signature).
inline void *import_function(PyObject *module, const char *module_name, const char *name,
                             const char *signature) {
  PyObject *table = PyObject_GetAttrString(module, capi_attribute);
  if (table == nullptr) return nullptr;
  void *fn = nullptr;
  PyObject *capsule = PyDict_GetItemString(table, name);  // borrowed
  if (capsule == nullptr) {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s", module_name, name);
  } else if (!PyCapsule_IsValid(capsule, PyCapsule_GetName(capsule))) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a valid C function capsule", module_name, name);
  } else {
    const char *got = PyCapsule_GetName(capsule);
    if (got == nullptr || std::strcmp(got, signature) != 0) {
      PyErr_Format(PyExc_TypeError, "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                   module_name, name, signature, got ? got : "");
    } else {
      fn = PyCapsule_GetPointer(capsule, got);
    }
  }
  Py_DECREF(table);
  return fn;
}

}  // namespace fennowick::py
