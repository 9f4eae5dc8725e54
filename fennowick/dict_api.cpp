// The dict-like face of quillmap: len, `in`, subscription, closing, the
// context manager, pop/setdefault/update, stats, unlink and the repr.
//
// Every key operation here goes through the same insert/lookup/remove code as
// insert/get/remove (operations.cpp): same serializer, same hash, same map
// call, same errors. Compound methods (pop, setdefault, update) are sequences
// of those single operations, each atomic on its own, not atomic as a whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "fennowick/args.hpp"
#include "fennowick/binding.hpp"
#include "fennowick/errors.hpp"
#include "shm/arena.hpp"
#include "shm/region.hpp"

namespace fennowick::py {

const char closed_doc[] = "True once close() ran (or the object was finalised or never initialised)";

const char close_doc[] =
    "close($self, /)\n--\n\n"
    "close(self) -> None\n"
    "\n"
    "tear down this process's view of the map, as the finalizer does; idempotent. The shared table and\n"
    "other objects on it are untouched. Any later operation raises ValueError.";

const char enter_doc[] = "__enter__($self, /)\n--\n\n"
    "__enter__(self) -> quillmap\n\nreturn self; ValueError when closed";

const char exit_doc[] = "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
    "__exit__(self, exc_type, exc_value, traceback) -> bool\n\nclose(); exceptions propagate";

const char pop_doc[] =
    "pop($self, key, default=..., /)\n--\n\n"
    "pop(self, key, default=<missing>) -> object\n"
    "\n"
    "remove key and return its value; without it return default, or raise KeyError when no default is given.\n"
    "Not atomic: a read followed by a remove. When another writer removes the key in between, the key counts\n"
    "as absent; when it replaces the value in between, the value read first is returned.";

const char setdefault_doc[] =
    "setdefault($self, key, default=None, /)\n--\n\n"
    "setdefault(self, key, default=None) -> object\n"
    "\n"
    "the value of key; when absent, insert default and return it. Not atomic: a read followed by an insert,\n"
    "so a concurrent writer's value for the same key may be overwritten.";

const char update_doc[] =
    "update($self, other=(), /)\n--\n\n"
    "update(self, other=(), /) -> None\n"
    "\n"
    "insert every pair of other: a mapping (anything with keys()) or an iterable of key/value pairs. One\n"
    "insert per pair, in order; an error stops the update with the earlier pairs inserted.";

const char clear_doc[] =
    "clear($self, /)\n--\n\n"
    "clear(self) -> None\n"
    "\n"
    "remove every entry that is present for the whole call, also while other processes write or expand the\n"
    "table. Not atomic: the buckets are walked one at a time and each one's keys removed one by one, so\n"
    "entries inserted meanwhile may or may not remain.";

#define WALK_PROMISE                                                                                      \
  "The walk goes bucket by bucket, each bucket copied under its lock, and is weakly consistent: never an\n" \
  "error because of concurrent changes by this or other processes, and every entry present and unchanged\n" \
  "for the whole walk is produced exactly once, also while the table doubles. Entries inserted, replaced\n"  \
  "or removed meanwhile may be produced or not (a replaced one with either value). Closing the object\n"     \
  "ends the walk with ValueError. The iterator is a one-shot iterator, not a view."

const char keys_doc[] = "keys($self, /)\n--\n\n"
    "keys(self) -> Iterator[object]\n\nan iterator over the keys; iter(d) is the same.\n" WALK_PROMISE;
const char values_doc[] = "values($self, /)\n--\n\n"
    "values(self) -> Iterator[object]\n\nan iterator over the values.\n" WALK_PROMISE;
const char items_doc[] =
    "items($self, /)\n--\n\n"
    "items(self) -> Iterator[tuple[object, object]]\n\nan iterator over (key, value) pairs.\n" WALK_PROMISE;

#undef WALK_PROMISE

const char stats_doc[] =
    "stats($self, /)\n--\n\n"
    "stats(self) -> dict\n"
    "\n"
    "the figures `quillmap stat` prints: file_size, arena_size, arena_used, bucket_chunks_in_use,\n"
    "bucket_chunk_number, buckets_per_chunk, buckets, entries, load, longest_bucket, data_chunk_unit,\n"
    "expanding, at_capacity (all bucket chunks in use: the table grows no more; inserts past 2 entries per\n"
    "bucket then warn with a RuntimeWarning, once per map and process). Computed by a full walk of the\n"
    "file this object has open (also after unlink() or a change of directory), as `quillmap check` walks\n"
    "it (bucket by bucket under the bucket locks while processes have the map open), so it costs time\n"
    "proportional to the map's size and, while other processes write, is not a snapshot. RuntimeError\n"
    "when the walk finds no table to report on.";

const char unlink_doc[] =
    "unlink($self, /)\n--\n\n"
    "unlink(self) -> None\n"
    "\n"
    "remove the backing file's name; ValueError once the object is closed. Open objects on the map (in any\n"
    "process) keep working until they close;\n"
    "no new object can open it by name, and expansion() (whose workers open the map by name) fails.";

const char module_unlink_doc[] =
    "unlink($module, name)\n--\n\n"
    "unlink(name: bytes | str | os.PathLike) -> None\n"
    "\n"
    "remove the backing file of a map by name; OSError when that fails, ValueError (and nothing removed)\n"
    "when the file is not a map file. Open objects keep working.";

namespace {

QuillmapObject *as_map(PyObject *o) noexcept { return reinterpret_cast<QuillmapObject *>(o); }

// KeyError(key), with a tuple key kept whole as the one argument.
void raise_key_error(PyObject *key) {
  PyObject *exc = PyObject_CallOneArg(PyExc_KeyError, key);
  if (exc == nullptr) return;
  PyErr_SetObject(PyExc_KeyError, exc);
  Py_DECREF(exc);
}

PyObject *none() noexcept {
  Py_INCREF(Py_None);
  return Py_None;
}

}  // namespace

Py_ssize_t slot_length(PyObject *self) {
  MapUse use(as_map(self));
  if (use.map() == nullptr) return -1;
  try {
    const std::uint64_t n = use.map()->entry_count();
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::overflow_error("entry count out of range");
    return static_cast<Py_ssize_t>(n);
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    translate_exception();
    return -1;
  }
}

PyObject *slot_subscript(PyObject *self, PyObject *key) {
  PyObject *value = nullptr;
  const int found = lookup_impl(as_map(self), key, &value);
  if (found == 0) raise_key_error(key);
  return found > 0 ? value : nullptr;
}

int slot_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
  if (value != nullptr) return insert_impl(as_map(self), key, value) < 0 ? -1 : 0;
  const int removed = remove_impl(as_map(self), key);
  if (removed == 0) raise_key_error(key);
  return removed > 0 ? 0 : -1;
}

