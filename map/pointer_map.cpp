// ConcurrentHashMap_pointer: construction, naming, entry operations, teardown.
//
// Memory: everything lives in the process heap (PyMem_Malloc). A bucket is
// the 56-byte Bucket record of the string map with addresses where that map
// has offsets: entries.first is the first node's address, forward the twin's
// address. A node is one block: the address of its own entry area, the next
// node's address, two entries of (key, value, hash).
//
// Invariants of a bucket's entry list (under the bucket's lock):
//  - entries are dense: entry i lies in node i / 2, slot i % 2;
//  - links >= max(1, ceil(count / 2)); more only after an expansion moved
//    entries out, until the next remove trims the surplus;
//  - every slot at or beyond count is cleared, so no stale object address
//    is ever followed (destroy relies on it).
// Each live entry holds one reference to its key and one to its value.
//
// Sharing: the chunk table, the buckets, their nodes and the five words are
// shared by every object attached to a table; each object owns only its node
// pool. Nodes move freely between pools.
//
// Locks: bucket locks, the pools' locks and the waits for an expansion sleep
// 1 ms between attempts with the interpreter lock given up (host::sleep_wait),
// because a bucket's holder may be running Python code that needs it. The
// expansion lock belongs to the shared join/finish steps of the base. Lock
// order: a bucket, then (lookups only) its twin, then a pool; the expansion
// lock is never taken with a bucket lock held.
//
// The expansion is in pointer_expansion.cpp, the node pools in pointer_pool.cpp.
#include "map/pointer_map.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "map/pointer_map_detail.hpp"

namespace fennowick {

using namespace detail;

namespace {

template <class T> std::atomic_ref<T> word(T &w) { return std::atomic_ref<T>(w); }

// The five shared words, in one block.
enum : unsigned { w_in_use, w_participants, w_lock, w_cursor, w_entries, word_count };

const std::invalid_argument &bucket_chunk_number_exception() {
  static const std::invalid_argument e("bucket chunk number should be greater than zero!");
  return e;
}

// Creators by address. A name is honoured only if it is a key here, so a
// name is never dereferenced as a raw address. Destroying the table (through
// any attached object) marks its creator's entry; the creator's destructor
// erases it.
struct LiveTables {
  struct Entry {
    ConcurrentHashMap_pointer *creator;
    const u64 *table;  // the creator's table; null once destroyed
  };
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, Entry> creators;
};

LiveTables &live_tables() {
  static auto *t = new LiveTables;  // never destroyed: objects may outlive static destruction
  return *t;
}

// Key comparison that survives raising comparisons. A comparison that
// raises counts as no match; its error is taken off the indicator so that
// the next comparison runs on a clean interpreter state (Python code run
// with an error set fails in its own way), and the first error is put back
// when the operation returns. An error already set by the caller is kept
// the same way. Declared before anything whose destruction drops references,
// so that finalizers run on a clean state too.
class Comparer {
public:
  Comparer() noexcept {
    if (PyErr_Occurred()) PyErr_Fetch(&type_, &value_, &traceback_);
  }
  ~Comparer() {
    if (type_) PyErr_Restore(type_, value_, traceback_);
  }
  Comparer(const Comparer &) = delete;
  Comparer &operator=(const Comparer &) = delete;

