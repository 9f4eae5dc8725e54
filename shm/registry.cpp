#include "registry.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "arena.hpp"
#include "offset.hpp"
#include "region.hpp"

namespace fennowick {

namespace {

using u64 = std::uint64_t;
template <class T> std::atomic_ref<T> word(T &w) { return std::atomic_ref<T>(w); }

std::once_flag fork_handler_once;
std::mutex identity_mutex;
ProcessIdentity identity{};
u64 identity_epoch = ~u64{0};

// Field 22 of /proc/<pid>/stat (start time) and field 3 (state); false when
// the process does not exist.
bool read_stat(std::uint32_t pid, u64 &start, char &state) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = 0;
  // The command name (field 2) may hold spaces and parentheses: fields are
  // counted from the last ')'.
  const char *p = std::strrchr(buf, ')');
  if (p == nullptr) return false;
  ++p;
  state = 0;
  int field = 2;
  while (*p) {
    while (*p == ' ') ++p;
    if (!*p) break;
    ++field;
    if (field == 3) state = *p;
    if (field == 22) {
      start = std::strtoull(p, nullptr, 10);
      return true;
    }
    while (*p && *p != ' ') ++p;
  }
  return false;
}

u64 hash_text(const char *s) {
  u64 h = 1469598103934665603ull;
  for (; *s; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 1099511628211ull;
  return h ? h : 1;
}

u64 read_boot() {
  char buf[64] = {0};
  int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n > 0) buf[n] = 0;
  }
  return hash_text(buf);
}

u64 read_pid_ns() {
  struct stat st;
  if (::stat("/proc/self/ns/pid", &st) != 0) return 0;
  return static_cast<u64>(st.st_ino);
}

thread_local const Registry *lock_owner_registry = nullptr;
thread_local unsigned lock_depth = 0;

// Whether the process `pid` of this namespace still runs: it exists, is not
// a zombie, and (when `start` is known) started when the slot says.
bool process_runs(std::uint32_t pid, u64 start_time) {
  u64 start = 0;
  char st = 0;
  if (!read_stat(pid, start, st) || st == 'Z' || st == 'X' || st == 'x') return false;
  return start_time == 0 || start == start_time;
}

// Give a cache's links and their payloads back to the arena. The chain comes
// from the file: every link and payload is checked to be a chunk of its unit
// in the carved space before it is freed; a bad one ends the walk (what is
// left stays out of use until an offline repair).
void free_cache(unsigned char *arena, u64 packed) {
  const u64 n = cache_count(packed);
  if (n == 0) return;
  u64 bump;
  std::memcpy(&bump, arena + offsetof(ArenaHeader, bump), 8);
  auto chunk_ok = [&](u64 payload_off) {
    if (payload_off < arena_header_size + 2 || payload_off >= bump) return false;
    const std::uint8_t unit = arena[payload_off - 1];
    const std::uint8_t csize = arena[payload_off - 2];
    return unit != 0 && csize == chunk_size_for(unit) && payload_off - 2 + csize <= bump;
  };
  u64 link = cache_head(packed);
  for (u64 i = 0; i < n; ++i) {
    if (!chunk_ok(link) || arena[link - 1] != unit_link) return;
    const u64 payload = load<u64>(arena + link);
    const u64 next = load<u64>(arena + link + 8);
    if (!chunk_ok(payload)) return;
    arena_free_chunk(arena, arena + payload);
    arena_free_chunk(arena, arena + link);
    link = next;
  }
}

}  // namespace

std::atomic<std::uint64_t> fork_generation{0};

const ProcessIdentity &this_process() noexcept {
  std::call_once(fork_handler_once, [] {
    pthread_atfork(nullptr, nullptr, [] { fork_generation.fetch_add(1, std::memory_order_relaxed); });
  });
  std::lock_guard<std::mutex> g(identity_mutex);
  const u64 epoch = fork_epoch();
  if (identity_epoch != epoch) {
    ProcessIdentity id{};
    id.pid = static_cast<std::uint32_t>(::getpid());
    char state = 0;
    if (!read_stat(id.pid, id.start_time, state)) id.start_time = 0;
    id.pid_ns = read_pid_ns();
    id.boot = read_boot();
    identity = id;
    identity_epoch = epoch;
  }
  return identity;
}

Registry::~Registry() { close(); }

void Registry::close() noexcept {
  detach();
  if (mapping_) ::munmap(mapping_, registry_bytes);
  mapping_ = nullptr;
  header_ = nullptr;
  slots_ = nullptr;
}

