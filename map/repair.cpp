#include "map/repair.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "map/concurrent_hash_map.hpp"
#include "map/string_map.hpp"
#include "shm/arena.hpp"
#include "shm/offset.hpp"
#include "shm/region.hpp"
#include "shm/registry.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick {

namespace {

using u64 = std::uint64_t;

// The whole file, mapped read-write and shared.
class RawMapping {
public:
  RawMapping() = default;
  RawMapping(const RawMapping &) = delete;
  RawMapping &operator=(const RawMapping &) = delete;
  ~RawMapping() { close(); }

  bool open(const std::string &path, std::string &why) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      why = "cannot open " + path + " for writing: " + std::strerror(errno);
      return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<u64>(st.st_size) < region_overhead) {
      ::close(fd);
      why = "not a map file: " + path;
      return false;
    }
    size_ = static_cast<u64>(st.st_size);
    void *m = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (m == MAP_FAILED) {
      why = std::string("cannot map the file: ") + std::strerror(errno);
      return false;
    }
    file_ = static_cast<unsigned char *>(m);
    return true;
  }
  void close() noexcept {
    if (file_ == nullptr) return;
    ::msync(file_, size_, MS_SYNC);
    ::munmap(file_, size_);
    file_ = nullptr;
  }
  unsigned char *file() const noexcept { return file_; }
  unsigned char *arena() const noexcept { return file_ + region_header_size; }
  u64 size() const noexcept { return size_; }
  u64 arena_size() const noexcept { return load<u64>(arena() + offsetof(ArenaHeader, arena_size)); }

  // An 8-byte word at an arena offset, or null when it does not lie in the
  // arena (the file was checked, but the first clearing runs before that).
  u64 *arena_word(u64 off) const noexcept {
    const u64 limit = arena_size();
    if (off % 8 != 0 || off > limit || limit - off < 8 || region_header_size + limit > size_) return nullptr;
    return reinterpret_cast<u64 *>(arena() + off);
  }

private:
  unsigned char *file_ = nullptr;
  u64 size_ = 0;
};

bool holds_the_map(Liveness l) noexcept { return l == Liveness::alive || l == Liveness::unknown; }

// Opening takes the arena lock (a file without a registry gets one; a dead
// view's cache goes back to the arena) and the registry lock, and recovering
// a dead member of an expansion takes the expansion lock. A waiter only
// recovers a word whose holder it can name, so a word left with the plain
// held value, or an arena lock waited on before any view is attached, would
// be waited on for good. No view is live: the arena and registry locks guard
// single stores and are released whoever holds them; the expansion lock only
// when its holder is unknown (a named dead holder is what tells recovery
// that its change of the participant count may be half done).
u64 release_waits_before_opening(const RawMapping &m, const CheckReport &before) {
  u64 cleared = 0;
  auto *arena_lock = reinterpret_cast<std::uint32_t *>(m.file() + offsetof(RegionHeader, arena_lock));
  if (*arena_lock != 0) {
    *arena_lock = 0;
    ++cleared;
  }
  if (before.registry_offset != 0) {
    auto *lock = reinterpret_cast<u64 *>(m.file() + before.registry_offset + offsetof(RegistryHeader, lock));
    if (*lock != 0) {
      *lock = 0;
      ++cleared;
    }
  }
  MapHeader h;
  if (m.arena_size() < map_header_offset + sizeof h) return cleared;
  std::memcpy(&h, m.arena() + map_header_offset, sizeof h);
  if (u64 *lock = m.arena_word(h.expansion_lock); lock != nullptr && *lock == lock_values<u64>::held) {
    *lock = 0;
    ++cleared;
  }
  return cleared;
}