  bool equal(PyObject *stored, PyObject *key) noexcept {
    const int r = PyObject_RichCompareBool(stored, key, Py_EQ);
    if (r >= 0) return r == 1;
    if (type_ == nullptr) PyErr_Fetch(&type_, &value_, &traceback_);
    else PyErr_Clear();
    return false;
  }

private:
  PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

}  // namespace

// ---- construction and teardown --------------------------------------------------------------

ConcurrentHashMap_pointer::ConcurrentHashMap_pointer(std::string &name, unsigned char bucket_chunk_size_exponent,
                                                     unsigned long long bucket_chunk_number) {
  if (bucket_chunk_number == 0) throw bucket_chunk_number_exception();
  if (name.empty())
    create(name, bucket_chunk_size_exponent, bucket_chunk_number);
  else
    attach(name);
}

void ConcurrentHashMap_pointer::create(std::string &name, unsigned char bucket_chunk_size_exponent,
                                       u64 bucket_chunk_number) {
  const u64 s = u64{1} << (bucket_chunk_size_exponent & 63);
  // Sizes that cannot be expressed cannot be allocated either.
  if (s > ~u64{0} / sizeof(Bucket) || bucket_chunk_number > ~u64{0} / 8) throw_malloc_failed();
  u64 *table = nullptr;
  Bucket *chunk0 = nullptr;
  Node *nodes = nullptr;
  u64 *words = nullptr;
  try {
    pool_ = new_pool();
    // Table and chunk first: an impossible size fails before any node is made.
    table = static_cast<u64 *>(heap_alloc(bucket_chunk_number * 8));
    std::memset(table, 0, bucket_chunk_number * 8);
    chunk0 = static_cast<Bucket *>(heap_alloc(s * sizeof(Bucket)));
    nodes = new_chain(s);
    void *w = PyMem_Malloc(word_count * sizeof(u64));
    if (w == nullptr) throw std::runtime_error(std::strerror(ENOMEM));
    count_heap_block();
    words = static_cast<u64 *>(w);
  } catch (...) {
    heap_free(words);
    free_chain(nodes, nodes ? s : 0);
    heap_free(chunk0);
    heap_free(table);
    delete_pool(pool_);
    pool_ = nullptr;
    throw;
  }
  init_chunk(chunk0, s, nodes);
  table[0] = reinterpret_cast<u64>(chunk0);
  for (unsigned i = 0; i < word_count; ++i) words[i] = 0;
  words[w_in_use] = 1;
  bucket_chunk_number_ = bucket_chunk_number;
  buckets_per_chunk_ = s;
  table_ = table;
  bucket_chunks_in_use_ = words + w_in_use;
  expansion_participants_ = words + w_participants;
  expansion_lock_ = words + w_lock;
  migration_cursor_ = reinterpret_cast<std::int64_t *>(words + w_cursor);
  entry_count_ = words + w_entries;

  const auto self = reinterpret_cast<std::uintptr_t>(this);
  try {
    std::string own_name = std::to_string(self);
    LiveTables &live = live_tables();
    std::lock_guard<std::mutex> g(live.mutex);
    live.creators[self] = LiveTables::Entry{this, table_};
    name.swap(own_name);
  } catch (...) {
    destroy();
    delete_pool(pool_);
    pool_ = nullptr;
    throw;
  }
  creator_ = true;
}

void ConcurrentHashMap_pointer::attach(const std::string &name) {
  long long number;
  try {
    number = std::stoll(name);
  } catch (const std::invalid_argument &) {
    throw std::invalid_argument("invalid stoll argument");
  } catch (const std::out_of_range &) {
    throw std::out_of_range("stoll argument out of range");
  }
  {
    LiveTables &live = live_tables();
    std::lock_guard<std::mutex> g(live.mutex);
    auto it = live.creators.find(static_cast<std::uintptr_t>(number));
    if (it == live.creators.end())
      throw std::invalid_argument("no live pointer map of this process has the name " + std::to_string(number));
    const ConcurrentHashMap_pointer *c = it->second.creator;
    if (it->second.table == nullptr) throw std::runtime_error("old pellmire is impossible to open!");
    bucket_chunk_number_ = c->bucket_chunk_number_;
    buckets_per_chunk_ = c->buckets_per_chunk_;
    table_ = c->table_;
    bucket_chunks_in_use_ = c->bucket_chunks_in_use_;
    expansion_participants_ = c->expansion_participants_;
    expansion_lock_ = c->expansion_lock_;
    migration_cursor_ = c->migration_cursor_;
    entry_count_ = c->entry_count_;
  }
  // A pool stocked for a chunk's worth of buckets, so that a first expansion
  // share does not reach the heap node by node; the pool's cap bounds it.
  const u64 stock = std::min(buckets_per_chunk_, pool_cap);
  pool_ = new_pool();
  try {
    pool_->release(new_chain(stock), stock);
  } catch (...) {
    delete_pool(pool_);
    pool_ = nullptr;
    throw;
  }
}

ConcurrentHashMap_pointer::~ConcurrentHashMap_pointer() {
  if (creator_) {
    LiveTables &live = live_tables();
    std::lock_guard<std::mutex> g(live.mutex);
    live.creators.erase(reinterpret_cast<std::uintptr_t>(this));
  }
  delete_pool(pool_);
}

void ConcurrentHashMap_pointer::destroy() noexcept {
  u64 *const table = table_;
  if (table == nullptr) return;
  {
    // From here on the name of this table is refused, whichever object
    // destroys it.
    LiveTables &live = live_tables();
    std::lock_guard<std::mutex> g(live.mutex);
    for (auto &entry : live.creators)
      if (entry.second.table == table) entry.second.table = nullptr;
    table_ = nullptr;
  }
  // Every slot that holds a chunk, the new half of an unfinished expansion
  // included: entries may already have moved there. The nodes are collected
  // on one chain and their references dropped only after the table is gone,
  // so that a finalizer that reaches for the map finds it destroyed.
  const u64 s = buckets_per_chunk_;
  Node *doomed = nullptr;
  for (u64 i = 0; i < bucket_chunk_number_; ++i) {
    const u64 c = table[i];
    if (c <= claim_marker) continue;
    auto *chunk = reinterpret_cast<Bucket *>(c);
    for (u64 j = 0; j < s; ++j) {
      ChunkList &l = chunk[j].entries;
      Node *n = reinterpret_cast<Node *>(l.first);
      for (u64 q = 0; q < l.links && n != nullptr; ++q) {
        Node *next = n->next;
        for (u64 slot = 0; slot < 2; ++slot)
          if (2 * q + slot >= l.count) n->slots[slot] = PointerEntry{};
        n->next = doomed;
        doomed = n;
        n = next;
      }
    }
    heap_free(chunk);
  }
  heap_free(table);
  heap_free(bucket_chunks_in_use_);  // the block of the five words
  bucket_chunks_in_use_ = expansion_participants_ = expansion_lock_ = entry_count_ = nullptr;
  migration_cursor_ = nullptr;
  while (doomed != nullptr) {
    Node *next = doomed->next;
    for (PointerEntry &e : doomed->slots) {
      Py_XDECREF(e.key);
      Py_XDECREF(e.value);
    }
    heap_free(doomed);
    doomed = next;
  }
}

// ---- buckets ------------------------------------------------------------------------------------

Bucket *ConcurrentHashMap_pointer::bucket_at(u64 index) const {
  const u64 s = buckets_per_chunk_;
  const u64 c = word(table_[index / s]).load(std::memory_order_acquire);
  if (c <= claim_marker) throw empty_chunks_exception();
  return reinterpret_cast<Bucket *>(c) + index % s;
}

// Lock the bucket of a hash for an insert: never one that an expansion is
// moving. Such a bucket is let go at once; the insert joins the expansion
// once if the load rule allows, and otherwise sleeps and hashes again, so
// that after the doubling it lands in the right half.
Bucket *ConcurrentHashMap_pointer::lock_for_insert(long long hash) {
  bool chance = true;
  for (;;) {
    const u64 n = bucket_chunks_in_use();
    Bucket *b = bucket_at(static_cast<u64>(hash) & (buckets_per_chunk_ * n - 1));
    spin_lock_sleeping(b->lock);
    const u64 fwd = word(b->forward).load(std::memory_order_seq_cst);
    if (fwd == 0 && bucket_chunks_in_use() == n) return b;
    spin_unlock(b->lock);
    if (fwd == 0) continue;  // the table doubled meanwhile: hash again
    if (chance) {
      chance = false;
      if (const u64 n = join_for_load()) {
        expand_quietly(n);
        continue;
      }
    }
    sleep_once();
  }
}

// Lock the bucket of a hash for a lookup. When that bucket is being moved,
// its twin is locked as well (after it; the twin's index is always higher),
// and the doubling is re-checked, so that an entry already moved is seen.
Bucket *ConcurrentHashMap_pointer::lock_pair(long long hash, Bucket *&twin) {
  for (;;) {
    const u64 n = bucket_chunks_in_use();
    Bucket *b = bucket_at(static_cast<u64>(hash) & (buckets_per_chunk_ * n - 1));
    spin_lock_sleeping(b->lock);
    const u64 fwd = word(b->forward).load(std::memory_order_seq_cst);
    twin = reinterpret_cast<Bucket *>(fwd);
    if (twin != nullptr) spin_lock_sleeping(twin->lock);
    if (bucket_chunks_in_use() == n) return b;
    if (twin != nullptr) spin_unlock(twin->lock);
    spin_unlock(b->lock);
  }
}

// ---- operations -----------------------------------------------------------------------------------

void ConcurrentHashMap_pointer::insert(PyObject *key, PyObject *value, long long hash) {
  if (table_ == nullptr) throw empty_chunks_exception();
  Comparer cmp;
  Bucket *b = lock_for_insert(hash);
  Locked locked(b, nullptr);
  ChunkList &list = b->entries;
  const u64 t = list.count;
  EntryCursor cur(list);

  if (t == 0) {
    Py_INCREF(key);
    Py_INCREF(value);
    *cur.entry() = PointerEntry{key, value, hash};
    list.count = 1;
    word(*entry_count_).fetch_add(1, std::memory_order_seq_cst);
    return;  // no load check for an empty bucket
  }

  for (;;) {
    PointerEntry *e = cur.entry();
    if (e->hash == hash && cmp.equal(e->key, key)) {
      // Same key: the first key object stays, the value is swapped. The old
      // value is dropped after the unlock, so that its finalizer neither
      // delays the bucket nor deadlocks on it if it uses the map.
      PyObject *old = e->value;
      Py_INCREF(value);
      e->value = value;
      locked.unlock();
      Py_DECREF(old);
      return;
    }
    if (cur.at_last()) break;
    cur.advance();
  }

  // Append at index t. The node comes first: if it cannot be had, nothing
  // has changed.
  Node *node = cur.node();
  if (t % 2 == 0) {
    if (t / 2 == list.links) {
      Node *fresh = pool_->take(1);
      node->next = fresh;
      list.links += 1;
      node = fresh;
    } else {
      node = node->next;  // a node kept from before an expansion
      if (node == nullptr) throw empty_chunks_exception();
    }
  }
  Py_INCREF(key);
  Py_INCREF(value);
  node->area[t % 2] = PointerEntry{key, value, hash};
  list.count = t + 1;
  word(*entry_count_).fetch_add(1, std::memory_order_seq_cst);
  locked.unlock();

  // Load rule: above two entries per bucket in use, start or join an expansion.
  if (!over_load(bucket_chunks_in_use())) return;
  if (const u64 n = join_for_load()) expand_quietly(n);
}

bool ConcurrentHashMap_pointer::get(PyObject *key, long long hash, PyObject *&value) {
  if (table_ == nullptr) throw empty_chunks_exception();
  Comparer cmp;
  Bucket *twin;
  Bucket *b = lock_pair(hash, twin);
  Locked locked(b, twin);
  for (Bucket *bk : {b, twin}) {
    if (bk == nullptr || bk->entries.count == 0) continue;
    EntryCursor cur(bk->entries);
    for (;;) {
      PointerEntry *e = cur.entry();
      if (e->hash == hash && cmp.equal(e->key, key)) {
        value = e->value;
        return true;
      }
      if (cur.at_last()) break;
      cur.advance();
    }
  }
  return false;
}

bool ConcurrentHashMap_pointer::remove(PyObject *key, long long hash) {
  if (table_ == nullptr) throw empty_chunks_exception();
  Comparer cmp;
  PyObject *dropped_key = nullptr, *dropped_value = nullptr;
  Node *surplus = nullptr, *emptied = nullptr;
  u64 surplus_n = 0;
  {
    Bucket *twin;
    Bucket *first_bucket = lock_pair(hash, twin);
    Locked locked(first_bucket, twin);
    for (Bucket *b : {first_bucket, twin}) {
      if (b == nullptr) continue;
      ChunkList &list = b->entries;
      const u64 t = list.count;
      if (t == 0) continue;
      // Walk to the last entry, remembering the last match.
      EntryCursor cur(list);
      PointerEntry *found = nullptr, *last = nullptr;
      for (;;) {
        PointerEntry *e = cur.entry();
        if (e->hash == hash && cmp.equal(e->key, key)) found = e;
        last = e;
        if (cur.at_last()) break;
        cur.advance();
      }
      if (found == nullptr) continue;
      Node *last_node = cur.node();
      dropped_key = found->key;
      dropped_value = found->value;
      if (found != last) *found = *last;
      *last = PointerEntry{};
      list.count = t - 1;
      // Keep ceil(t / 2) nodes; then the last entry's node goes too if it
      // has just become empty. A bucket keeps at least one node.
      const u64 m = ceil_half(t);
      if (list.links > m) {
        surplus = last_node->next;
        surplus_n = list.links - m;
        list.links = m;
      }
      if (t - 1 > 0 && (t - 1) % 2 == 0) {
        emptied = last_node;
        list.links -= 1;
      }
      word(*entry_count_).fetch_sub(1, std::memory_order_seq_cst);
      break;
    }
  }
  if (dropped_key == nullptr) return false;
  // Outside the bucket lock: the nodes are detached, and the finalizers of
  // the key and value may run Python code.
  pool_->release(surplus, surplus_n);
  if (emptied) pool_->release(emptied, 1);
  Py_DECREF(dropped_key);
  Py_DECREF(dropped_value);
  return true;
}

}  // namespace fennowick
