// ConcurrentHashMap_pointer: a hash map of Python objects for native callers.
//
// One table in the process heap is shared by several map objects of the same
// process, typically one per thread. The first object creates the table and
// receives as its name the decimal text of its own address; another object
// constructed with that name attaches to the same table. Attaching looks the
// number up among the live tables of this process, so a stale or made-up name
// is refused instead of being followed as an address.
//
// Keys match when their hashes (supplied by the caller) are equal and
// PyObject_RichCompareBool(stored key, key, Py_EQ) returns 1, so 1 and 1.0
// are one key. The map holds one strong reference to every stored key and
// value. The table grows by the same cooperative expansion as the string map.
//
// Threading: every member is called with the interpreter lock held (keys are
// compared, references counted, memory comes from PyMem_Malloc). Any wait
// inside a call gives the interpreter lock up while it sleeps, so that the
// thread it waits for (which may be running a key's __eq__ under a bucket
// lock) can go on. A key's __eq__ must not itself use the same table.
//
// Errors are standard exceptions with fixed texts; a comparison that raises
// is not an error of the map: it counts as "no match" and the Python error
// (the first one raised during the call) stays set for the caller to see.
//
// Linking: the static library fennowick_pointer_map (which brings
// fennowick_core, home of the base class's members) and one host
// implementation, fennowick/host_python.cpp.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "map/concurrent_hash_map.hpp"

#define FENNOWICK_POINTER_MAP_API __attribute__((visibility("default")))

namespace fennowick {

namespace detail {
struct PointerNodePool;
}

class FENNOWICK_POINTER_MAP_API ConcurrentHashMap_pointer final : public ConcurrentHashMap_base<0> {
public:
  // Empty name: create a table with 2^(bucket_chunk_size_exponent & 63)
  // buckets per chunk and room for bucket_chunk_number chunks; name then
  // holds this object's address in decimal. Otherwise attach to the live
  // table that name designates (the other two arguments are only checked).
  // Throws std::invalid_argument (bucket_chunk_number 0, a name that does not
  // parse or designates no live table), std::out_of_range (a number beyond 64
  // bits), std::runtime_error ("PyMem_Malloc failed!", or "old pellmire is
  // impossible to open!" for a table already destroyed).
  ConcurrentHashMap_pointer(std::string &name, unsigned char bucket_chunk_size_exponent,
                            unsigned long long bucket_chunk_number);
  // Frees this object's node pool only; the table goes on for the others.
  ~ConcurrentHashMap_pointer();
  ConcurrentHashMap_pointer(const ConcurrentHashMap_pointer &) = delete;
  ConcurrentHashMap_pointer &operator=(const ConcurrentHashMap_pointer &) = delete;

  // Store key -> value, or replace the value of an equal key (the first key
  // object stays). May start or join an expansion. Throws
  // "PyMem_Malloc failed!" when a node cannot be had; nothing is stored then.
  void insert(PyObject *key, PyObject *value, long long hash);
  // On true, value is the stored object, borrowed: take a reference before
  // anything can replace or remove it.
  bool get(PyObject *key, long long hash, PyObject *&value);
  bool remove(PyObject *key, long long hash);

  // End the table for every object attached to it: frees it and drops the
  // references of all stored keys and values. Precondition: no other object
  // uses the table and no expansion runs. Afterwards the attached objects may
  // only be destructed; this one answers "operation on empty chunks!".
  void destroy() noexcept;

  // One expansion share; see ConcurrentHashMap_base. Throws
  // "PyMem_Malloc failed!" when the leader cannot allocate the new half (the
  // expansion is then withdrawn and the table stays as it was).
  void expand(std::uint64_t n) override;

  // ---- diagnostics (for tests and monitoring) ----
  std::uint64_t pool_free_nodes() const noexcept;
  // Heap blocks (nodes, chunks, tables, word blocks, pools) that all pointer
  // maps of the process hold right now.
  static std::uint64_t heap_blocks() noexcept;
  struct BucketView {
    std::uint64_t count, links;
    std::vector<PyObject *> keys;  // borrowed, in list order
  };
  BucketView bucket_view(long long hash);
  struct TableCheck {
    bool ok;
    std::string problem;
    std::uint64_t entries, nodes;
  };
  // Walks the whole table; call only while no operation runs.
  TableCheck check();

private:
  void create(std::string &name, unsigned char bucket_chunk_size_exponent, std::uint64_t bucket_chunk_number);
  void attach(const std::string &name);
  Bucket *bucket_at(std::uint64_t index) const;
  Bucket *lock_for_insert(long long hash);
  Bucket *lock_pair(long long hash, Bucket *&twin);
  Bucket *make_chunk();
  void free_fresh_chunk(Bucket *chunk) noexcept;
  void move_bucket(std::uint64_t f, std::uint64_t n);
  void clear_forwards(std::uint64_t n) noexcept;
  void expand_quietly(std::uint64_t n) noexcept;

  detail::PointerNodePool *pool_ = nullptr;
  bool creator_ = false;  // registered among the live tables under this object's address
};

// Attach to the table `name`, take part in one expansion if it has fewer
// than target_length bucket chunks, and detach. Throws what attaching or
// expanding throws.
FENNOWICK_POINTER_MAP_API void python_expansion_helper_pointer(const std::string &name,
                                                               unsigned long long target_length);

}  // namespace fennowick
