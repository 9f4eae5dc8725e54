// The registry of attached processes: who may hold a lock word, and whether
// they still live.
//
// A map file made by this version carries, behind its arena, a registry of
// 255 slots. Every view of the map (one per map object in a process) claims a
// slot when it attaches and gives it back when it closes. The slot names the
// process: pid, start time (so a reused pid is not mistaken for it), pid
// namespace and boot. A lock word held by a view names the view's slot and the
// slot's generation (the holder id); a waiter that waits long on a word reads
// that id and asks the registry whether the holder still lives:
//  - the slot is free or has a newer generation: the holder is gone (its view
//    closed, or it died and was recovered) and the word is released;
//  - the slot's process is gone, a zombie, or another process now has its pid,
//    or the machine has booted since: the holder is dead; its slot is
//    recovered (below) and the word released;
//  - the process is in another pid namespace: its liveness cannot be decided
//    from here, so it is never declared dead, only waited on.
//
// Recovering a dead slot, under the registry lock: the map's own recovery
// runs first (registered by the map: it rolls forward the slot's record of
// the operation under way and releases the locks that record names), then the
// chunks in the slot's two caches go back to the arena, then the slot is
// freed. Every step can run again: a recoverer that dies itself leaves a slot
// that the next one recovers from where it stands.
//
// Where it lives: the 7 reserved bytes of the ArenaHeader (arena offset 57,
// zero in files that have no registry) hold the registry's file offset. The
// registry is mapped on its own (it lies past the arena, page aligned), so a
// reader that knows nothing of it sees a file of the usual format with some
// bytes past the arena's end. Files without one open as before: their lock
// words hold the plain held value and nothing is recovered.
//
// Holder ids: 32 bits, generation in the upper 16 (1..32767), slot index in
// the lower 16; or, for the few locks a process takes before it has a slot
// (the registry lock), the top bit and its pid, judged alive while a process
// of that pid exists and is not a zombie. A 64-bit lock word held by id h reads 0x1_0000_0000 | h; a
// 32-bit word reads h. Since the generation is never 0, an id is never 0 or 1,
// so the plain held values (holder unknown) stay distinguishable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "arena.hpp"
#include "spin_lock.hpp"

namespace fennowick {

struct RegistryHeader {
  std::uint64_t magic;        // registry_magic
  std::uint32_t slot_count;   // registry_slots
  std::uint32_t slot_size;    // sizeof(RegistrySlot)
  std::uint64_t lock;         // 64-bit lock word: slot claims, releases and recovery
  std::uint64_t user[8];      // the map's shared words about the registry (entry count base)
  std::uint8_t upper[128];    // bytes of the layers above, zero until one writes them
  std::uint8_t reserved[40];
};
static_assert(sizeof(RegistryHeader) == 256);
static_assert(offsetof(RegistryHeader, lock) == 16);
static_assert(offsetof(RegistryHeader, user) == 24);
static_assert(offsetof(RegistryHeader, upper) == 88);
static_assert(offsetof(RegistryHeader, reserved) == 216);

struct RegistrySlot {
  std::uint64_t state;        // generation << 8 | slot_free / slot_live
  std::uint32_t pid;          // the owner's pid in its own namespace
  std::uint32_t reserved0;
  std::uint64_t start_time;   // the owner's start time, clock ticks since boot
  std::uint64_t pid_ns;       // inode of the owner's pid namespace
  std::uint64_t boot;         // hash of the boot id the owner ran under
  std::uint64_t caches[2];    // the view's two chunk caches: pack_cache(head, count)
  std::uint64_t reserved1;
  std::uint64_t user[24];     // the map's per-view record (operation under way, counts)
};
static_assert(sizeof(RegistrySlot) == 256);
static_assert(offsetof(RegistrySlot, state) == 0);
static_assert(offsetof(RegistrySlot, pid) == 8);
static_assert(offsetof(RegistrySlot, start_time) == 16);
static_assert(offsetof(RegistrySlot, pid_ns) == 24);
static_assert(offsetof(RegistrySlot, boot) == 32);
static_assert(offsetof(RegistrySlot, caches) == 40);
static_assert(offsetof(RegistrySlot, user) == 64);

inline constexpr std::uint64_t registry_magic = 0x3130474552514dull;  // "MQREG01"
inline constexpr std::uint32_t registry_slots = 255;
inline constexpr std::uint64_t registry_bytes = sizeof(RegistryHeader) + registry_slots * sizeof(RegistrySlot);
static_assert(registry_bytes == 65536);
inline constexpr std::uint64_t slot_free = 0, slot_live = 1;

// A cache of links as one word, so that it changes with a single store:
// the head link's offset (always 2 mod 8) in the upper 43 bits, the count in
// the lower 21.
inline constexpr std::uint64_t cache_count_bits = 21;
inline constexpr std::uint64_t cache_count_max = (std::uint64_t{1} << cache_count_bits) - 1;
constexpr std::uint64_t pack_cache(std::uint64_t head_off, std::uint64_t count) noexcept {
  return count == 0 ? 0 : ((head_off >> 3) << cache_count_bits) | count;
}
constexpr std::uint64_t cache_head(std::uint64_t w) noexcept { return ((w >> cache_count_bits) << 3) | 2; }
constexpr std::uint64_t cache_count(std::uint64_t w) noexcept { return w & cache_count_max; }

constexpr std::uint32_t holder_slot(std::uint32_t id) noexcept { return id & 0xffff; }
constexpr std::uint32_t holder_generation(std::uint32_t id) noexcept { return id >> 16; }
// Slot generations stay below 0x8000, so that ids with the top bit set are
// free for a process that holds a lock before it has a slot (the registry
// lock itself, the arena lock while a file gets its registry): such an id is
// the flag and the pid.
inline constexpr std::uint32_t pid_holder_flag = 0x80000000u;
inline constexpr std::uint32_t max_generation = 0x7fff;

// A slot's state word: its generation and whether a view holds it; the id
// that the view's lock words carry.
constexpr bool slot_is_live(std::uint64_t state) noexcept { return (state & 0xff) == slot_live; }
constexpr std::uint32_t slot_generation(std::uint64_t state) noexcept {
  return static_cast<std::uint32_t>(state >> 8) & max_generation;
}
constexpr std::uint32_t slot_holder(std::uint64_t state, std::uint32_t index) noexcept {
  return slot_generation(state) << 16 | index;
}

// The registry's file offset, from the ArenaHeader's reserved bytes (7 bytes,
// little-endian; 0: a file without a registry).
inline std::uint64_t registry_offset(const unsigned char *arena) noexcept {
  std::uint64_t at = 0;
  for (int i = 0; i < 7; ++i) at |= std::uint64_t{arena[offsetof(ArenaHeader, reserved) + i]} << (8 * i);
  return at;
}

// The identity of the calling process, read once (and again after fork).
struct ProcessIdentity {
  std::uint32_t pid;
  std::uint64_t start_time, pid_ns, boot;
};
const ProcessIdentity &this_process() noexcept;
inline std::uint32_t process_holder() noexcept { return pid_holder_flag | this_process().pid; }
// Bumped in every child after fork: views compare it to notice they were forked.
extern std::atomic<std::uint64_t> fork_generation;
inline std::uint64_t fork_epoch() noexcept { return fork_generation.load(std::memory_order_relaxed); }

enum class Liveness { alive, dead, unknown, gone };

// Whether the holder `holder` of a lock word still lives, judged from the
// registry's slots alone (read-only; for tools that inspect a file).
Liveness holder_liveness(const RegistrySlot *slots, std::uint32_t holder);
const char *liveness_name(Liveness l) noexcept;

// One process's view of a registry. Not copyable; owned by a map view.
class Registry final : public HolderCheck {
public:
  // The map's recovery of one dead slot, run under the registry lock before
  // the slot's caches go back: roll forward the slot's record and release
  // the locks it names. Must be idempotent.
  using MapRecovery = void (*)(void *context, std::uint32_t holder, RegistrySlot &slot);