int slot_contains(PyObject *self, PyObject *key) { return lookup_impl(as_map(self), key, nullptr); }

namespace {

struct MapFileRecord {
  Py_ssize_t views = 0;
  std::uint64_t warned_epoch = ~std::uint64_t{0};  // fork_epoch() of the process that warned
};
std::map<MapFileKey, MapFileRecord> &map_files() {
  static auto *files = new std::map<MapFileKey, MapFileRecord>;  // never destroyed: views may outlive statics
  return *files;
}

}  // namespace

bool track_map_file(int fd, MapFileKey &key) noexcept {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  key = MapFileKey{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
  try {
    ++map_files()[key].views;
  } catch (...) {
    return false;  // no memory: this view warns on its own
  }
  return true;
}

void untrack_map_file(const MapFileKey &key) noexcept {
  auto &files = map_files();
  auto it = files.find(key);
  if (it != files.end() && --it->second.views <= 0) files.erase(it);
}

int warn_at_capacity(QuillmapObject *self, OwnedMap &map) {
  const unsigned long long chunks = map.bucket_chunk_number(), in_use = map.bucket_chunks_in_use();
  if (in_use < chunks) return 0;
  const std::uint64_t epoch = fork_epoch();
  if (map.capacity_warned_epoch == epoch) return 0;
  const unsigned long long buckets = in_use * map.buckets_per_chunk();
  // The shared estimate word: two loads, where the exact count sums every slot.
  const unsigned long long entries = map.ConcurrentHashMap_base<1>::entry_count();
  if (entries <= 2 * buckets) return 0;
  map.capacity_warned_epoch = epoch;
  // Another object of this process on the same file may have warned already.
  auto &files = map_files();
  auto it = files.find(map.file_key);
  if (it != files.end()) {
    if (it->second.warned_epoch == epoch) return 0;
    it->second.warned_epoch = epoch;
  }
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "quillmap %R is at capacity: its table has all %llu bucket chunks (%llu buckets) and "
                          "holds %llu entries, more than 2 per bucket; buckets will keep getting longer. Make "
                          "the map with a larger bucket_chunk_number (or bucket_chunk_size_exponent)",
                          self->base.name ? self->base.name : Py_None, chunks, buckets, entries);
}

