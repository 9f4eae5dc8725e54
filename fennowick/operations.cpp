// insert, get and remove: as methods, as module functions, and as native
// entry points (the __capi__ table and the type's method table).
//
// Every operation runs in the same order, so that a failure leaves the map
// untouched: refuse a closed object; serialize the key (and the value);
// hash; refuse a serializer result of None; call the map. The map call may
// let the interpreter lock go while it waits for a bucket or an expansion, so
// the object's map is pinned (MapUse) for the whole call.
#include <cstdint>

#include "fennowick/args.hpp"
#include "fennowick/binding.hpp"
#include "fennowick/errors.hpp"
#include "fennowick/py_versions.hpp"
#include "shm/host.hpp"

namespace fennowick::py {

// A serializer result as stored bytes: exactly bytes, or None (refused after
// hashing). The json module's dumps gives str; that is stored as UTF-8, which
// json.loads reads back as it stands.
PyObject *serialize(PyObject *dumps, PyObject *obj, bool text_ok) {
  PyObject *r = PyObject_CallOneArg(dumps, obj);
  if (r == nullptr || PyBytes_CheckExact(r) || r == Py_None) return r;
  if (text_ok && PyUnicode_CheckExact(r)) {
    PyObject *b = PyUnicode_AsUTF8String(r);
    Py_DECREF(r);
    return b;
  }
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(r)->tp_name);
  Py_DECREF(r);
  return nullptr;
}

namespace {

// serializer.dumps / serializer.loads, as attribute look-up gives them now.
// For a plain module the look-up is a read of its dict, so the last result is
// kept with the dict's version tag: while the tag is unchanged (any store or
// delete in the dict changes it, msgspec's rebinding included) the same
// look-up would give the same objects.
struct Codec {
  PyObject *module = nullptr;  // strong: the tag belongs to this module's dict
  std::uint64_t tag = 0;
  PyObject *fn[2] = {nullptr, nullptr};  // dumps, loads
};
Codec codec;

}  // namespace

PyObject *codec_attribute(PyObject *serializer, int which) {
  if (Py_IS_TYPE(serializer, &PyModule_Type)) {
    auto *dict = reinterpret_cast<PyDictObject *>(PyModule_GetDict(serializer));
    if (codec.module == serializer && codec.tag == dict_version(reinterpret_cast<PyObject *>(dict))) {
      Py_INCREF(codec.fn[which]);
      return codec.fn[which];
    }
    PyObject *dumps = PyDict_GetItemWithError(reinterpret_cast<PyObject *>(dict), state.s_dumps);
    PyObject *loads = dumps ? PyDict_GetItemWithError(reinterpret_cast<PyObject *>(dict), state.s_loads) : nullptr;
    if (dumps != nullptr && loads != nullptr) {
      Py_INCREF(serializer);
      Py_INCREF(dumps);
      Py_INCREF(loads);
      PyObject *old[3] = {codec.module, codec.fn[0], codec.fn[1]};
      codec.module = serializer;
      codec.tag = dict_version(reinterpret_cast<PyObject *>(dict));
      codec.fn[0] = dumps;
      codec.fn[1] = loads;
      for (PyObject *o : old) Py_XDECREF(o);  // may run arbitrary code: after the cache is consistent
      Py_INCREF(codec.fn[which]);
      return which ? loads : dumps;
    }
    if (PyErr_Occurred()) return nullptr;
  }
  return PyObject_GetAttr(serializer, which ? state.s_loads : state.s_dumps);
}

bool encode(QuillmapObject *self, PyObject *serializer, PyObject *dumps, PyObject *key, PyObject *value,
            PyObject *&key_bytes, PyObject *&value_bytes, long long &hash) {
  const bool text_ok = serializer == state.json_module && serializer != nullptr;
  key_bytes = serialize(dumps, key, text_ok);
  if (key_bytes == nullptr) return false;
  if (value != nullptr) {
    value_bytes = serialize(dumps, value, text_ok);
    if (value_bytes == nullptr) return false;
  }
  const bool have_key = key_bytes != Py_None;
  hash = state.hash_key_bytes(&self->base, key, have_key ? PyBytes_AS_STRING(key_bytes) : nullptr,
                              have_key ? PyBytes_GET_SIZE(key_bytes) : 0);
  if (PyErr_Occurred()) return false;
  if (!have_key || value_bytes == Py_None) {
    raise_none_not_bytes();
    return false;
  }
  return true;
}