// Step 3: every carved chunk of a unit with a free list that the walk did not
// mark goes onto its list.
void sweep(const RawMapping &m, const std::vector<bool> &granules, RepairReport &rep) {
  unsigned char *a = m.arena();
  ArenaHeader ah;
  std::memcpy(&ah, a, sizeof ah);
  const u64 bump = ah.bump;
  rep.bump = bump;
  // The class a unit frees into, as the arena picks it (the data unit first:
  // with a data unit of 16, links go onto the data list too).
  const std::uint8_t units[3] = {unit_node, unit_link, ah.data_unit};
  u64 heads[3] = {ah.class176.head, ah.class16.head, ah.class_data.head};
  for (int i = 0; i < 3; ++i) rep.reclaimed[i].unit = units[i];
  auto class_of = [&](std::uint8_t unit) {
    if (unit == ah.data_unit) return 2;
    if (unit == unit_link) return 1;
    if (unit == unit_node) return 0;
    return -1;
  };
  auto marked = [&](u64 g) { return g < granules.size() && granules[g]; };
  u64 p = arena_header_size;
  while (p < bump) {
    const std::uint8_t size = a[p];
    if (size != 0) {
      const std::uint8_t unit = bump - p >= 2 ? a[p + 1] : 0;
      if (unit == 0 || chunk_size_for(unit) != size || size > bump - p) {
        rep.sweep_stop = "offset " + std::to_string(p) + " holds neither a chunk nor a block";
        break;
      }
      const int cls = class_of(unit);
      if (cls >= 0) {
        u64 set = 0;
        const u64 g0 = p / 8, g1 = (p + size + 7) / 8;
        for (u64 g = g0; g < g1; ++g) set += marked(g);
        if (set == 0) {
          store<u64>(a + p + 2, heads[cls]);
          heads[cls] = p;
          ++rep.reclaimed[cls].chunks;
          rep.reclaimed[cls].bytes += size;
        } else if (set != g1 - g0) {
          rep.sweep_stop = "the chunk at offset " + std::to_string(p) + " is partly covered by something the map uses";
          break;
        }
      }
      p += size;
      continue;
    }
    const u64 block = bump - p >= 8 ? block_recorded_size(a + p) : 0;
    if (block == 0) {
      rep.sweep_stop = "offset " + std::to_string(p) +
                       " starts a block without a recorded size (made before blocks recorded their size) "
                       "or chunks whose carving never finished";
      break;
    }
    if (block < 16 || block > bump - p || a[p + 6] != 0 || a[p + 7] != 0) {
      rep.sweep_stop = "the block at offset " + std::to_string(p) + " records a size of " + std::to_string(block) +
                       " bytes that does not fit the carved space";
      break;
    }
    p += block;
  }
  rep.swept_to = p;
  rep.sweep_complete = p == bump;
  const u64 head_at[3] = {offsetof(ArenaHeader, class176), offsetof(ArenaHeader, class16),
                          offsetof(ArenaHeader, class_data)};
  for (int i = 0; i < 3; ++i) store<u64>(a + head_at[i] + offsetof(ClassRecord, head), heads[i]);
}

// Step 4: what only running processes need goes back to its rest state.
void reset_shared_state(const RawMapping &m, const CheckReport &walked, RepairReport &rep) {
  unsigned char *a = m.arena();
  MapHeader h;
  std::memcpy(&h, a + map_header_offset, sizeof h);
  const u64 *table = reinterpret_cast<const u64 *>(a + h.table);
  const u64 n = *m.arena_word(h.bucket_chunks_in_use);
  const bool expansion_under_way = n < h.bucket_chunk_number && table[n] != 0;
  const u64 chunks = expansion_under_way && table[n] > claim_marker ? 2 * n : n;
  for (u64 c = 0; c < chunks; ++c) {
    // Chunks of the new half are made as buckets move into them, and a
    // bucket there is made when its old bucket's mark names it.
    if (table[c] <= claim_marker) continue;
    auto *b = reinterpret_cast<Bucket *>(a + table[c]);
    const auto *old = c >= n ? reinterpret_cast<const Bucket *>(a + table[c - n]) : nullptr;
    for (u64 k = 0; k < h.buckets_per_chunk; ++k) {
      if (old && old[k].forward != table[c] + k * sizeof(Bucket)) continue;
      if (b[k].lock != 0) {
        b[k].lock = 0;
        ++rep.locks_cleared;
      }
      if (!expansion_under_way && b[k].forward != 0) {
        b[k].forward = 0;
        ++rep.forwards_cleared;
      }
    }
  }
  for (u64 *lock : {m.arena_word(h.expansion_lock)})
    if (*lock != 0) {
      *lock = 0;
      ++rep.locks_cleared;
    }
  auto *arena_lock = reinterpret_cast<std::uint32_t *>(m.file() + offsetof(RegionHeader, arena_lock));
  if (*arena_lock != 0) {
    *arena_lock = 0;
    ++rep.locks_cleared;
  }
  *m.arena_word(h.expansion_participants) = 0;
  *m.arena_word(h.entry_count) = walked.entries_found;
  if (walked.registry_offset == 0) return;
  auto *rh = reinterpret_cast<RegistryHeader *>(m.file() + walked.registry_offset);
  if (rh->lock != 0) {
    rh->lock = 0;
    ++rep.locks_cleared;
  }
  auto *slots = reinterpret_cast<RegistrySlot *>(m.file() + walked.registry_offset + sizeof(RegistryHeader));
  for (u64 i = 0; i < registry_slots; ++i) {
    RegistrySlot &s = slots[i];
    s.state &= ~u64{0xff};  // free, same generation: old holder ids read "gone"
    s.caches[0] = s.caches[1] = 0;
    auto *r = reinterpret_cast<OpRecord *>(s.user);
    r->kind = op_none;
    r->exp_state = exp_out;
    r->count_delta = i == 0 ? static_cast<std::int64_t>(walked.entries_found) : 0;
  }
  auto *w = reinterpret_cast<MapSharedWords *>(rh->user);
  if (w->slots_used == 0) w->slots_used = 1;
}

}  // namespace