PyObject *slot_repr(PyObject *self) {
  QuillmapObject *q = as_map(self);
  PyObject *name = q->base.name ? q->base.name : Py_None;
  const char *type_name = _PyType_Name(Py_TYPE(self));
  OwnedMap *map = owned_map(q);
  if (map == nullptr) return PyUnicode_FromFormat("<%s name=%R closed>", type_name, name);
  try {
    const unsigned long long entries = map->entry_count();
    const unsigned long long buckets = map->shape().buckets_per_chunk * map->bucket_chunks_in_use();
    return PyUnicode_FromFormat("<%s name=%R entries=%llu buckets=%llu>", type_name, name, entries, buckets);
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

PyObject *get_closed(PyObject *self, void *) noexcept { return PyBool_FromLong(owned_map(as_map(self)) == nullptr); }

PyObject *method_close(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const Signature sig{"close", nullptr, 0, 0, false};
  if (!parse_vector(sig, args, nargs, kwnames, nullptr)) return nullptr;
  release_map(as_map(self));
  return none();
}

PyObject *method_enter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const Signature sig{"__enter__", nullptr, 0, 0, false};
  if (!parse_vector(sig, args, nargs, kwnames, nullptr)) return nullptr;
  if (owned_map(as_map(self)) == nullptr) {
    PyErr_SetString(PyExc_ValueError, closed_message);
    return nullptr;
  }
  Py_INCREF(self);
  return self;
}

PyObject *method_exit(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"exc_type", "exc_value", "traceback"};
  static const Signature sig{"__exit__", keywords, 3, 3, false};
  PyObject *a[3] = {};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  release_map(as_map(self));
  Py_INCREF(Py_False);
  return Py_False;
}

PyObject *method_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"key", "default"};
  static const Signature sig{"pop", keywords, 2, 1, false};
  PyObject *a[2] = {nullptr, nullptr};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  PyObject *value = nullptr;
  int found = lookup_impl(as_map(self), a[0], &value);
  if (found > 0) {
    found = remove_impl(as_map(self), a[0]);
    if (found > 0) return value;
    Py_DECREF(value);
  }
  if (found < 0) return nullptr;
  if (a[1] == nullptr) {
    raise_key_error(a[0]);
    return nullptr;
  }
  Py_INCREF(a[1]);
  return a[1];
}

PyObject *method_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"key", "default"};
  static const Signature sig{"setdefault", keywords, 2, 1, false};
  PyObject *a[2] = {nullptr, Py_None};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  PyObject *value = nullptr;
  const int found = lookup_impl(as_map(self), a[0], &value);
  if (found != 0) return found > 0 ? value : nullptr;
  if (insert_impl(as_map(self), a[0], a[1]) < 0) return nullptr;
  Py_INCREF(a[1]);
  return a[1];
}

