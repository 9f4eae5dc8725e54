#include "map/checker.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <vector>

#include "map/concurrent_hash_map.hpp"
#include "shm/allocator.hpp"
#include "shm/arena.hpp"
#include "shm/offset.hpp"
#include "shm/region.hpp"

namespace fennowick {

namespace {

using u64 = std::uint64_t;

struct Failed {
  std::string what;
};

[[noreturn]] void fail(std::string what) { throw Failed{std::move(what)}; }

class Walker {
public:
  Walker(const unsigned char *arena, u64 limit, CheckReport &r)
      : a_(arena), limit_(limit), used_((limit + 7) / 8, false), r_(r) {}

  template <class T> T read(u64 off) const {
    if (off > limit_ || sizeof(T) > limit_ - off) fail("read outside the arena at offset " + std::to_string(off));
    return load<T>(a_ + off);
  }

  // Claim [off, off + len) for one thing; a byte claimed twice is an error.
  void claim(u64 off, u64 len, const char *what) {
    if (off > limit_ || len > limit_ - off) fail(std::string(what) + " outside the arena at offset " + std::to_string(off));
    for (u64 u = off / 8; u < (off + len + 7) / 8; ++u) {
      if (used_[u]) fail(std::string(what) + " at offset " + std::to_string(off) + " overlaps something else");
      used_[u] = true;
    }
  }

  // A chunk named by its payload offset: header bytes must say `unit`.
  void chunk(u64 payload, std::uint8_t unit, const char *what) {
    if (payload < arena_header_size + 2) fail(std::string(what) + " offset " + std::to_string(payload) + " is too low");
    const u64 start = payload - 2;
    const std::uint8_t size = read<std::uint8_t>(start), u = read<std::uint8_t>(start + 1);
    if (u != unit || size != chunk_size_for(unit))
      fail(std::string(what) + " at offset " + std::to_string(payload) + " is not a chunk of unit " +
           std::to_string(unit));
    if (start + size > bump_) fail(std::string(what) + " at offset " + std::to_string(payload) + " lies beyond the carved space");
    claim(start, size, what);
  }