  Registry() = default;
  ~Registry();
  Registry(const Registry &) = delete;
  Registry &operator=(const Registry &) = delete;

  // Lay out a new registry behind the arena of a file being created: grows
  // the file, reserves its blocks and records the offset in the arena header.
  // False (last-error text set) when the file cannot take it.
  static bool create(unsigned char *arena, int fd, std::uint64_t mapped) noexcept;
  // Map the registry of an open file. False when the file has none (made
  // before registries existed); throws std::runtime_error when it is damaged
  // or cannot be mapped.
  bool open(unsigned char *arena, int fd);
  bool present() const noexcept { return header_ != nullptr; }

  // Claim a slot for this view; throws std::runtime_error when all are in
  // use by live processes. Dead processes' slots are recovered on the way.
  void attach();
  // Give the slot back (the caches must already be empty). Idempotent.
  void detach() noexcept;
  // Detach and unmap the registry; idempotent.
  void close() noexcept;
  // After fork, in the child: forget the parent's slot without touching it.
  void forget_after_fork() noexcept;

  std::uint32_t holder() const noexcept { return holder_; }
  RegistrySlot *own_slot() const noexcept { return own_; }
  RegistryHeader *header() const noexcept { return header_; }
  RegistrySlot *slot(std::uint32_t i) const noexcept { return slots_ + i; }
  void set_map_recovery(MapRecovery fn, void *context) noexcept {
    map_recovery_ = fn;
    map_context_ = context;
  }

  Liveness liveness(std::uint32_t holder) const;
  // Recover every slot whose process has died; returns how many.
  std::size_t reclaim_dead();
  // Recover the slot of `holder` if it is dead (under the registry lock).
  void recover_holder(std::uint32_t holder);

  bool reclaim(void *word, int width, std::uint64_t seen, bool recover) override;

  // Take and release the registry lock; recursion in one thread is allowed.
  void lock();
  void unlock() noexcept;

private:
  // Recover slot `index` if its view's process has died; true when it did.
  bool recover_slot(std::uint32_t index);

  unsigned char *arena_ = nullptr;
  RegistryHeader *header_ = nullptr;
  RegistrySlot *slots_ = nullptr;
  void *mapping_ = nullptr;
  RegistrySlot *own_ = nullptr;
  std::uint32_t holder_ = 0;
  std::uint64_t epoch_ = 0;
  MapRecovery map_recovery_ = nullptr;
  void *map_context_ = nullptr;
};

// Holds a registry's lock for a scope.
class RegistryLock {
public:
  explicit RegistryLock(Registry &r) : r_(r) { r_.lock(); }
  ~RegistryLock() { r_.unlock(); }
  RegistryLock(const RegistryLock &) = delete;
  RegistryLock &operator=(const RegistryLock &) = delete;

private:
  Registry &r_;
};

}  // namespace fennowick