namespace {

// The serialized key and its hash: the common first half of every operation.
// On success `key_bytes` is an exact bytes object (new reference).
struct KeyCall {
  PyObject *serializer = nullptr;
  PyObject *dumps = nullptr;
  PyObject *key_bytes = nullptr;
  PyObject *value_bytes = nullptr;
  long long hash = 0;
  ~KeyCall() {
    if (!holds_interpreter_lock()) return;  // a thread ended at shutdown: leave them
    Py_XDECREF(value_bytes);
    Py_XDECREF(key_bytes);
    Py_XDECREF(dumps);
    Py_XDECREF(serializer);
  }
};

bool prepare(QuillmapObject *self, PyObject *key, PyObject *value, KeyCall &c) {
  c.serializer = self->serializer;
  Py_INCREF(c.serializer);
  c.dumps = codec_attribute(c.serializer, 0);
  if (c.dumps == nullptr) return false;
  return encode(self, c.serializer, c.dumps, key, value, c.key_bytes, c.value_bytes, c.hash);
}


}  // namespace

int insert_impl(QuillmapObject *self, PyObject *key, PyObject *value) {
  MapUse use(self);
  if (use.map() == nullptr) return -1;
  KeyCall c;
  if (!prepare(self, key, value, c)) return -1;
  try {
    use.map()->insert(data_of(c.key_bytes), data_of(c.value_bytes), size_of(c.key_bytes), size_of(c.value_bytes),
                      c.hash);
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    translate_exception();
    return -1;
  }
  return warn_at_capacity(self, *use.map()) < 0 ? -1 : 1;
}

int fetch_bytes(OwnedMap &map, PyObject *key_bytes, long long hash, PyObject **value_bytes) {
  // The value goes straight into a new bytes object, made under the bucket's
  // lock; made and left unused only when the file turns out to be damaged.
  const OwnedMap::ValueSink sink = [](void *context, std::uint64_t length) noexcept -> char * {
    auto *out = static_cast<PyObject **>(context);
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
    *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    return *out ? PyBytes_AS_STRING(*out) : nullptr;
  };
  PyObject *bytes = nullptr;
  bool found;
  try {
    found = map.get(data_of(key_bytes), size_of(key_bytes), hash, sink, &bytes);
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    Py_XDECREF(bytes);
    translate_exception();
    return -1;
  }
  if (!found) return 0;
  if (value_bytes) {
    *value_bytes = bytes;
  } else {
    Py_DECREF(bytes);
  }
  return 1;
}

int lookup_impl(QuillmapObject *self, PyObject *key, PyObject **value) {
  MapUse use(self);
  if (use.map() == nullptr) return -1;
  KeyCall c;
  if (!prepare(self, key, nullptr, c)) return -1;
  PyObject *value_bytes = nullptr;
  const int found = fetch_bytes(*use.map(), c.key_bytes, c.hash, value ? &value_bytes : nullptr);
  if (found <= 0 || value == nullptr) return found;
  PyObject *loads = codec_attribute(c.serializer, 1);
  *value = loads ? PyObject_CallOneArg(loads, value_bytes) : nullptr;
  Py_XDECREF(loads);
  Py_DECREF(value_bytes);
  return *value == nullptr ? -1 : 1;
}

PyObject *decode_impl(QuillmapObject *self, const char *data, Py_ssize_t length) {
  PyObject *serializer = self->serializer;
  Py_INCREF(serializer);
  PyObject *bytes = PyBytes_FromStringAndSize(data, length);
  PyObject *loads = bytes ? codec_attribute(serializer, 1) : nullptr;
  PyObject *value = loads ? PyObject_CallOneArg(loads, bytes) : nullptr;
  Py_XDECREF(loads);
  Py_XDECREF(bytes);
  Py_DECREF(serializer);
  return value;
}

int remove_impl(QuillmapObject *self, PyObject *key) {
  MapUse use(self);
  if (use.map() == nullptr) return -1;
  KeyCall c;
  if (!prepare(self, key, nullptr, c)) return -1;
  try {
    return use.map()->remove(data_of(c.key_bytes), size_of(c.key_bytes), c.hash) ? 1 : 0;
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    translate_exception();
    return -1;
  }
}

