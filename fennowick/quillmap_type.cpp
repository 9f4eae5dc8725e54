// The quillmap type: allocation, __init__, finalizer, deallocation, the
// collector's slots and the pickling refusal.
//
// Lifecycle: allocated (chm null, serializer None) -> initialised (__init__
// built or opened a map) -> closed (close(), __exit__, finalizer, a second
// __init__, or a failed one) -> deallocated. A closed object refuses every
// operation with one ValueError. The map is destroyed exactly once: closing
// takes it out of chm first, so neither a hand-called __del__ nor a later
// deallocation can reach it again, and an operation still inside the map
// (waiting with the interpreter lock let go) keeps it alive until it leaves
// (MapUse).
#include <cstring>
#include <string>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "fennowick/args.hpp"
#include "fennowick/binding.hpp"
#include "fennowick/errors.hpp"

#include <structmember.h>  // after Python.h

namespace fennowick::py {

namespace {

// Text signatures for inspect come first (up to "--", which __doc__ leaves
// out); "..." stands for the builtin hash, which they cannot spell.
#define QUILLMAP_PARAMETERS \
  "name=None, size=650000000, bucket_chunk_size_exponent=20, bucket_chunk_number=100, chunk_size_exponent=5, " \
  "serializer='pickle', hash_function=..., *, check_identity=True)\n--\n\n"

const char init_doc[] =
    "__init__($self, /, " QUILLMAP_PARAMETERS
    "__init__(self, name: bytes = None, size: int = 650000000, bucket_chunk_size_exponent: int = 20, "
    "bucket_chunk_number: int = 100, chunk_size_exponent: int = 5, serializer: unicode = u'pickle', "
    "hash_function: Callable = hash)\n"
    "\n"
    "constructor of quillmap\n"
    "\n"
    "        :param name: the file name of the map; None or b'' creates a new one in $TMPDIR when set, else in /dev/shm, else in the temporary directory\n"
    "        :param size: the file size in bytes\n"
    "        :param bucket_chunk_size_exponent: the bucket chunk size exponent, e.g. 20 gives 2**20=1048576 buckets "
    "per chunk\n"
    "        :param bucket_chunk_number: the number of bucket chunks, the most the table can grow to\n"
    "        :param chunk_size_exponent: the data chunk size exponent, e.g. 5 gives 2**5=32 bytes\n"
    "        :param serializer: the serializer, possible values are 'msgspec', 'pickle', 'orjson', 'msgpack' and "
    "'json'\n"
    "        :param hash_function: the hash function, can be any callable user defined\n"
    "        :param check_identity: (keyword only) a new map records its serializer and hash function in its\n"
    "            file; opening it by name without a serializer adopts the recorded one, and a serializer or\n"
    "            hash function (the default by name, any other by its qualified name) that differs from the\n"
    "            record raises ValueError. False opens it with the ones given all the same. Maps made\n"
    "            before the record existed open as 'pickle' with the given hash function, unchecked.\n"
    "        ";

const char pickling_message[] = "self.chm,self.size cannot be converted to a Python object for pickling";

QuillmapObject *as_map(PyObject *o) noexcept { return reinterpret_cast<QuillmapObject *>(o); }

PyObject *quillmap_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  PyObject *o = state.base_type->tp_new(type, args, kwds);
  if (o == nullptr) return nullptr;
  QuillmapObject *self = as_map(o);
  self->vtab = &quillmap_vtable;
  Py_INCREF(Py_None);
  self->serializer = Py_None;
  self->dict = PyDict_New();
  if (self->dict == nullptr) {
    Py_DECREF(o);
    return nullptr;
  }
  return o;
}

// The identity record: which serializer and hash function a map was made
// with, in the registry header's bytes for the layers above (zero: nothing
// recorded, a file made before the record). Written once by the creator,
// before the map's name is known to anyone; read by every opener, and
// untrusted like every other byte of the file.
//   0  "QMI1"      4 serializer name length   5 hash identity text length
//   8  XXH3-64 of the whole hash identity text
//  16  serializer name (up to 32 bytes)   48  hash identity text (first 80 bytes)
constexpr std::size_t identity_size = 128, serializer_max = 32, hash_text_max = 80;
constexpr unsigned char identity_magic[4] = {'Q', 'M', 'I', '1'};
static_assert(identity_size <= sizeof(RegistryHeader::upper));
const char *const serializer_names[] = {"pickle", "orjson", "msgpack", "json", "msgspec"};
const char default_hash_identity[] = "builtins.hash";

struct Identity {
  std::string serializer, hash_text;
  std::uint64_t hash_id = 0;
};

unsigned char *identity_bytes(OwnedMap *map) noexcept {
  RegistryHeader *h = map->registry().header();
  return h == nullptr ? nullptr : h->upper;
}

// The identity of a hash function: the default by name, any other callable
// by its module and qualified name (a callable instance: its type's).
bool hash_identity(QuillmapObject *self, PyObject *hash_function, std::string &out) {
  if (self->base.hash_mode == hash_mode_bytes) {
    out = default_hash_identity;
    return true;
  }
  PyObject *holder = PyObject_HasAttrString(hash_function, "__qualname__") ? hash_function
                                                                             : reinterpret_cast<PyObject *>(Py_TYPE(hash_function));
  PyObject *module = PyObject_GetAttrString(holder, "__module__");
  if (module == nullptr) PyErr_Clear();
  PyObject *qualname = PyObject_GetAttrString(holder, "__qualname__");
  if (qualname == nullptr) return false;
  PyObject *text = module != nullptr && PyUnicode_Check(module)
                       ? PyUnicode_FromFormat("%U.%S", module, qualname)
                       : PyObject_Str(qualname);
  Py_XDECREF(module);
  Py_DECREF(qualname);
  if (text == nullptr) return false;
  Py_ssize_t n = 0;
  const char *utf8 = PyUnicode_AsUTF8AndSize(text, &n);
  if (utf8 != nullptr) out.assign(utf8, static_cast<std::size_t>(n));
  Py_DECREF(text);
  return utf8 != nullptr;
}

void write_identity(OwnedMap *map, const Identity &id) noexcept {
  unsigned char *p = identity_bytes(map);
  if (p == nullptr) return;
  unsigned char rec[identity_size] = {};
  std::memcpy(rec, identity_magic, 4);
  rec[4] = static_cast<unsigned char>(id.serializer.size());
  const std::size_t shown = id.hash_text.size() < hash_text_max ? id.hash_text.size() : hash_text_max;
  rec[5] = static_cast<unsigned char>(shown);
  std::memcpy(rec + 8, &id.hash_id, 8);
  std::memcpy(rec + 16, id.serializer.data(), id.serializer.size());
  std::memcpy(rec + 48, id.hash_text.data(), shown);
  std::memcpy(p, rec, identity_size);
}

// 1: recorded (into `id`), 0: nothing recorded, -1: a damaged record
// (Python exception set).
int read_identity(OwnedMap *map, PyObject *name, Identity &id) {
  const unsigned char *p = identity_bytes(map);
  if (p == nullptr) return 0;
  unsigned char rec[identity_size];
  std::memcpy(rec, p, identity_size);
  bool zero = true;
  for (unsigned char c : rec) zero = zero && c == 0;
  if (zero) return 0;
  const char *why = nullptr;
  if (std::memcmp(rec, identity_magic, 4) != 0)
    why = "no signature";
  else if (rec[4] == 0 || rec[4] > serializer_max || rec[5] > hash_text_max || rec[6] != 0 || rec[7] != 0)
    why = "a length out of range";
  if (why == nullptr) {
    id.serializer.assign(reinterpret_cast<const char *>(rec + 16), rec[4]);
    id.hash_text.assign(reinterpret_cast<const char *>(rec + 48), rec[5]);
    std::memcpy(&id.hash_id, rec + 8, 8);
    bool known = false;
    for (const char *n : serializer_names) known = known || id.serializer == n;
    if (!known) why = "an unknown serializer";
  }
  if (why == nullptr) return 1;
  PyErr_Format(PyExc_ValueError, "map %R has a damaged serializer and hash record (%s)", name, why);
  return -1;
}

// The serializer module for `choice` (null: the default). msgspec's module
// gets dumps/loads bound to its JSON codec, as this module always has.
PyObject *choose_serializer(PyObject *choice) {
  static const char *const names[] = {"pickle", "orjson", "msgpack", "json", "msgspec"};
  const char *package = nullptr;
  if (choice == nullptr) {
    package = "pickle";
  } else if (choice != Py_None) {
    for (const char *n : names) {
      if (PyUnicode_CompareWithASCIIString(choice, n) == 0) {
        package = n;
        break;
      }
    }
    if (package == nullptr && PyErr_Occurred()) return nullptr;
  }
  if (package == nullptr) {
    PyErr_SetString(PyExc_ValueError, "Invalid serializer!");
    return nullptr;
  }
  PyObject *key = PyUnicode_InternFromString(package);
  PyObject *module = key ? lookup_global(key) : nullptr;
  Py_XDECREF(key);
  if (module == nullptr || package != names[4]) return module;
  PyObject *json = PyObject_GetAttrString(module, "json");
  PyObject *encode = json ? PyObject_GetAttr(json, state.s_encode) : nullptr;
  PyObject *decode = json ? PyObject_GetAttr(json, state.s_decode) : nullptr;
  bool ok = encode && decode && PyObject_SetAttr(module, state.s_dumps, encode) == 0 &&
            PyObject_SetAttr(module, state.s_loads, decode) == 0;
  Py_XDECREF(json);
  Py_XDECREF(encode);
  Py_XDECREF(decode);
  if (!ok) Py_CLEAR(module);
  return module;
}

int quillmap_init(PyObject *op, PyObject *args, PyObject *kwds) {
  static const char *const keywords[] = {"name",           "size",           "bucket_chunk_size_exponent",
                                         "bucket_chunk_number", "chunk_size_exponent", "serializer",
                                         "hash_function"};
  static const Signature sig{"__init__", keywords, 7, 0};
  PyObject *a[7] = {};
  // check_identity is keyword-only and not part of the classic signature:
  // taken out of a copy of the keywords before the rest are parsed.
  bool check_identity = true;
  PyObject *kw_rest = kwds;
  if (kwds != nullptr) {
    PyObject *flag = PyDict_GetItemString(kwds, "check_identity");
    if (flag != nullptr) {
      const int truth = PyObject_IsTrue(flag);
      if (truth < 0) return -1;
      check_identity = truth != 0;
      kw_rest = PyDict_Copy(kwds);
      if (kw_rest == nullptr || PyDict_DelItemString(kw_rest, "check_identity") < 0) {
        Py_XDECREF(kw_rest);
        return -1;
      }
    }
  }
  const bool parsed = parse_tuple(sig, args, kw_rest, a);
  if (kw_rest != kwds) Py_DECREF(kw_rest);
  if (!parsed) return -1;
  unsigned long long size = 650000000, bucket_chunk_number = 100;
  unsigned char bucket_chunk_size_exponent = 20, chunk_size_exponent = 5;
  if (a[1] && !to_size_t(a[1], size)) return -1;
  if (a[2] && !to_unsigned_char(a[2], bucket_chunk_size_exponent)) return -1;
  if (a[3] && !to_size_t(a[3], bucket_chunk_number)) return -1;
  if (a[4] && !to_unsigned_char(a[4], chunk_size_exponent)) return -1;
  PyObject *name = a[0] ? a[0] : Py_None;
  if (name != Py_None && !PyBytes_CheckExact(name)) {
    raise_argument_type("name", "bytes", name);
    return -1;
  }
  if (a[5] && a[5] != Py_None && !PyUnicode_CheckExact(a[5])) {
    raise_argument_type("serializer", "str", a[5]);
    return -1;
  }
  std::string path;
  if (name != Py_None) {
    path.assign(PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name)));
    // As open() does: a path is never silently cut at a NUL into another one.
    if (path.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");
      return -1;
    }
  }
  PyObject *hash_function = a[6] ? a[6] : state.builtin_hash;
  QuillmapObject *self = as_map(op);

  // A second __init__ closes the map it replaces, before anything else
  // changes: the object never pairs an old map with a new hash function.
  release_map(self);

  PyObject *bound = PyObject_CallFunctionObjArgs(state.builtin_super, reinterpret_cast<PyObject *>(state.type), op,
                                                 nullptr);
  PyObject *base_init = bound ? PyObject_GetAttr(bound, state.s_init) : nullptr;
  Py_XDECREF(bound);
  PyObject *r = base_init ? PyObject_CallOneArg(base_init, hash_function) : nullptr;
  Py_XDECREF(base_init);
  if (r == nullptr) return -1;
  Py_DECREF(r);

  PyObject *serializer = choose_serializer(a[5]);
  if (serializer == nullptr) return -1;
  Py_XSETREF(self->serializer, serializer);

  const bool create = path.empty();
  OwnedMap *map;
  try {
    map = new OwnedMap(path, bucket_chunk_size_exponent, bucket_chunk_number, size, chunk_size_exponent);
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    translate_exception();
    return -1;
  }
  self->chm = map;

  // The identity record: written by the creator, checked or adopted by openers.
  Identity given;
  given.serializer = a[5] != nullptr ? PyUnicode_AsUTF8(a[5]) : "pickle";
  if (!hash_identity(self, hash_function, given.hash_text)) {
    release_map(self);
    return -1;
  }
  given.hash_id = XXH3_64bits(given.hash_text.data(), given.hash_text.size());
  if (create) {
    write_identity(map, given);
  } else {
    Identity recorded;
    const int got = read_identity(map, name, recorded);
    const char *mismatch = nullptr;
    if (got < 0) {
      release_map(self);
      return -1;
    }
    if (got > 0 && a[5] == nullptr && recorded.serializer != given.serializer) {
      PyObject *choice = PyUnicode_FromString(recorded.serializer.c_str());
      PyObject *adopted = choice ? choose_serializer(choice) : nullptr;
      Py_XDECREF(choice);
      if (adopted == nullptr) {
        release_map(self);
        return -1;
      }
      Py_XSETREF(self->serializer, adopted);
      given.serializer = recorded.serializer;
    }
    if (got > 0 && recorded.serializer != given.serializer)
      mismatch = "serializer";
    else if (got > 0 && recorded.hash_id != given.hash_id)
      mismatch = "hash function";
    if (mismatch != nullptr && check_identity) {
      const bool ser = mismatch[0] == 's';
      PyErr_Format(PyExc_ValueError,
                   "map %R was created with %s %s, not %s; open it with the same one (pass "
                   "check_identity=False to open it with this one all the same)",
                   name, mismatch, (ser ? recorded.serializer : recorded.hash_text).c_str(),
                   (ser ? given.serializer : given.hash_text).c_str());
      release_map(self);
      return -1;
    }
  }
  PyObject *new_name;
  if (create) {
    new_name = PyBytes_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (new_name == nullptr) return -1;
  } else {
    Py_INCREF(name);
    new_name = name;
  }
  Py_XSETREF(self->base.name, new_name);
  return 0;
}