  u64 bump_ = 0;
  const unsigned char *a_;
  u64 limit_;
  std::vector<bool> used_;
  CheckReport &r_;
};

u64 ceil_div(u64 a, u64 b) { return a / b + (a % b != 0); }

// Walk a string: returns its bytes (for duplicate detection), checks links.
std::string walk_string(Walker &w, u64 list_off, std::uint8_t unit, const char *what) {
  const ChunkList l = w.read<ChunkList>(list_off);
  if (l.links == 0) {
    if (l.count != 0) fail(std::string(what) + " of length " + std::to_string(l.count) + " has no chunks");
    return {};
  }
  if (l.per_link != unit) fail(std::string(what) + " has " + std::to_string(l.per_link) + " bytes per chunk, not " + std::to_string(unit));
  if (l.links != ceil_div(l.count, unit))
    fail(std::string(what) + " of length " + std::to_string(l.count) + " has " + std::to_string(l.links) + " chunks");
  std::string bytes;
  u64 lnk = l.first;
  for (u64 i = 0; i < l.links; ++i) {
    w.chunk(lnk, unit_link, "string link");
    const u64 payload = w.read<u64>(lnk);
    w.chunk(payload, unit, "string chunk");
    const u64 from = i * unit, n = l.count - from < unit ? l.count - from : unit;
    if (bytes.size() < 4096) bytes.append(reinterpret_cast<const char *>(w.a_ + payload), n);
    ++w.r_.data_chunks;
    lnk = w.read<u64>(lnk + 8);
  }
  return bytes;
}

void run(const unsigned char *arena, u64 file_size, CheckReport &r) {
  if (const char *why = arena_check(arena, file_size)) fail(why);
  ArenaHeader ah;
  std::memcpy(&ah, arena, sizeof ah);
  r.arena_size = ah.arena_size;
  r.arena_used = ah.bump;
  Walker w(arena, ah.arena_size, r);
  w.bump_ = ah.bump;
  w.claim(0, arena_header_size, "arena header");

  if (ah.bump < map_header_offset - 2 + chunk_size_for(unit_map_header)) fail("not a map file: no map header");
  if (arena[65] != unit_map_header || arena[64] != chunk_size_for(unit_map_header)) fail("not a map file: no map header at its place");
  w.claim(64, chunk_size_for(unit_map_header), "map header");
  const MapHeader h = w.read<MapHeader>(map_header_offset);
  r.bucket_chunk_number = h.bucket_chunk_number;
  r.buckets_per_chunk = h.buckets_per_chunk;
  r.data_chunk_unit = h.data_chunk_unit;
  const std::uint8_t U = h.data_chunk_unit;
  if (U != 8 && U != 16 && U != 32 && U != 64 && U != 128) fail("data chunk unit " + std::to_string(U) + " is invalid");
  if (U != ah.data_unit) fail("data chunk unit differs from the arena's");
  const u64 s = h.buckets_per_chunk;
  if (s == 0 || !std::has_single_bit(s) || s > ah.arena_size / sizeof(Bucket)) fail("buckets per chunk " + std::to_string(s) + " is invalid");
  if (h.bucket_chunk_number == 0 || h.bucket_chunk_number > ah.arena_size / 8) fail("bucket chunk number is invalid");

  auto block = [&](u64 off, u64 len, const char *what) {
    if (off % 8 != 0) fail(std::string(what) + " is misaligned");
    if (off < 8) fail(std::string(what) + " offset is too low");
    if (off + len > ah.bump) fail(std::string(what) + " lies beyond the carved space");
    w.claim(off - 8, block_size_for(len), what);
  };
  block(h.table, h.bucket_chunk_number * 8, "bucket chunk table");
  const u64 word_offs[5] = {h.bucket_chunks_in_use, h.expansion_participants, h.expansion_lock, h.migration_cursor, h.entry_count};
  const char *word_names[5] = {"bucket_chunks_in_use", "expansion_participants", "expansion_lock", "migration_cursor", "entry_count"};
  for (int i = 0; i < 5; ++i) block(word_offs[i], 8, word_names[i]);
  const u64 n = w.read<u64>(h.bucket_chunks_in_use);
  r.bucket_chunks_in_use = n;
  r.entry_count = w.read<u64>(h.entry_count);
  r.expansion_participants = w.read<u64>(h.expansion_participants);
  if (n == 0 || !std::has_single_bit(n) || n > h.bucket_chunk_number) fail("bucket chunks in use (" + std::to_string(n) + ") is invalid");
  const u64 lock = w.read<u64>(h.expansion_lock);
  if (lock != 0 && lock != 0x100000000ull) fail("expansion lock word holds " + std::to_string(lock));

  // The table: chunks in use, then at most one expansion's claim or chunks.
  std::vector<u64> chunks(h.bucket_chunk_number, 0);
  u64 published = 0;
  for (u64 i = 0; i < h.bucket_chunk_number; ++i) {
    const u64 slot = w.read<u64>(h.table + 8 * i);
    chunks[i] = slot;
    if (i < n) {
      if (slot <= claim_marker) fail("bucket chunk " + std::to_string(i) + " in use is missing");
      block(slot, s * sizeof(Bucket), "bucket chunk");
    } else if (i == n && slot == claim_marker) {
      r.expanding = true;
    } else if (i < 2 * n && slot > claim_marker) {
      block(slot, s * sizeof(Bucket), "bucket chunk");
      ++published;
    } else if (slot != 0) {
      fail("table slot " + std::to_string(i) + " is set beyond the chunks in use");
    }
  }
  if (published) {
    if (published != n) fail("an expansion published " + std::to_string(published) + " of " + std::to_string(n) + " chunks");
    r.expanding = true;
  }
  if (r.expansion_participants) r.expanding = true;

  const u64 total = s * n;
  const u64 all = published ? 2 * total : total;
  r.buckets = total;
  for (u64 k = 0; k < all; ++k) {
    const u64 boff = chunks[k / s] + (k % s) * sizeof(Bucket);
    const std::string where = "bucket " + std::to_string(k);
    const Bucket b = w.read<Bucket>(boff);
    if (b.lock != 0 && b.lock != 0x100000000ull) fail(where + ": lock word holds " + std::to_string(b.lock));
    if (b.forward != 0) {
      const u64 twin = k + total;
      if (k >= total || !published || b.forward != chunks[twin / s] + (twin % s) * sizeof(Bucket)) {
        // a mark left from the expansion that just doubled is allowed
        const u64 prev_twin = k + total / 2;
        if (!(total >= 2 && k < total / 2 && b.forward == chunks[prev_twin / s] + (prev_twin % s) * sizeof(Bucket)))
          fail(where + ": forward word names no twin");
      }
    }
    const ChunkList &l = b.entries;
    if (l.per_link != 2) fail(where + ": entries per node is " + std::to_string(l.per_link));
    if (l.links < 1 || l.links < ceil_div(l.count, 2)) fail(where + ": " + std::to_string(l.count) + " entries in " + std::to_string(l.links) + " nodes");
    if (l.count > r.longest_bucket) r.longest_bucket = l.count;
    std::vector<std::pair<long long, std::string>> keys;
    u64 lnk = l.first;
    for (u64 j = 0; j < l.links; ++j) {
      w.chunk(lnk, unit_link, "node link");
      const u64 payload = w.read<u64>(lnk);
      w.chunk(payload, unit_node, "node");
      ++r.nodes;
      for (u64 slot = 0; slot < 2; ++slot) {
        const u64 i = 2 * j + slot;
        const u64 eoff = payload + slot * sizeof(MapEntry);
        const MapEntry e = w.read<MapEntry>(eoff);
        if (i >= l.count) {
          if (e.key.links || e.value.links) fail(where + ": slot " + std::to_string(i) + " beyond the count still names strings");
          continue;
        }
        const std::string ew = where + ", entry " + std::to_string(i);
        std::string key = walk_string(w, eoff, U, (ew + " key").c_str());
        walk_string(w, eoff + 40, U, (ew + " value").c_str());
        r.key_bytes += e.key.count;
        r.value_bytes += e.value.count;
        const u64 home = static_cast<u64>(e.hash) & (total - 1);
        const bool in_twin = published && k >= total && (static_cast<u64>(e.hash) & (2 * total - 1)) == k;
        const bool leaving = published && k < total && (static_cast<u64>(e.hash) & (2 * total - 1)) == k + total;
        if (home != k && !in_twin && !leaving) fail(ew + " has a hash that belongs in bucket " + std::to_string(home));
        for (const auto &[hh, kk] : keys)
          if (hh == e.hash && kk == key && key.size() == e.key.count) fail(ew + " repeats an earlier key of its bucket");
        keys.emplace_back(e.hash, std::move(key));
        ++r.entries_found;
      }
      lnk = w.read<u64>(lnk + 8);
    }
  }
  if (!r.expanding && r.entries_found != r.entry_count)
    fail("entry count says " + std::to_string(r.entry_count) + " but the buckets hold " + std::to_string(r.entries_found));

  // Free lists: every chunk on them is a chunk of its class, used by nothing.
  const struct { u64 head; std::uint8_t unit; const char *name; } lists[3] = {
      {ah.class176.head, unit_node, "free list of nodes"},
      {ah.class16.head, unit_link, "free list of links"},
      {ah.class_data.head, ah.data_unit, "free list of data chunks"}};
  for (const auto &fl : lists) {
    u64 c = fl.head;
    while (c != 0) {
      w.chunk(c + 2, fl.unit, fl.name);
      ++r.free_chunks;
      c = w.read<u64>(c + 2);
    }
  }
}

}  // namespace

CheckReport check_map_file(const std::string &path) noexcept {
  CheckReport r;
  try {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      r.problem = "cannot open " + path + ": " + std::strerror(errno);
      return r;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      r.problem = "not a regular file: " + path;
      return r;
    }
    r.file_size = static_cast<u64>(st.st_size);
    if (r.file_size < region_overhead) {
      ::close(fd);
      r.problem = "not a map file: too short for its headers";
      return r;
    }
    void *view = mmap(nullptr, r.file_size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (view == MAP_FAILED) {
      r.problem = std::string("cannot map the file: ") + std::strerror(errno);
      return r;
    }
    try {
      run(static_cast<const unsigned char *>(view) + region_header_size, r.file_size, r);
      r.ok = true;
    } catch (const Failed &f) {
      r.problem = f.what;
    }
    munmap(view, r.file_size);
  } catch (const std::exception &e) {
    r.problem = e.what();
  }
  return r;
}

}  // namespace fennowick