RepairReport repair_map_file(const std::string &path) noexcept {
  RepairReport rep;
  try {
    // 1. Nobody may be working on the map.
    const CheckReport before = check_map_file(path);
    if (!before.registry_checked) {
      rep.problem = "cannot repair: " + before.problem;
      return rep;
    }
    for (const LiveSlot &s : before.live_slots) {
      if (holds_the_map(s.liveness)) rep.blocking.push_back(s);
      else ++rep.dead_views;
    }
    if (!rep.blocking.empty()) {
      rep.refused = true;
      rep.problem = std::to_string(rep.blocking.size()) + " view(s) of running processes have the map open";
      return rep;
    }
    {
      RawMapping m;
      if (!m.open(path, rep.problem)) return rep;
      rep.locks_cleared += release_waits_before_opening(m, before);
    }

    // 2. Opening recovers every dead view; closing returns this one's cache.
    try {
      std::string name = path;
      ConcurrentHashMap_string<1> map(name, 2, 2, 2, 3);
      map.destroy();
    } catch (const std::exception &e) {
      rep.problem = std::string("opening the map to recover it failed: ") + e.what();
      return rep;
    }

    // 3. What is reachable, then the sweep.
    RawMapping m;  // the file may have grown by a registry
    if (!m.open(path, rep.problem)) return rep;
    std::vector<bool> granules;
    const CheckReport walked = check_mapped_file(m.file(), m.size(), &granules);
    if (!walked.ok) {
      rep.problem = "the map is damaged, nothing was reclaimed: " + walked.problem;
      return rep;
    }
    for (const LiveSlot &s : walked.live_slots) {
      if (holds_the_map(s.liveness)) rep.blocking.push_back(s);
      else if (s.operation != op_none || s.expansion != exp_out) {
        rep.problem = "the view in slot " + std::to_string(s.index) + " was not recovered; nothing was reclaimed";
        return rep;
      }
    }
    if (!rep.blocking.empty()) {
      rep.refused = true;
      rep.problem = "a process opened the map during the repair; nothing was reclaimed";
      return rep;
    }
    if (walked.buckets_mid_change != 0) {
      rep.problem = std::to_string(walked.buckets_mid_change) +
                    " bucket(s) are mid-change after recovery; nothing was reclaimed";
      return rep;
    }
    rep.entries_found = walked.entries_found;
    // Caches are empty once every view is closed or recovered; one that is
    // not (a recoverer stopped at a bad link) names chunks the sweep frees.
    if (walked.registry_offset != 0) {
      auto *slots = reinterpret_cast<RegistrySlot *>(m.file() + walked.registry_offset + sizeof(RegistryHeader));
      for (u64 i = 0; i < registry_slots; ++i) slots[i].caches[0] = slots[i].caches[1] = 0;
    }
    sweep(m, granules, rep);

    // 4. Rest state, then the check.
    reset_shared_state(m, walked, rep);
    m.close();
    rep.after = check_map_file(path);
    rep.done = rep.after.ok && !rep.after.needs_recovery && !rep.after.in_use;
    if (!rep.done)
      rep.problem = rep.after.ok ? "the map still needs recovery after the repair" : "the repaired map is damaged: " + rep.after.problem;
  } catch (const std::exception &e) {
    rep.done = false;
    rep.problem = e.what();
  }
  return rep;
}

}  // namespace fennowick