void quillmap_finalize(PyObject *op) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  release_map(as_map(op));
  PyErr_Restore(type, value, tb);
}

void quillmap_dealloc(PyObject *op) {
  PyTypeObject *type = Py_TYPE(op);
  if (type->tp_finalize != nullptr && !PyObject_GC_IsFinalized(op) &&
      type->tp_dealloc == reinterpret_cast<destructor>(quillmap_dealloc)) {
    if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
  }
  PyObject_GC_UnTrack(op);
  QuillmapObject *self = as_map(op);
  release_map(self);  // no-op unless a subclass skipped the finalizer
  if (self->dict != nullptr) PyDict_Clear(self->dict);
  Py_CLEAR(self->serializer);
  Py_CLEAR(self->dict);
  if (PyType_IS_GC(state.base_type)) PyObject_GC_Track(op);  // the base's dealloc untracks
  state.base_type->tp_dealloc(op);
}

int quillmap_traverse(PyObject *op, visitproc visit, void *arg) {
  if (state.base_type->tp_traverse != nullptr) {
    int e = state.base_type->tp_traverse(op, visit, arg);
    if (e) return e;
  }
  QuillmapObject *self = as_map(op);
  Py_VISIT(self->serializer);
  Py_VISIT(self->dict);
  return 0;
}

