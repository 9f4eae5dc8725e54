// insert_many and get_many: many operations in one call.
//
// Work goes in blocks of the map's prefetch batch: serialize and hash the
// block's keys (and values), let the map warm the cache for all of their
// buckets and entries at once, then run the operations one by one. Each
// operation is the same as a single insert or get, with the same locking; the
// gain is one call across the boundary and cache misses that overlap.
#include <cstddef>

#include "fennowick/args.hpp"
#include "fennowick/binding.hpp"
#include "fennowick/errors.hpp"

namespace fennowick::py {

namespace {

constexpr std::size_t block = OwnedMap::prefetch_batch;

QuillmapObject *as_map(PyObject *o) noexcept { return reinterpret_cast<QuillmapObject *>(o); }


// One block's serialized keys (and values) and hashes; owns its references.
struct Block {
  PyObject *keys[block] = {};
  PyObject *values[block] = {};
  long long hashes[block] = {};
  std::size_t size = 0;
  ~Block() {
    if (holds_interpreter_lock()) reset();  // see holds_interpreter_lock
  }
  void reset() {
    for (std::size_t i = 0; i < block; ++i) {
      Py_CLEAR(keys[i]);
      Py_CLEAR(values[i]);
    }
    size = 0;
  }
};

// dumps and loads of the object's serializer as it is at the call's start.
struct Codec {
  PyObject *serializer, *dumps = nullptr, *loads = nullptr;
  explicit Codec(QuillmapObject *self) : serializer(self->serializer) {
    Py_INCREF(serializer);
    dumps = codec_attribute(serializer, 0);
    if (dumps != nullptr) loads = codec_attribute(serializer, 1);
  }
  ~Codec() {
    if (!holds_interpreter_lock()) return;
    Py_XDECREF(loads);
    Py_XDECREF(dumps);
    Py_DECREF(serializer);
  }
  bool ok() const noexcept { return loads != nullptr; }
};

PyObject *found_item(PyObject *value) {  // [True, value]; steals value
  PyObject *item = PyList_New(2);
  if (item == nullptr) {
    Py_DECREF(value);
    return nullptr;
  }
  Py_INCREF(Py_True);
  PyList_SET_ITEM(item, 0, Py_True);
  PyList_SET_ITEM(item, 1, value);
  return item;
}

PyObject *absent_item() {  // [False]
  PyObject *item = PyList_New(1);
  if (item == nullptr) return nullptr;
  Py_INCREF(Py_False);
  PyList_SET_ITEM(item, 0, Py_False);
  return item;
}

// The value of one lookup as get returns it; null with an exception set.
PyObject *look_up(OwnedMap &map, const Codec &codec, PyObject *key_bytes, long long hash) {
  PyObject *bytes = nullptr;
  const int found = fetch_bytes(map, key_bytes, hash, &bytes);
  if (found <= 0) return found == 0 ? absent_item() : nullptr;
  PyObject *value = PyObject_CallOneArg(codec.loads, bytes);
  Py_DECREF(bytes);
  return value ? found_item(value) : nullptr;
}

// Store the first `count` entries of a block, in order; false (exception set)
// at the first that fails, the ones before it stored.
bool store(OwnedMap &map, Block &b, std::size_t count, Py_ssize_t &stored) {
  map.prefetch(b.hashes, count);
  for (std::size_t i = 0; i < count; ++i) {
    try {
      map.insert(data_of(b.keys[i]), data_of(b.values[i]), size_of(b.keys[i]), size_of(b.values[i]), b.hashes[i]);
    } catch (abi::__forced_unwind &) {
      throw;
    } catch (...) {
      translate_exception();
      return false;
    }
    ++stored;
  }
  return true;
}

// The next (key, value) of an iterable of pairs, with dict.update's errors.
// 1: pair filled (new references); 0: exhausted; -1: error.
int next_pair(PyObject *it, Py_ssize_t index, PyObject *&key, PyObject *&value) {
  PyObject *item = PyIter_Next(it);
  if (item == nullptr) return PyErr_Occurred() ? -1 : 0;
  const bool ok = unpack_pair(item, index, "insert_many", key, value);
  Py_DECREF(item);
  return ok ? 1 : -1;
}

// What insert_many walks: a mapping's items, or the iterable itself.
PyObject *pairs_iterator(PyObject *pairs) {
  if (PyDict_Check(pairs)) {
    PyObject *items = PyDict_Items(pairs);
    PyObject *it = items ? PyObject_GetIter(items) : nullptr;
    Py_XDECREF(items);
    return it;
  }
  if (PyObject_HasAttrString(pairs, "keys") && PyObject_HasAttrString(pairs, "items")) {
    PyObject *items = PyObject_CallMethod(pairs, "items", nullptr);
    PyObject *it = items ? PyObject_GetIter(items) : nullptr;
    Py_XDECREF(items);
    return it;
  }
  return PyObject_GetIter(pairs);
}

}  // namespace

PyObject *method_insert_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"pairs"};
  static const Signature sig{"insert_many", keywords, 1, 1};
  PyObject *a[1] = {nullptr};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  MapUse use(as_map(self));
  if (use.map() == nullptr) return nullptr;
  Codec codec(as_map(self));
  if (!codec.ok()) return nullptr;
  PyObject *it = pairs_iterator(a[0]);
  if (it == nullptr) return nullptr;
  Block b;
  Py_ssize_t stored = 0, index = 0;
  bool ok = true;
  for (;;) {
    b.reset();
    int more = 1;
    while (b.size < block) {
      PyObject *key = nullptr, *value = nullptr;
      more = next_pair(it, index, key, value);
      if (more <= 0) break;
      ++index;
      const std::size_t i = b.size;
      const bool encoded = encode(as_map(self), codec.serializer, codec.dumps, key, value, b.keys[i], b.values[i],
                                  b.hashes[i]);
      Py_DECREF(key);
      Py_DECREF(value);
      if (!encoded) {
        more = -1;
        break;
      }
      ++b.size;
    }
    if (more < 0) {
      // The pairs before the bad one are stored, as a loop of inserts would.
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      const bool stored_all = store(*use.map(), b, b.size, stored);
      if (stored_all) {
        PyErr_Restore(type, value, traceback);
      } else {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
      }
      ok = false;
      break;
    }
    if (!store(*use.map(), b, b.size, stored)) {
      ok = false;
      break;
    }
    if (more == 0) break;
  }
  Py_DECREF(it);
  if (ok && warn_at_capacity(as_map(self), *use.map()) < 0) ok = false;
  return ok ? PyLong_FromSsize_t(stored) : nullptr;
}