namespace {

int update_from_mapping(QuillmapObject *self, PyObject *other, PyObject *keys_fn) {
  PyObject *keys = PyObject_CallNoArgs(keys_fn);
  PyObject *it = keys ? PyObject_GetIter(keys) : nullptr;
  Py_XDECREF(keys);
  if (it == nullptr) return -1;
  int rc = 0;
  while (PyObject *key = PyIter_Next(it)) {
    PyObject *value = PyObject_GetItem(other, key);
    rc = value ? insert_impl(self, key, value) : -1;
    Py_XDECREF(value);
    Py_DECREF(key);
    if (rc < 0) break;
  }
  Py_DECREF(it);
  return rc < 0 || PyErr_Occurred() ? -1 : 0;
}

int update_from_pairs(QuillmapObject *self, PyObject *other) {
  PyObject *it = PyObject_GetIter(other);
  if (it == nullptr) return -1;
  int rc = 0;
  for (Py_ssize_t i = 0; PyObject *item = PyIter_Next(it); ++i) {
    PyObject *key = nullptr, *value = nullptr;
    const bool ok = unpack_pair(item, i, "dictionary update", key, value);
    Py_DECREF(item);
    rc = ok ? insert_impl(self, key, value) : -1;
    Py_XDECREF(key);
    Py_XDECREF(value);
    if (rc < 0) break;
  }
  Py_DECREF(it);
  return rc < 0 || PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject *method_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"other"};
  static const Signature sig{"update", keywords, 1, 0, false};
  PyObject *a[1] = {nullptr};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  if (owned_map(as_map(self)) == nullptr) {
    PyErr_SetString(PyExc_ValueError, closed_message);
    return nullptr;
  }
  if (a[0] == nullptr) return none();
  PyObject *keys_fn = PyObject_GetAttrString(a[0], "keys");
  if (keys_fn == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  const int rc = keys_fn ? update_from_mapping(as_map(self), a[0], keys_fn) : update_from_pairs(as_map(self), a[0]);
  Py_XDECREF(keys_fn);
  return rc < 0 ? nullptr : none();
}

PyObject *method_clear(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const Signature sig{"clear", nullptr, 0, 0, false};
  if (!parse_vector(sig, args, nargs, kwnames, nullptr)) return nullptr;
  MapUse use(as_map(self));
  if (use.map() == nullptr) return nullptr;
  try {
    use.map()->clear();
  } catch (abi::__forced_unwind &) {
    throw;
  } catch (...) {
    translate_exception();
    return nullptr;
  }
  return none();
}

namespace {

enum class Walk { keys, values, items };

// The iterator: one bucket's copied entries at a time.
struct IteratorObject {
  PyObject_HEAD
  PyObject *map;  // the quillmap walked; null once exhausted
  Walk kind;
  bool last;      // the buffered bucket was the walk's last
  std::uint64_t cursor;
  std::vector<OwnedMap::ScannedEntry> *buffer;
  std::size_t pos;
};

IteratorObject *as_iterator(PyObject *o) noexcept { return reinterpret_cast<IteratorObject *>(o); }

PyObject *make_iterator(PyObject *self, Walk kind) {
  if (owned_map(as_map(self)) == nullptr) {
    PyErr_SetString(PyExc_ValueError, closed_message);
    return nullptr;
  }
  auto *buffer = new (std::nothrow) std::vector<OwnedMap::ScannedEntry>();
  if (buffer == nullptr) return PyErr_NoMemory();
  IteratorObject *it = PyObject_GC_New(IteratorObject, state.iterator_type);
  if (it == nullptr) {
    delete buffer;
    return nullptr;
  }
  Py_INCREF(self);
  it->map = self;
  it->kind = kind;
  it->last = false;
  it->cursor = 0;
  it->buffer = buffer;
  it->pos = 0;
  PyObject_GC_Track(it);
  return reinterpret_cast<PyObject *>(it);
}

PyObject *iterator_next(PyObject *op) {
  IteratorObject *it = as_iterator(op);
  if (it->map != nullptr && owned_map(as_map(it->map)) == nullptr) {
    PyErr_SetString(PyExc_ValueError, closed_message);
    return nullptr;
  }
  while (it->map != nullptr && it->pos == it->buffer->size()) {
    if (it->last) {
      Py_CLEAR(it->map);
      it->buffer->clear();
      return nullptr;
    }
    PyObject *map = it->map;
    Py_INCREF(map);  // the walk may let the interpreter lock go
    {
      MapUse use(as_map(map));
      if (use.map() == nullptr) {
        Py_DECREF(map);
        return nullptr;
      }
      try {
        it->cursor = use.map()->scan_bucket(it->cursor, it->kind != Walk::keys, *it->buffer);
      } catch (abi::__forced_unwind &) {
        throw;
      } catch (...) {
        translate_exception();
        it->buffer->clear();
        it->pos = 0;
        Py_DECREF(map);
        return nullptr;
      }
    }
    Py_DECREF(map);
    it->last = it->cursor == 0;
    it->pos = 0;
  }
  if (it->map == nullptr) return nullptr;
  const OwnedMap::ScannedEntry &e = (*it->buffer)[it->pos++];
  QuillmapObject *q = as_map(it->map);
  PyObject *key = nullptr, *value = nullptr;
  if (it->kind != Walk::values) {
    key = decode_impl(q, e.key.data(), static_cast<Py_ssize_t>(e.key.size()));
    if (key == nullptr) return nullptr;
    if (it->kind == Walk::keys) return key;
  }
  value = decode_impl(q, e.value.data(), static_cast<Py_ssize_t>(e.value.size()));
  if (value == nullptr || it->kind == Walk::values) {
    Py_XDECREF(key);
    return value;
  }
  PyObject *pair = PyTuple_Pack(2, key, value);
  Py_DECREF(key);
  Py_DECREF(value);
  return pair;
}

int iterator_traverse(PyObject *op, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(as_iterator(op)->map);
  return 0;
}

int iterator_clear(PyObject *op) {
  Py_CLEAR(as_iterator(op)->map);
  return 0;
}

void iterator_dealloc(PyObject *op) {
  PyTypeObject *type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  IteratorObject *it = as_iterator(op);
  Py_CLEAR(it->map);
  delete it->buffer;
  it->buffer = nullptr;
  PyObject_GC_Del(op);
  Py_DECREF(type);
}

PyObject *iterator_self(PyObject *op) {
  Py_INCREF(op);
  return op;
}

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char *>("iterator over a quillmap's keys, values or items; see quillmap.keys")},
    {Py_tp_iter, reinterpret_cast<void *>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void *>(iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void *>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(iterator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(iterator_dealloc)},
    {0, nullptr}};

PyType_Spec iterator_spec = {"fennowick.quillmap.quillmap_iterator", sizeof(IteratorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             iterator_slots};

PyObject *walk_method(const char *name, Walk kind, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
  const Signature sig{name, nullptr, 0, 0, false};
  if (!parse_vector(sig, args, nargs, kwnames, nullptr)) return nullptr;
  return make_iterator(self, kind);
}

}  // namespace

int setup_iterator_type(PyObject *module) {
  if (state.iterator_type != nullptr) return 0;
  PyObject *t = PyType_FromModuleAndSpec(module, &iterator_spec, nullptr);
  if (t == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "quillmap_iterator", t) < 0) {
    Py_DECREF(t);
    return -1;
  }
  state.iterator_type = reinterpret_cast<PyTypeObject *>(t);  // kept for the life of the process
  return 0;
}

PyObject *slot_iter(PyObject *self) { return make_iterator(self, Walk::keys); }

PyObject *method_keys(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return walk_method("keys", Walk::keys, self, args, nargs, kwnames);
}

PyObject *method_values(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return walk_method("values", Walk::values, self, args, nargs, kwnames);
}

PyObject *method_items(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return walk_method("items", Walk::items, self, args, nargs, kwnames);
}

PyObject *method_stats(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const Signature sig{"stats", nullptr, 0, 0, false};
  if (!parse_vector(sig, args, nargs, kwnames, nullptr)) return nullptr;
  MapUse use(as_map(self));
  if (use.map() == nullptr) return nullptr;
  // Walk the file this object has open, through its own descriptor: the
  // name may be gone (unlink) or relative to another working directory.
  const int fd = use.map()->file_handle();
  if (fd < 0) {
    PyErr_SetString(PyExc_ValueError, closed_message);
    return nullptr;
  }
  PyObject *inspect = PyImport_ImportModule("fennowick._inspect");
  PyObject *cli = inspect ? PyImport_ImportModule("fennowick.cli") : nullptr;
  PyObject *report = cli ? PyObject_CallMethod(inspect, "check", "s", ("/proc/self/fd/" + std::to_string(fd)).c_str())
                         : nullptr;
  // A walk that found no table has no figures to give.
  if (report != nullptr) {
    PyObject *ok = PyDict_GetItemString(report, "ok");
    PyObject *buckets = PyDict_GetItemString(report, "buckets");
    if (ok != Py_True && buckets != nullptr && PyLong_Check(buckets) && PyLong_AsLongLong(buckets) == 0) {
      PyObject *problem = PyDict_GetItemString(report, "problem");
      PyErr_Format(PyExc_RuntimeError, "stats: cannot read the map %R: %S", as_map(self)->base.name,
                   problem != nullptr ? problem : Py_None);
      Py_CLEAR(report);
    }
  }
  PyObject *shape = report ? PyObject_CallMethod(cli, "shape_of", "O", report) : nullptr;
  Py_XDECREF(report);
  Py_XDECREF(cli);
  Py_XDECREF(inspect);
  return shape;
}

namespace {

// Whether the file at `path_bytes` starts as a map file does: the arena
// header's signature and the map header's chunk at its place. Sets a Python
// exception and returns -1 when it cannot be read or is not a map file.
int require_map_file(PyObject *path_bytes) {
  constexpr std::size_t need = region_header_size + map_header_offset;
  unsigned char head[need];
  const char *path = PyBytes_AS_STRING(path_bytes);
  int fd = -1, err = 0;
  ssize_t got = -1;
  struct stat st {};
  bool regular = false;
  Py_BEGIN_ALLOW_THREADS fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) got = ::pread(fd, head, need, 0);
    err = errno;
    ::close(fd);
  } else {
    err = errno;
  }
  Py_END_ALLOW_THREADS
  if (fd < 0) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_bytes);
    return -1;
  }
  const char *why = nullptr;
  if (!regular)
    why = "not a regular file";
  else if (got < 0) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_bytes);
    return -1;
  } else if (static_cast<std::size_t>(got) < need || static_cast<std::uint64_t>(st.st_size) < region_overhead)
    why = "not a map file: too short for its headers";
  else if ((why = arena_check(head + region_header_size, static_cast<std::uint64_t>(st.st_size))) == nullptr) {
    const unsigned char *arena = head + region_header_size;
    if (arena[65] != unit_map_header || arena[64] != chunk_size_for(unit_map_header))
      why = "not a map file: no map header at its place";
  }
  if (why == nullptr) return 0;
  PyErr_Format(PyExc_ValueError, "refusing to unlink %R: %s", path_bytes, why);
  return -1;
}