int quillmap_clear(PyObject *op) {
  if (state.base_type->tp_clear != nullptr) state.base_type->tp_clear(op);
  QuillmapObject *self = as_map(op);
  Py_INCREF(Py_None);
  Py_XSETREF(self->serializer, Py_None);
  // Null, not None: attribute look-up expects a dict or nothing here, and
  // makes a fresh one if the object is used again.
  Py_CLEAR(self->dict);
  return 0;
}

PyMemberDef quillmap_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(QuillmapObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef quillmap_getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                                 {"closed", get_closed, nullptr, closed_doc, nullptr},
                                 {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot quillmap_slots[] = {{Py_tp_doc, const_cast<char *>("quillmap(" QUILLMAP_PARAMETERS "\nclass provide quillmap\n    ")},
                                {Py_tp_new, reinterpret_cast<void *>(quillmap_new)},
                                {Py_tp_init, reinterpret_cast<void *>(quillmap_init)},
                                {Py_tp_finalize, reinterpret_cast<void *>(quillmap_finalize)},
                                {Py_tp_dealloc, reinterpret_cast<void *>(quillmap_dealloc)},
                                {Py_tp_traverse, reinterpret_cast<void *>(quillmap_traverse)},
                                {Py_tp_clear, reinterpret_cast<void *>(quillmap_clear)},
                                {Py_tp_methods, quillmap_methods},
                                {Py_tp_members, quillmap_members},
                                {Py_tp_getset, quillmap_getset},
                                {Py_tp_repr, reinterpret_cast<void *>(slot_repr)},
                                {Py_tp_iter, reinterpret_cast<void *>(slot_iter)},
                                {Py_mp_length, reinterpret_cast<void *>(slot_length)},
                                {Py_mp_subscript, reinterpret_cast<void *>(slot_subscript)},
                                {Py_mp_ass_subscript, reinterpret_cast<void *>(slot_ass_subscript)},
                                {Py_sq_contains, reinterpret_cast<void *>(slot_contains)},
                                {0, nullptr}};

PyType_Spec quillmap_spec = {
    "fennowick.quillmap.quillmap", sizeof(QuillmapObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, quillmap_slots};

// The __init__ slot wrapper reads its docstring from the slot table entry,
// which is shared by every type; give ours a private copy carrying the
// constructor's documentation.
wrapperbase init_wrapper;

int document_init(PyTypeObject *type) {
  PyObject *w = PyDict_GetItemWithError(type->tp_dict, state.s_init);  // borrowed
  if (w == nullptr) return PyErr_Occurred() ? -1 : 0;
  if (Py_IS_TYPE(w, &PyWrapperDescr_Type)) {
    auto *descr = reinterpret_cast<PyWrapperDescrObject *>(w);
    init_wrapper = *descr->d_base;
    init_wrapper.doc = init_doc;
    descr->d_base = &init_wrapper;
  }
  return 0;
}

// The base type from fennowick.tolvane_base, checked for the layout this
// module was compiled against.
PyTypeObject *import_base(PyObject **base_module) {
  PyObject *mod = PyImport_ImportModule("fennowick.tolvane_base");
  if (mod == nullptr) return nullptr;
  PyObject *t = PyObject_GetAttrString(mod, "tolvane_base");
  if (t == nullptr) {
    Py_DECREF(mod);
    return nullptr;
  }
  if (!PyType_Check(t)) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "fennowick.tolvane_base", "tolvane_base");
    Py_DECREF(t);
    Py_DECREF(mod);
    return nullptr;
  }
  auto *type = reinterpret_cast<PyTypeObject *>(t);
  const Py_ssize_t expected = sizeof(TolvaneBaseObject);
  if (type->tp_basicsize != expected) {
    const char *fmt =
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
        "PyObject";
    if (type->tp_basicsize < expected) {
      PyErr_Format(PyExc_ValueError, fmt, "fennowick.tolvane_base", "tolvane_base", expected, type->tp_basicsize);
      Py_DECREF(t);
      Py_DECREF(mod);
      return nullptr;
    }
    if (PyErr_WarnFormat(nullptr, 0, fmt, "fennowick.tolvane_base", "tolvane_base", expected, type->tp_basicsize) <
        0) {
      Py_DECREF(t);
      Py_DECREF(mod);
      return nullptr;
    }
  }
  *base_module = mod;
  return type;
}

}  // namespace