PyObject *method_get_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static const char *const keywords[] = {"keys"};
  static const Signature sig{"get_many", keywords, 1, 1};
  PyObject *a[1] = {nullptr};
  if (!parse_vector(sig, args, nargs, kwnames, a)) return nullptr;
  MapUse use(as_map(self));
  if (use.map() == nullptr) return nullptr;
  Codec codec(as_map(self));
  if (!codec.ok()) return nullptr;
  // A tuple of the keys: the serializer may run code that changes a list.
  PyObject *keys = PySequence_Tuple(a[0]);
  if (keys == nullptr) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(keys);
  PyObject *result = PyList_New(n);
  Block b;
  for (Py_ssize_t from = 0; result != nullptr && from < n; from += static_cast<Py_ssize_t>(block)) {
    b.reset();
    const Py_ssize_t m = n - from < static_cast<Py_ssize_t>(block) ? n - from : static_cast<Py_ssize_t>(block);
    for (Py_ssize_t i = 0; i < m; ++i, ++b.size) {
      if (!encode(as_map(self), codec.serializer, codec.dumps, PyTuple_GET_ITEM(keys, from + i), nullptr,
                  b.keys[i], b.values[i], b.hashes[i])) {
        Py_CLEAR(result);
        break;
      }
    }
    if (result == nullptr) break;
    use.map()->prefetch(b.hashes, b.size);
    for (Py_ssize_t i = 0; i < m; ++i) {
      PyObject *item = look_up(*use.map(), codec, b.keys[i], b.hashes[i]);
      if (item == nullptr) {
        Py_CLEAR(result);
        break;
      }
      PyList_SET_ITEM(result, from + i, item);
    }
  }
  Py_DECREF(keys);
  return result;
}

const char insert_many_doc[] =
    "insert_many($self, pairs)\n--\n\n"
    "insert_many(self, pairs) -> int\n"
    "\n"
    "Insert every (key, value) pair of `pairs`, in order, as insert would.\n"
    "\n"
    "`pairs` is an iterable of 2-item sequences, or a mapping (its items are\n"
    "inserted). The pairs cross into the map in blocks, and the cache misses of a\n"
    "block overlap, so this is faster per entry than a loop of insert calls.\n"
    "Each entry is stored on its own (other processes may see some of the pairs\n"
    "before the call returns); an overridden insert is not called. If a pair\n"
    "fails (not a pair, a serializer error, a full map), the exception is raised\n"
    "and the pairs before it stay stored, those after it are not.\n"
    "\n"
    "        :param pairs: iterable of (key, value) pairs, or a mapping\n"
    "        :return: the number of pairs stored\n"
    "        ";

const char get_many_doc[] =
    "get_many($self, keys)\n--\n\n"
    "get_many(self, keys) -> list\n"
    "\n"
    "Look every key of `keys` up, as get would, in one call.\n"
    "\n"
    "Returns a list in the order of the keys, each item as get returns it:\n"
    "[True, value] when the key is present, [False] when it is not. Each lookup\n"
    "is atomic on its own; the list as a whole is not a snapshot. An overridden\n"
    "get is not called. On an error nothing is returned.\n"
    "\n"
    "        :param keys: iterable of keys\n"
    "        :return: list of [True, value] or [False], one per key\n"
    "        ";

}  // namespace fennowick::py