namespace {

PyObject *get_impl(QuillmapObject *self, PyObject *key) {
  PyObject *value = nullptr;
  const int found = lookup_impl(self, key, &value);
  if (found < 0) return nullptr;
  PyObject *list = PyList_New(found ? 2 : 1);
  if (list == nullptr) {
    Py_XDECREF(value);
    return nullptr;
  }
  PyObject *flag = found ? Py_True : Py_False;
  Py_INCREF(flag);
  PyList_SET_ITEM(list, 0, flag);
  if (found) PyList_SET_ITEM(list, 1, value);
  return list;
}

PyObject *int_result(int r) noexcept {
  if (r < 0) return nullptr;
  PyObject *o = r ? state.one : state.zero;
  Py_INCREF(o);
  return o;
}

QuillmapObject *as_map(PyObject *o) noexcept { return reinterpret_cast<QuillmapObject *>(o); }

// target of the module functions: a quillmap (or subclass) and never None.
bool check_target(PyObject *target) {
  if (PyObject_TypeCheck(target, state.type)) return true;
  raise_argument_type("target", state.type->tp_name, target);
  return false;
}

// Methods.

const char *const insert_keywords[] = {"input_key", "input_value"};
const char *const key_keywords[] = {"input_key"};
const Signature insert_sig{"insert", insert_keywords, 2, 2};
const Signature get_sig{"get", key_keywords, 1, 1};
const Signature remove_sig{"remove", key_keywords, 1, 1};

PyObject *method_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[2] = {nullptr, nullptr};
  if (!parse_vector(insert_sig, args, nargs, kwnames, a)) return nullptr;
  return int_result(insert_impl(as_map(self), a[0], a[1]));
}

PyObject *method_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[1] = {nullptr};
  if (!parse_vector(get_sig, args, nargs, kwnames, a)) return nullptr;
  return get_impl(as_map(self), a[0]);
}

PyObject *method_remove(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[1] = {nullptr};
  if (!parse_vector(remove_sig, args, nargs, kwnames, a)) return nullptr;
  return int_result(remove_impl(as_map(self), a[0]));
}

// Module functions.

const char *const dict_insert_keywords[] = {"target", "input_key", "input_value"};
const char *const dict_key_keywords[] = {"target", "input_key"};
const Signature dict_insert_sig{"dict_insert", dict_insert_keywords, 3, 3};
const Signature dict_get_sig{"dict_get", dict_key_keywords, 2, 2};
const Signature dict_remove_sig{"dict_remove", dict_key_keywords, 2, 2};

PyObject *function_dict_insert(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[3] = {nullptr, nullptr, nullptr};
  if (!parse_vector(dict_insert_sig, args, nargs, kwnames, a) || !check_target(a[0])) return nullptr;
  return int_result(insert_impl(as_map(a[0]), a[1], a[2]));
}

PyObject *function_dict_get(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[2] = {nullptr, nullptr};
  if (!parse_vector(dict_get_sig, args, nargs, kwnames, a) || !check_target(a[0])) return nullptr;
  return get_impl(as_map(a[0]), a[1]);
}

PyObject *function_dict_remove(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *a[2] = {nullptr, nullptr};
  if (!parse_vector(dict_remove_sig, args, nargs, kwnames, a) || !check_target(a[0])) return nullptr;
  return int_result(remove_impl(as_map(a[0]), a[1]));
}

// Native entry points. The caller vouches for the target's type.

int native_dict_insert(QuillmapObject *self, PyObject *key, PyObject *value, int) {
  return insert_impl(self, key, value);
}
PyObject *native_dict_get(QuillmapObject *self, PyObject *key, int) { return get_impl(self, key); }
int native_dict_remove(QuillmapObject *self, PyObject *key, int) { return remove_impl(self, key); }

// The method table: with skip_dispatch 0 a Python-level override wins.

DispatchCache insert_cache, get_cache, remove_cache;

int int32_result(PyObject *r) {
  if (r == nullptr) return -1;
  int v = PyLong_AsInt(r);
  Py_DECREF(r);
  return (v == -1 && PyErr_Occurred()) ? -1 : v;
}