bool Registry::create(unsigned char *arena, int fd, std::uint64_t mapped) noexcept {
  const u64 page = page_size();
  const u64 at = (mapped + page - 1) / page * page;
  if (::ftruncate(fd, static_cast<off_t>(at + registry_bytes)) != 0) {
    record_error(err_core | err_errno, "failed to make room for the process registry");
    return false;
  }
  int rc = ::posix_fallocate(fd, static_cast<off_t>(at), static_cast<off_t>(registry_bytes));
  if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) {
    errno = rc;
    record_error(err_core | err_errno, "no space for the process registry");
    return false;
  }
  void *m = ::mmap(nullptr, registry_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(at));
  if (m == MAP_FAILED) {
    record_error(err_core | err_errno, "failed to map the process registry");
    return false;
  }
  auto *h = static_cast<RegistryHeader *>(m);
  std::memset(m, 0, registry_bytes);
  h->slot_count = registry_slots;
  h->slot_size = sizeof(RegistrySlot);
  h->magic = registry_magic;
  ::munmap(m, registry_bytes);
  // Recorded last: a file whose creation stops before this has no registry.
  unsigned char *reserved = arena + offsetof(ArenaHeader, reserved);
  for (int i = 0; i < 7; ++i) reserved[i] = static_cast<unsigned char>(at >> (8 * i));
  return true;
}

bool Registry::open(unsigned char *arena, int fd) {
  arena_ = arena;
  u64 at = registry_offset(arena);
  if (at == 0) {
    // A file made before registries existed gets one now, behind whatever
    // the file holds. The arena lock makes concurrent openers agree on one.
    struct stat st;
    if (::fstat(fd, &st) != 0) throw std::runtime_error("map file is damaged: cannot read its size");
    std::uint32_t &lw = arena_lock_word(arena);
    spin_lock(lw, LockWait{process_holder(), this, false, false});
    bool made = true;
    if (registry_offset(arena) == 0) made = create(arena, fd, static_cast<u64>(st.st_size));
    spin_unlock(lw);
    if (!made) return false;  // no room for it: the map works without recovery
    at = registry_offset(arena);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) throw std::runtime_error("map file is damaged: cannot read its size");
  u64 arena_size;
  std::memcpy(&arena_size, arena + offsetof(ArenaHeader, arena_size), 8);
  if (at % page_size() != 0 || at < region_header_size + arena_size ||
      static_cast<u64>(st.st_size) < registry_bytes || at > static_cast<u64>(st.st_size) - registry_bytes)
    throw std::runtime_error("map file is damaged: process registry out of place");
  void *m = ::mmap(nullptr, registry_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(at));
  if (m == MAP_FAILED) throw std::runtime_error("failed to map the process registry");
  auto *h = static_cast<RegistryHeader *>(m);
  if (h->magic != registry_magic || h->slot_count != registry_slots || h->slot_size != sizeof(RegistrySlot)) {
    ::munmap(m, registry_bytes);
    throw std::runtime_error("map file is damaged: process registry header invalid");
  }
  mapping_ = m;
  header_ = h;
  slots_ = reinterpret_cast<RegistrySlot *>(static_cast<unsigned char *>(m) + sizeof(RegistryHeader));
  return true;
}

void Registry::lock() {
  if (lock_owner_registry == this) {
    ++lock_depth;
    return;
  }
  // The registry's own state changes by single stores: a dead holder's word
  // is simply released.
  spin_lock(header_->lock, LockWait{process_holder(), this, false, false});
  lock_owner_registry = this;
  lock_depth = 1;
}

void Registry::unlock() noexcept {
  if (--lock_depth != 0) return;
  lock_owner_registry = nullptr;
  spin_unlock(header_->lock);
}


Liveness holder_liveness(const RegistrySlot *slots, std::uint32_t holder) {
  if (holder & pid_holder_flag) {
    const std::uint32_t pid = holder & ~pid_holder_flag;
    return pid == this_process().pid || process_runs(pid, 0) ? Liveness::alive : Liveness::dead;
  }
  const std::uint32_t index = holder_slot(holder);
  if (slots == nullptr || index >= registry_slots) return Liveness::gone;
  const RegistrySlot &s = slots[index];
  const u64 state = std::atomic_ref<const u64>(s.state).load(std::memory_order_seq_cst);
  if (!slot_is_live(state) || slot_generation(state) != holder_generation(holder)) return Liveness::gone;
  const ProcessIdentity &me = this_process();
  if (s.boot != me.boot) return Liveness::dead;
  if (s.pid_ns != me.pid_ns || s.pid_ns == 0) return Liveness::unknown;
  if (s.pid == me.pid) return s.start_time == me.start_time ? Liveness::alive : Liveness::dead;
  return process_runs(s.pid, s.start_time) ? Liveness::alive : Liveness::dead;
}

const char *liveness_name(Liveness l) noexcept {
  switch (l) {
    case Liveness::alive: return "alive";
    case Liveness::dead: return "dead";
    case Liveness::unknown: return "unknown";
    case Liveness::gone: return "gone";
  }
  return "unknown";
}

