// Internals shared by the translation units of the quillmap extension:
// process-wide state filled once by module initialisation, the map wrapper
// that keeps a map alive while an operation uses it, and the entry points
// each unit provides to the others.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "fennowick/capi.hpp"
#include "fennowick/interpreter_lock.hpp"
#include "map/string_map.hpp"

namespace fennowick::py {

// Written during module initialisation (under the import lock), read-only
// afterwards. The module is loaded into one interpreter per process, so one
// copy serves every object.
struct State {
  PyObject *module = nullptr;            // the initialised module, once exec succeeded
  PyObject *module_dict = nullptr;       // its namespace (borrowed from module)
  PyObject *builtins = nullptr;          // the builtins module
  PyTypeObject *type = nullptr;          // quillmap
  PyTypeObject *base_type = nullptr;     // tolvane_base
  PyTypeObject *iterator_type = nullptr; // what iter(quillmap), keys(), values() and items() return
  hash_key_fn hash_key = nullptr;
  hash_key_bytes_fn hash_key_bytes = nullptr;
  PyObject *builtin_super = nullptr;
  PyObject *builtin_hash = nullptr;      // default of hash_function
  PyObject *json_module = nullptr;       // for the str-to-UTF-8 rule; null when json failed to import
  PyObject *default_name = nullptr;      // b""
  PyObject *one = nullptr, *zero = nullptr;
  // interned attribute names
  PyObject *s_dumps = nullptr, *s_loads = nullptr, *s_init = nullptr, *s_insert = nullptr, *s_get = nullptr,
           *s_remove = nullptr, *s_expansion = nullptr, *s_encode = nullptr, *s_decode = nullptr;
};
extern State state;

// The message every operation on a closed or never-initialised object gets.
inline constexpr const char *closed_message = "operation on a closed quillmap";

// This process's objects on each map file, and whether it has warned that
// the map is at capacity. A map file is known by (st_dev, st_ino) while at
// least one view of this process holds it open (so the inode cannot be
// reused meanwhile); forgotten when the last one closes. Used under the
// interpreter lock only.
struct MapFileKey {
  unsigned long long dev = 0, ino = 0;
  bool operator<(const MapFileKey &o) const noexcept { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};
// Count a new view of the file open at `fd`; false when it cannot be stat'ed.
bool track_map_file(int fd, MapFileKey &key) noexcept;
void untrack_map_file(const MapFileKey &key) noexcept;

// The map as the binding owns it. An operation counts itself in `users`
// because the map may let the interpreter lock go while it waits, and another
// thread may close the object meanwhile (__del__ by hand, a second __init__):
// closing then only marks the map doomed and the last user destroys it.
struct OwnedMap final : ConcurrentHashMap_string<1> {
  template <class... Args>
  explicit OwnedMap(Args &&...args) : ConcurrentHashMap_string<1>(std::forward<Args>(args)...) {
    tracked_ = track_map_file(file_handle(), file_key);
  }
  ~OwnedMap() {
    if (tracked_) untrack_map_file(file_key);
  }
  OwnedMap(const OwnedMap &) = delete;
  OwnedMap &operator=(const OwnedMap &) = delete;