int vtab_insert(QuillmapObject *self, PyObject *key, PyObject *value, int skip_dispatch) {
  if (!skip_dispatch) {
    PyObject *override = nullptr;
    int found = find_override(self, state.s_insert, reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_insert)),
                              insert_cache, &override);
    if (found < 0) return -1;
    if (found > 0) {
      PyObject *r = PyObject_CallFunctionObjArgs(override, key, value, nullptr);
      Py_DECREF(override);
      return int32_result(r);
    }
  }
  return insert_impl(self, key, value);
}

PyObject *vtab_get(QuillmapObject *self, PyObject *key, int skip_dispatch) {
  if (!skip_dispatch) {
    PyObject *override = nullptr;
    int found = find_override(self, state.s_get, reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_get)),
                              get_cache, &override);
    if (found < 0) return nullptr;
    if (found > 0) {
      PyObject *r = PyObject_CallOneArg(override, key);
      Py_DECREF(override);
      if (r != nullptr && r != Py_None && !PyList_CheckExact(r)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(r)->tp_name);
        Py_CLEAR(r);
      }
      return r;
    }
  }
  return get_impl(self, key);
}

int vtab_remove(QuillmapObject *self, PyObject *key, int skip_dispatch) {
  if (!skip_dispatch) {
    PyObject *override = nullptr;
    int found = find_override(self, state.s_remove,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_remove)), remove_cache,
                              &override);
    if (found < 0) return -1;
    if (found > 0) {
      PyObject *r = PyObject_CallOneArg(override, key);
      Py_DECREF(override);
      return int32_result(r);
    }
  }
  return remove_impl(self, key);
}

std::uint64_t dict_tag(QuillmapObject *self) noexcept {
  return self->dict ? dict_version(self->dict) : 0;
}

}  // namespace

int find_override(QuillmapObject *self, PyObject *name, PyCFunction own, DispatchCache &cache,
                  PyObject **override) {
  PyTypeObject *type = Py_TYPE(self);
  const bool tagged = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
  // Both tags unchanged since a look-up found no override: nothing can have
  // introduced one, since any change to either dict changes its tag.
  if (tagged && cache.type == type && cache.type_tag == type->tp_version_tag && cache.dict_tag == dict_tag(self))
    return 0;
  PyObject *found = PyObject_GetAttr(reinterpret_cast<PyObject *>(self), name);
  if (found == nullptr) return -1;
  if (PyCFunction_Check(found) && PyCFunction_GET_FUNCTION(found) == own) {
    Py_DECREF(found);
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) {  // the look-up assigns a tag when it can
      cache.type = type;
      cache.type_tag = type->tp_version_tag;
      cache.dict_tag = dict_tag(self);
    }
    return 0;
  }
  *override = found;
  return 1;
}

const QuillmapVtable quillmap_vtable = {vtab_insert, vtab_get, vtab_remove, vtab_expansion};

// Docstrings: a text signature for inspect (the part up to "--", which
// __doc__ leaves out), then the signature line, as callers have always read it.