Liveness Registry::liveness(std::uint32_t holder) const { return holder_liveness(slots_, holder); }

bool Registry::recover_slot(std::uint32_t index) {
  RegistrySlot &s = slots_[index];
  const u64 state = word(s.state).load(std::memory_order_seq_cst);
  if (!slot_is_live(state)) return false;
  const std::uint32_t holder = slot_holder(state, index);
  if (liveness(holder) != Liveness::dead) return false;
  if (map_recovery_) map_recovery_(map_context_, holder, s);
  for (u64 &c : s.caches) {
    const u64 packed = word(c).load(std::memory_order_seq_cst);
    // Emptied before the chunks go: a recoverer that dies half-way leaks the
    // rest (offline repair finds them) rather than freeing any twice.
    word(c).store(0, std::memory_order_seq_cst);
    free_cache(arena_, packed);
  }
  word(s.state).store(state & ~u64{0xff}, std::memory_order_seq_cst);  // free, same generation
  return true;
}

void Registry::recover_holder(std::uint32_t holder) {
  if (header_ == nullptr || (holder & pid_holder_flag) || holder_slot(holder) >= registry_slots) return;
  RegistryLock g(*this);
  recover_slot(holder_slot(holder));
}

std::size_t Registry::reclaim_dead() {
  if (header_ == nullptr) return 0;
  std::size_t n = 0;
  RegistryLock g(*this);
  for (std::uint32_t i = 0; i < registry_slots; ++i) n += recover_slot(i);
  return n;
}

bool Registry::reclaim(void *w, int width, std::uint64_t seen, bool recover) {
  const std::uint32_t holder =
      width == 4 ? lock_values<std::uint32_t>::holder(static_cast<std::uint32_t>(seen))
                 : lock_values<std::uint64_t>::holder(seen);
  if (holder == 0) return false;
  const Liveness l = liveness(holder);
  if (l == Liveness::alive || l == Liveness::unknown) return false;
  if (recover && l == Liveness::dead) recover_holder(holder);
  if (width == 4) {
    auto expected = static_cast<std::uint32_t>(seen);
    word(*static_cast<std::uint32_t *>(w)).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
  } else {
    u64 expected = seen;
    word(*static_cast<u64 *>(w)).compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
  }
  return true;
}

void Registry::attach() {
  if (header_ == nullptr) return;
  const ProcessIdentity &me = this_process();
  // Until it has a slot, this process takes locks (the arena's, to give dead
  // views' chunks back) under its pid.
  LockContextScope unattached(process_holder(), this);
  RegistryLock g(*this);
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uint32_t i = 0; i < registry_slots; ++i) {
      RegistrySlot &s = slots_[i];
      const u64 state = word(s.state).load(std::memory_order_seq_cst);
      if (slot_is_live(state)) continue;
      std::uint32_t gen = slot_generation(state) + 1;
      if (gen > max_generation) gen = 1;
      s.pid = me.pid;
      s.start_time = me.start_time;
      s.pid_ns = me.pid_ns;
      s.boot = me.boot;
      word(s.caches[0]).store(0, std::memory_order_relaxed);
      word(s.caches[1]).store(0, std::memory_order_relaxed);
      word(s.state).store((u64{gen} << 8) | slot_live, std::memory_order_seq_cst);
      own_ = &s;
      holder_ = (gen << 16) | i;
      epoch_ = fork_epoch();
      if (pass == 0) {
        // Others that died without closing are recovered while we are here:
        // this is how the space of ended pool workers comes back. Their
        // chunks go back under the arena lock, taken as this view.
        LockContextScope context(holder_, this);
        reclaim_dead();
      }
      return;
    }
    // Every slot is taken: free those of dead processes and look again.
    if (reclaim_dead() == 0) break;
  }
  throw std::runtime_error("too many processes have this map open (" + std::to_string(registry_slots) + ")");
}

void Registry::detach() noexcept {
  if (own_ == nullptr) return;
  if (epoch_ == fork_epoch()) {
    try {
      RegistryLock g(*this);
      const u64 state = word(own_->state).load(std::memory_order_seq_cst);
      if (slot_is_live(state) && slot_generation(state) == holder_generation(holder_))
        word(own_->state).store(state & ~u64{0xff}, std::memory_order_seq_cst);
    } catch (...) {
      // Only a damaged registry lock word refuses: the slot stays live and
      // is recovered as dead once this process has ended.
    }
  }
  own_ = nullptr;
  holder_ = 0;
}

void Registry::forget_after_fork() noexcept {
  own_ = nullptr;
  holder_ = 0;
}

}  // namespace fennowick
