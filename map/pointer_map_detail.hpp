// Internals of the pointer-keyed map shared by its source files: the node
// and entry records, the node pool, heap accounting, and the small guards
// the operations and the expansion both use. Not part of the public header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "map/pointer_map.hpp"
#include "map/string_map.hpp"  // offset_overflow_exception, shared with the string map's cursor
#include "shm/host.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick::detail {

using u64 = std::uint64_t;

inline constexpr u64 pool_cap = u64{1} << 20;  // free nodes a pool keeps; beyond, back to the heap
inline constexpr u64 refill_batch = 100;        // nodes fetched at once when a pool runs dry

struct PointerEntry {
  PyObject *key;
  PyObject *value;
  std::int64_t hash;
};
static_assert(sizeof(PointerEntry) == 24);

// One heap block. Slots at or beyond the bucket's count are cleared.
struct PointerNode {
  PointerEntry *area;  // this block's own entry area (the slots below)
  PointerNode *next;   // next node of a bucket or of a pool; past the count, stale
  PointerEntry slots[2];
};
static_assert(sizeof(PointerNode) == 64);
static_assert(offsetof(PointerNode, area) == 0);
static_assert(offsetof(PointerNode, next) == 8);
static_assert(offsetof(PointerNode, slots) == 16);

using Node = PointerNode;

// Free nodes of one map object, linked through next. The shape of the string
// map's Allocator, with addresses. Guarded by `lock` (sleeping wait); nothing
// under it runs Python code or waits.
struct PointerNodePool {
  std::uint64_t lock = 0;
  Node *first = nullptr;
  std::uint8_t per_link = 2;
  std::uint64_t count = 0;

  // Detached chain of k nodes with cleared slots, linked through next; what
  // the pool lacks is fetched from the heap, at least refill_batch at a time.
  // Throws "PyMem_Malloc failed!" and then gives back what it took.
  Node *take(u64 k);
  // Hands k nodes (a chain through next) back; beyond the cap they are freed.
  void release(Node *chain, u64 k) noexcept;
  void free_all() noexcept;
  u64 size() noexcept;
};

// Heap blocks, counted process-wide. heap_alloc throws "PyMem_Malloc failed!".
void *heap_alloc(u64 bytes);
void heap_free(void *p) noexcept;
void count_heap_block() noexcept;  // for a block allocated without heap_alloc
u64 heap_block_count() noexcept;
Node *new_chain(u64 k);  // k fresh nodes, all or nothing
void free_chain(Node *chain, u64 k) noexcept;
PointerNodePool *new_pool();
void delete_pool(PointerNodePool *p) noexcept;

[[noreturn]] [[gnu::cold]] void throw_malloc_failed();
const std::runtime_error &empty_chunks_exception();

inline void sleep_once() noexcept {
  if (!host::is_finalizing()) host::sleep_wait();
}

inline u64 ceil_half(u64 a) { return a / 2 + a % 2; }

inline void init_bucket(Bucket *b, Node *node) noexcept {
  b->lock = 0;
  b->entries = ChunkList{};
  b->entries.first = reinterpret_cast<u64>(node);
  b->entries.links = 1;
  b->entries.per_link = 2;
  b->forward = 0;
}

// Give each of the s buckets of a new chunk one node of a chain of s nodes.
inline void init_chunk(Bucket *chunk, std::uint64_t s, Node *nodes) noexcept {
  for (std::uint64_t i = 0; i < s; ++i) {
    Node *next = nodes->next;
    init_bucket(chunk + i, nodes);
    nodes->next = nullptr;
    nodes = next;
  }
}

// Iterates over the entries of one bucket's list, in order. Stepping past
// the count throws "offset overflow!"; a missing node "operation on empty chunks!".
class EntryCursor {
public:
  explicit EntryCursor(ChunkList &list) : list_(list), node_(reinterpret_cast<Node *>(list.first)) {
    if (node_ == nullptr) throw empty_chunks_exception();
  }
  PointerEntry *entry() const noexcept { return node_->area + index_ % 2; }
  Node *node() const noexcept { return node_; }
  u64 index() const noexcept { return index_; }
  bool at_last() const noexcept { return index_ + 1 >= list_.count; }
  void advance() {
    if (index_ + 1 >= list_.count) throw offset_overflow_exception();
    ++index_;
    if (index_ % 2 == 0) {
      node_ = node_->next;
      if (node_ == nullptr) throw empty_chunks_exception();
    }
  }

private:
  ChunkList &list_;
  Node *node_;
  u64 index_ = 0;
};

// Holds up to two bucket locks and releases them on every way out.
class Locked {
public:
  Locked(Bucket *a, Bucket *b) noexcept : a_(a), b_(b) {}
  ~Locked() { unlock(); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;
  void unlock() noexcept {
    if (b_) spin_unlock(b_->lock);
    if (a_) spin_unlock(a_->lock);
    a_ = b_ = nullptr;
  }

private:
  Bucket *a_, *b_;
};

}  // namespace fennowick::detail