PyMethodDef quillmap_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_insert)), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, input_key, input_value)\n--\n\n"
     "insert(self, input_key, input_value) -> int\n"
     "\n"
     "insert the tolvane with input_key and input_value\n"
     "\n"
     "        :param input_key: the key, any object the serializer accepts\n"
     "        :param input_value: the value, any object the serializer accepts\n"
     "        :return: 1 if successful\n"
     "        "},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_get)), METH_FASTCALL | METH_KEYWORDS,
     "get($self, input_key)\n--\n\n"
     "get(self, input_key) -> list\n"
     "\n"
     "get the target object from tolvane with input_key\n"
     "\n"
     "        :param input_key: the key, any object the serializer accepts\n"
     "        :return: list in form of [Boolean, object]. The first boolean value indicates whether the input_key is "
     "in the dict. The second python object is the target object if the first boolean value is True. \n"
     "        "},
    {"remove", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_remove)), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, input_key)\n--\n\n"
     "remove(self, input_key) -> int\n"
     "\n"
     "remove the target object from tolvane with input_key\n"
     "\n"
     "        :param input_key: the key, any object the serializer accepts\n"
     "        :return: 1 if successfully removed, 0 if the input_key not in the target tolvane\n"
     "        "},
    {"insert_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_insert_many)),
     METH_FASTCALL | METH_KEYWORDS, insert_many_doc},
    {"get_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_get_many)),
     METH_FASTCALL | METH_KEYWORDS, get_many_doc},
    {"expansion", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_expansion)),
     METH_FASTCALL | METH_KEYWORDS, expansion_doc},
    {"close", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_close)), METH_FASTCALL | METH_KEYWORDS,
     close_doc},
    {"__enter__", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_enter)),
     METH_FASTCALL | METH_KEYWORDS, enter_doc},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_exit)), METH_FASTCALL | METH_KEYWORDS,
     exit_doc},
    {"pop", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_pop)), METH_FASTCALL | METH_KEYWORDS,
     pop_doc},
    {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_setdefault)),
     METH_FASTCALL | METH_KEYWORDS, setdefault_doc},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_update)), METH_FASTCALL | METH_KEYWORDS,
     update_doc},
    {"clear", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_clear)), METH_FASTCALL | METH_KEYWORDS,
     clear_doc},
    {"keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_keys)), METH_FASTCALL | METH_KEYWORDS,
     keys_doc},
    {"values", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_values)), METH_FASTCALL | METH_KEYWORDS,
     values_doc},
    {"items", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_items)), METH_FASTCALL | METH_KEYWORDS,
     items_doc},
    {"stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_stats)), METH_FASTCALL | METH_KEYWORDS,
     stats_doc},
    {"unlink", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_unlink)), METH_FASTCALL | METH_KEYWORDS,
     unlink_doc},
    {"__quillmap_reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_reduce)),
     METH_FASTCALL | METH_KEYWORDS,
     "__quillmap_reduce__($self, /)\n--\n\nrefuses: a quillmap is shared by name, never copied"},
    {"__quillmap_setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(method_setstate)),
     METH_FASTCALL | METH_KEYWORDS,
     "__quillmap_setstate__($self, state, /)\n--\n\nrefuses: a quillmap is shared by name, never copied"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef module_functions[] = {
    {"dict_insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(function_dict_insert)),
     METH_FASTCALL | METH_KEYWORDS,
     "dict_insert($module, target, input_key, input_value)\n--\n\n"
     "dict_insert(target: quillmap, input_key, input_value) -> int\n"
     "\n"
     "insert the target tolvane with input_key and input_value\n"
     "\n"
     "    :param target: the quillmap to insert into\n"
     "    :param input_key: the key, any object the serializer accepts\n"
     "    :param input_value: the value, any object the serializer accepts\n"
     "    :return: 1 if successful\n"
     "    "},
    {"dict_get", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(function_dict_get)),
     METH_FASTCALL | METH_KEYWORDS,
     "dict_get($module, target, input_key)\n--\n\n"
     "dict_get(target: quillmap, input_key) -> list\n"
     "\n"
     "get the target object from tolvane with input_key\n"
     "\n"
     "    :param target: the quillmap to read from\n"
     "    :param input_key: the key, any object the serializer accepts\n"
     "    :return: list in form of [Boolean, object]. The first boolean value indicates whether the input_key is in "
     "the dict. The second python object is the target object if the first boolean value is True. \n"
     "    "},
    {"dict_remove", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(function_dict_remove)),
     METH_FASTCALL | METH_KEYWORDS,
     "dict_remove($module, target, input_key)\n--\n\n"
     "dict_remove(target: quillmap, input_key) -> int\n"
     "\n"
     "remove the target object from tolvane with input_key\n"
     "\n"
     "    :param target: the quillmap to remove from\n"
     "    :param input_key: the key, any object the serializer accepts\n"
     "    :return: 1 if successfully removed, 0 if the input_key not in the target tolvane\n"
     "    "},
    {"dict_expansion", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(function_dict_expansion)),
     METH_FASTCALL | METH_KEYWORDS, dict_expansion_doc},
    {"unlink", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(function_unlink)),
     METH_FASTCALL | METH_KEYWORDS, module_unlink_doc},
    {nullptr, nullptr, 0, nullptr}};

int export_capi(PyObject *module) {
  if (export_function(module, "dict_insert", reinterpret_cast<void *>(native_dict_insert), dict_insert_signature) < 0)
    return -1;
  if (export_function(module, "dict_get", reinterpret_cast<void *>(native_dict_get), dict_get_signature) < 0)
    return -1;
  if (export_function(module, "dict_remove", reinterpret_cast<void *>(native_dict_remove), dict_remove_signature) < 0)
    return -1;
  return 0;
}

}  // namespace fennowick::py