  Py_ssize_t users = 0;
  bool doomed = false;
  // fork_epoch() at which this process warned about the map, or ~0: a child
  // made by fork() is another process and warns for itself.
  std::uint64_t capacity_warned_epoch = ~std::uint64_t{0};
  MapFileKey file_key;

private:
  bool tracked_ = false;
};

// After inserts: once per map file and process (however many objects the
// process has on it), a RuntimeWarning when the table can grow no more and
// its load has passed the limit at which it would have doubled. -1 when the
// warning was turned into an exception.
int warn_at_capacity(QuillmapObject *self, OwnedMap &map);

inline OwnedMap *owned_map(QuillmapObject *self) noexcept { return static_cast<OwnedMap *>(self->chm); }

// Close the object's map: destroy it now, or when its last user leaves.
void release_map(QuillmapObject *self);

// False only on a thread that CPython is ending at shutdown: pthread_exit
// from the wait for the interpreter lock unwinds the thread through our
// frames without the lock. Cleanup on that way (destructors) then leaves
// Python objects and the process-local map object alone; the process is
// about to end, and the lock guards of the core release the shared words.
// The flag of the host's waits comes first: from 3.13, PyGILState_Check()
// answers "held" on every thread once finalization has begun, and freeing
// an object there crashed the exiting process.
inline bool holds_interpreter_lock() {
  return !host::interpreter_lock_given_up && PyGILState_Check() != 0;
}

// Scoped use of an object's map. map() is null (ValueError set) when the
// object is closed.
class MapUse {
public:
  explicit MapUse(QuillmapObject *self) noexcept : map_(owned_map(self)) {
    if (map_ == nullptr) {
      PyErr_SetString(PyExc_ValueError, closed_message);
    } else {
      ++map_->users;
    }
  }
  // May wait (the destruction takes the arena lock), so a thread ended at
  // shutdown may unwind out of it.
  ~MapUse() noexcept(false) {
    // Unwound without the interpreter lock: the count stays up, so the map
    // is never destroyed under another thread's feet.
    if (map_ == nullptr || !holds_interpreter_lock()) return;
    if (--map_->users == 0 && map_->doomed) {
      map_->destroy();
      delete map_;
    }
  }
  MapUse(const MapUse &) = delete;
  MapUse &operator=(const MapUse &) = delete;
  OwnedMap *map() const noexcept { return map_; }

private:
  OwnedMap *map_;
};

// Look a global of the module up as Python code in it would: module
// namespace, then builtins; NameError "name '%U' is not defined" otherwise.
PyObject *lookup_global(PyObject *name);  // new reference

// The method table's dispatch check: remembers, per entry, that a look-up
// found no override, with the version tags of the type's dict and the
// instance dict at that moment.
struct DispatchCache {
  PyTypeObject *type = nullptr;
  unsigned int type_tag = 0;
  std::uint64_t dict_tag = 0;
};
// 0: use the type's own operation; 1: *override is a new reference to the
// Python-level override to call instead; -1: error set.
int find_override(QuillmapObject *self, PyObject *name, PyCFunction own, DispatchCache &cache,
                  PyObject **override);

// quillmap_type.cpp
int setup_type(PyObject *module);
int install_pickling(PyTypeObject *type);
PyObject *method_reduce(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_setstate(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// operations.cpp
// The operations themselves, shared by every way of calling them. insert and
// remove return 1/0 or -1 with an exception set. lookup_impl returns 1 when
// the key is present (with *value a new reference to the deserialized value,
// unless value is null: then only presence is reported), 0 when absent, -1 on
// error.
int insert_impl(QuillmapObject *self, PyObject *key, PyObject *value);
int lookup_impl(QuillmapObject *self, PyObject *key, PyObject **value);
int remove_impl(QuillmapObject *self, PyObject *key);
// An exact bytes object as the map takes it.
inline const signed char *data_of(PyObject *b) noexcept {
  return reinterpret_cast<const signed char *>(PyBytes_AS_STRING(b));
}
inline unsigned long long size_of(PyObject *b) noexcept { return static_cast<unsigned long long>(PyBytes_GET_SIZE(b)); }

// The serializer's dumps (which 0) or loads (1), new reference.
PyObject *codec_attribute(PyObject *serializer, int which);
// Serialize key (and value, unless null) with dumps of `serializer` and hash
// the key: the first half of every operation. On success key_bytes (and
// value_bytes) are new references to exact bytes; on failure an exception is
// set and whatever was made is left in them for the caller to release.
bool encode(QuillmapObject *self, PyObject *serializer, PyObject *dumps, PyObject *key, PyObject *value,
            PyObject *&key_bytes, PyObject *&value_bytes, long long &hash);
// The stored value of a serialized key as a new bytes object: 1 found
// (*value_bytes set unless value_bytes is null), 0 absent, -1 error.
int fetch_bytes(OwnedMap &map, PyObject *key_bytes, long long hash, PyObject **value_bytes);
// Stored bytes back to an object through the object's serializer (new reference).
PyObject *decode_impl(QuillmapObject *self, const char *data, Py_ssize_t length);
extern const QuillmapVtable quillmap_vtable;
extern PyMethodDef quillmap_methods[];
extern PyMethodDef module_functions[];
int export_capi(PyObject *module);

// dict_api.cpp: the mapping protocol, closing, and the dict-like methods.
Py_ssize_t slot_length(PyObject *self);
PyObject *slot_subscript(PyObject *self, PyObject *key);
int slot_ass_subscript(PyObject *self, PyObject *key, PyObject *value);
int slot_contains(PyObject *self, PyObject *key);
PyObject *slot_repr(PyObject *self);
PyObject *slot_iter(PyObject *self);
PyObject *method_keys(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_values(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_items(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
int setup_iterator_type(PyObject *module);
PyObject *get_closed(PyObject *self, void *) noexcept;
PyObject *method_close(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_enter(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_exit(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_pop(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_setdefault(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_update(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_clear(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_stats(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_unlink(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *function_unlink(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
extern const char closed_doc[], close_doc[], enter_doc[], exit_doc[], pop_doc[], setdefault_doc[], update_doc[],
    clear_doc[], keys_doc[], values_doc[], items_doc[], stats_doc[], unlink_doc[], module_unlink_doc[];

// batch.cpp
PyObject *method_insert_many(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *method_get_many(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
extern const char insert_many_doc[], get_many_doc[];

// expansion_driver.cpp
int vtab_expansion(QuillmapObject *self, std::size_t parallelism, int skip_dispatch);
PyObject *method_expansion(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *function_dict_expansion(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
extern const char expansion_doc[];
extern const char dict_expansion_doc[];

}  // namespace fennowick::py