void release_map(QuillmapObject *self) {
  OwnedMap *map = owned_map(self);
  if (map == nullptr) return;
  self->chm = nullptr;
  if (map->users > 0) {
    map->doomed = true;  // the last MapUse destroys it
    return;
  }
  map->destroy();
  delete map;
}

PyObject *method_reduce(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const Signature sig{"__reduce__", nullptr, 0, 0, false};
  if (!parse_vector(sig, args, nargs, kwnames, nullptr)) return nullptr;
  PyErr_SetString(PyExc_TypeError, pickling_message);
  return nullptr;
}

PyObject *method_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"state"};
  static const Signature sig{"__setstate__", keywords, 1, 1, false};
  PyObject *a[1] = {nullptr};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  PyErr_SetString(PyExc_TypeError, pickling_message);
  return nullptr;
}

// Move the refusals to __reduce__ and __setstate__ unless the type already
// pickles some other way (its own __getstate__ or __reduce_ex__).
int install_pickling(PyTypeObject *type) {
  PyObject *object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
  PyObject *t = reinterpret_cast<PyObject *>(type);
  PyObject *dict = type->tp_dict;
  PyObject *own_getstate = nullptr, *base_getstate = nullptr, *own_reduce_ex = nullptr, *base_reduce_ex = nullptr,
           *own_reduce = nullptr, *base_reduce = nullptr, *own_setstate = nullptr;
  int rc = -1;
  auto optional = [](PyObject *o, const char *name) -> PyObject * {
    PyObject *r = PyObject_GetAttrString(o, name);
    if (r == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return r;
  };
  PyObject *refuse_reduce = PyDict_GetItemString(dict, "__quillmap_reduce__");      // borrowed
  PyObject *refuse_setstate = PyDict_GetItemString(dict, "__quillmap_setstate__");  // borrowed
  do {
    if (refuse_reduce == nullptr || refuse_setstate == nullptr) break;
    own_getstate = optional(t, "__getstate__");
    base_getstate = optional(object, "__getstate__");
    if (PyErr_Occurred()) break;
    if (own_getstate != nullptr && own_getstate != base_getstate) {
      rc = 0;
      break;
    }
    own_reduce_ex = PyObject_GetAttrString(t, "__reduce_ex__");
    base_reduce_ex = own_reduce_ex ? PyObject_GetAttrString(object, "__reduce_ex__") : nullptr;
    if (base_reduce_ex == nullptr) break;
    if (own_reduce_ex != base_reduce_ex) {
      rc = 0;
      break;
    }
    own_reduce = PyObject_GetAttrString(t, "__reduce__");
    base_reduce = own_reduce ? PyObject_GetAttrString(object, "__reduce__") : nullptr;
    if (base_reduce == nullptr) break;
    if (own_reduce == base_reduce || own_reduce == refuse_reduce) {
      if (PyDict_SetItemString(dict, "__reduce__", refuse_reduce) < 0) break;
      if (PyDict_DelItemString(dict, "__quillmap_reduce__") < 0) break;
      own_setstate = optional(t, "__setstate__");
      if (PyErr_Occurred()) break;
      if (own_setstate == nullptr || own_setstate == refuse_setstate) {
        if (PyDict_SetItemString(dict, "__setstate__", refuse_setstate) < 0) break;
        if (PyDict_DelItemString(dict, "__quillmap_setstate__") < 0) break;
      }
    }
    PyType_Modified(type);
    rc = 0;
  } while (false);
  Py_XDECREF(own_getstate);
  Py_XDECREF(base_getstate);
  Py_XDECREF(own_reduce_ex);
  Py_XDECREF(base_reduce_ex);
  Py_XDECREF(own_reduce);
  Py_XDECREF(base_reduce);
  Py_XDECREF(own_setstate);
  if (rc < 0 && !PyErr_Occurred()) {
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
  }
  return rc;
}

int setup_type(PyObject *module) {
  PyObject *base_module = nullptr;
  PyTypeObject *base = import_base(&base_module);
  if (base == nullptr) return -1;
  state.hash_key = reinterpret_cast<hash_key_fn>(
      import_function(base_module, "fennowick.tolvane_base", "hash_key", hash_key_signature));
  state.hash_key_bytes = state.hash_key ? reinterpret_cast<hash_key_bytes_fn>(import_function(
                                              base_module, "fennowick.tolvane_base", "hash_key_bytes",
                                              hash_key_bytes_signature))
                                        : nullptr;
  Py_DECREF(base_module);
  if (state.hash_key_bytes == nullptr) {
    Py_DECREF(base);
    return -1;
  }
  state.base_type = base;  // kept for the life of the process

  // No collection while the type is half built.
  const int gc_was_enabled = PyGC_Disable();
  PyObject *t = PyType_FromModuleAndSpec(module, &quillmap_spec, reinterpret_cast<PyObject *>(base));
  if (gc_was_enabled) PyGC_Enable();
  if (t == nullptr) return -1;
  auto *type = reinterpret_cast<PyTypeObject *>(t);
  PyObject *vtable = PyCapsule_New(const_cast<QuillmapVtable *>(&quillmap_vtable), vtable_signature, nullptr);
  if (vtable == nullptr || setup_iterator_type(module) < 0 || document_init(type) < 0 || PyDict_SetItemString(type->tp_dict, vtable_key, vtable) < 0 ||
      install_pickling(type) < 0 || PyModule_AddObjectRef(module, "quillmap", t) < 0) {
    Py_XDECREF(vtable);
    Py_DECREF(t);
    return -1;
  }
  Py_DECREF(vtable);
  PyType_Modified(type);
  state.type = type;  // the reference from creation is kept for the life of the process
  return 0;
}

}  // namespace fennowick::py
