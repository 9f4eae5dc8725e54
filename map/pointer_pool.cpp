// The pointer-keyed map's heap blocks and node pools.
//
// Every block the maps take from the interpreter's allocator is counted, so
// that a test (or a monitor) can tell that a destroyed table and its
// destructed objects left nothing behind. A pool keeps at most 2^20 free
// nodes; it refills from the heap outside its lock, so the lock is held only
// for list splicing.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "map/pointer_map_detail.hpp"

namespace fennowick::detail {

namespace {

std::atomic<u64> blocks{0};

Node *new_node() {
  auto *n = static_cast<Node *>(heap_alloc(sizeof(Node)));
  n->area = n->slots;
  n->next = nullptr;
  std::memset(static_cast<void *>(n->slots), 0, sizeof n->slots);
  return n;
}

class PoolGuard {
public:
  explicit PoolGuard(PointerNodePool &p) noexcept : p_(p) { spin_lock_sleeping(p_.lock); }
  ~PoolGuard() { spin_unlock(p_.lock); }
  PoolGuard(const PoolGuard &) = delete;
  PoolGuard &operator=(const PoolGuard &) = delete;

private:
  PointerNodePool &p_;
};

}  // namespace

void throw_malloc_failed() { throw std::runtime_error("PyMem_Malloc failed!"); }

const std::runtime_error &empty_chunks_exception() {
  static const std::runtime_error e("operation on empty chunks!");
  return e;
}

void *heap_alloc(u64 bytes) {
  void *p = PyMem_Malloc(bytes);
  if (p == nullptr) throw_malloc_failed();
  count_heap_block();
  return p;
}

void heap_free(void *p) noexcept {
  if (p == nullptr) return;
  PyMem_Free(p);
  blocks.fetch_sub(1, std::memory_order_relaxed);
}

void count_heap_block() noexcept { blocks.fetch_add(1, std::memory_order_relaxed); }
u64 heap_block_count() noexcept { return blocks.load(std::memory_order_relaxed); }

void free_chain(Node *chain, u64 k) noexcept {
  while (k-- > 0) {
    Node *next = chain->next;
    heap_free(chain);
    chain = next;
  }
}

// A chain of k new nodes; all or nothing.
Node *new_chain(u64 k) {
  Node *head = nullptr;
  u64 made = 0;
  try {
    for (; made < k; ++made) {
      Node *n = new_node();
      n->next = head;
      head = n;
    }
  } catch (...) {
    free_chain(head, made);
    throw;
  }
  return head;
}

Node *PointerNodePool::take(u64 k) {
  if (k == 0) return nullptr;
  Node *got = nullptr;
  u64 have = 0;
  {
    PoolGuard g(*this);
    have = std::min(count, k);
    if (have > 0) {
      got = first;
      Node *last = got;
      for (u64 i = 1; i < have; ++i) last = last->next;
      first = last->next;
      count -= have;
    }
  }
  if (have < k) {
    // Fetch a batch outside the lock; what this take does not use stays in
    // the pool for the next ones.
    const u64 missing = k - have;
    const u64 batch = std::max(missing, refill_batch);
    Node *fresh;
    try {
      fresh = new_chain(batch);
    } catch (...) {
      release(got, have);
      throw;
    }
    Node *rest = fresh;
    Node *tail = nullptr;
    for (u64 i = 0; i < missing; ++i) {
      tail = rest;
      rest = rest->next;
    }
    tail->next = got;  // fresh[0..missing) then the pool's nodes
    got = fresh;
    release(rest, batch - missing);
  }
  Node *n = got;
  for (u64 i = 0; i < k; ++i, n = n->next) std::memset(static_cast<void *>(n->slots), 0, sizeof n->slots);
  return got;
}

void PointerNodePool::release(Node *chain, u64 k) noexcept {
  if (k == 0) return;
  Node *spill = nullptr;
  u64 spill_n = 0;
  {
    PoolGuard g(*this);
    const u64 keep = std::min(k, pool_cap - std::min(count, pool_cap));
    if (keep > 0) {
      Node *last = chain;
      for (u64 i = 1; i < keep; ++i) last = last->next;
      spill = last->next;
      last->next = first;
      first = chain;
      count += keep;
    } else {
      spill = chain;
    }
    spill_n = k - keep;
  }
  free_chain(spill, spill_n);
}

void PointerNodePool::free_all() noexcept {
  PoolGuard g(*this);
  free_chain(first, count);
  first = nullptr;
  count = 0;
}

u64 PointerNodePool::size() noexcept {
  PoolGuard g(*this);
  return count;
}

PointerNodePool *new_pool() { return new (heap_alloc(sizeof(PointerNodePool))) PointerNodePool(); }

void delete_pool(PointerNodePool *p) noexcept {
  if (p == nullptr) return;
  p->free_all();
  p->~PointerNodePool();
  heap_free(p);
}

}  // namespace fennowick::detail