int unlink_path(PyObject *path_bytes) {
  int rc;
  Py_BEGIN_ALLOW_THREADS rc = ::unlink(PyBytes_AS_STRING(path_bytes));
  Py_END_ALLOW_THREADS
  if (rc != 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_bytes);
    return -1;
  }
  return 0;
}

}  // namespace

PyObject *method_unlink(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const Signature sig{"unlink", nullptr, 0, 0, false};
  if (!parse_vector(sig, args, nargs, kwnames, nullptr)) return nullptr;
  PyObject *name = as_map(self)->base.name;
  if (name == nullptr || !PyBytes_Check(name) || owned_map(as_map(self)) == nullptr) {
    PyErr_SetString(PyExc_ValueError, closed_message);
    return nullptr;
  }
  Py_INCREF(name);  // the object may be re-initialised while the lock is let go
  const int rc = unlink_path(name);
  Py_DECREF(name);
  return rc < 0 ? nullptr : none();
}

PyObject *function_unlink(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"name"};
  static const Signature sig{"unlink", keywords, 1, 1};
  PyObject *a[1] = {nullptr};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  PyObject *path = nullptr;
  if (!PyUnicode_FSConverter(a[0], &path)) return nullptr;
  const int rc = require_map_file(path) < 0 ? -1 : unlink_path(path);
  Py_DECREF(path);
  return rc < 0 ? nullptr : none();
}

}  // namespace fennowick::py
