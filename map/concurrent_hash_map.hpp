// Shared records of the concurrent hash maps and their common base.
//
// A map's shared state lives in the arena of one backing file and is reached
// only through offsets from the arena base:
//  - the MapHeader, the first chunk carved in a fresh arena (payload at arena
//    offset 66), written once by the creator and never changed;
//  - the BucketChunkTable: bucket_chunk_number 8-byte slots, slot i the offset
//    of BucketChunk i or 0; slot n (n = bucket_chunks_in_use) briefly holds the
//    claim marker 1 while an expansion's leader allocates;
//  - BucketChunks of buckets_per_chunk 56-byte Buckets;
//  - five shared 8-byte words, each in its own block.
//
// Who writes what:
//  - a bucket's entries, count and node chain: only under the bucket's lock;
//  - Bucket.forward: set by the participant that moves the bucket (before it
//    locks it), cleared by compare-and-swap by the participant that doubled
//    the table, and only if it still holds that expansion's twin;
//  - bucket_chunks_in_use: doubled under expansion_lock by the last
//    participant of a published expansion; read without a lock everywhere;
//  - expansion_participants: changed only under expansion_lock;
//  - migration_cursor: set by the leader before publishing, then only
//    fetch-and-subtract;
//  - entry_count: atomic increments and decrements.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fennowick {

struct [[gnu::packed]] ChunkList {
  std::uint64_t first;         // Offset of the first ChunkLink (unused while links == 0)
  std::uint64_t count;         // entries of a bucket, or bytes of a string
  std::uint64_t links;         // ChunkLinks in the chain
  std::uint8_t per_link;       // 2 for a bucket, the data unit for a string
  std::uint8_t padding[7];
  std::uint64_t base_scratch;  // arena base of the process working on the list; scratch
};
static_assert(sizeof(ChunkList) == 40);
static_assert(offsetof(ChunkList, first) == 0);
static_assert(offsetof(ChunkList, count) == 8);
static_assert(offsetof(ChunkList, links) == 16);
static_assert(offsetof(ChunkList, per_link) == 24);
static_assert(offsetof(ChunkList, padding) == 25);
static_assert(offsetof(ChunkList, base_scratch) == 32);

struct Bucket {
  std::uint64_t lock;     // 64-bit spin lock word
  ChunkList entries;      // MapEntry records, two per node
  std::uint64_t forward;  // 0, or the Offset of the twin while this bucket is being split
};
static_assert(sizeof(Bucket) == 56);
static_assert(alignof(Bucket) == 8);
static_assert(offsetof(Bucket, lock) == 0);
static_assert(offsetof(Bucket, entries) == 8);
static_assert(offsetof(Bucket, forward) == 48);

struct [[gnu::packed]] MapEntry {
  ChunkList key;
  ChunkList value;
  std::int64_t hash;
};
static_assert(sizeof(MapEntry) == 88);
static_assert(offsetof(MapEntry, key) == 0);
static_assert(offsetof(MapEntry, value) == 40);
static_assert(offsetof(MapEntry, hash) == 80);

struct [[gnu::packed]] MapHeader {
  std::uint64_t creator_word;       // creator's dispatch word; scratch
  std::uint64_t creator_base;       // creator's arena base address; scratch
  std::uint64_t bucket_chunk_number;
  std::uint64_t buckets_per_chunk;
  std::uint8_t zero_32[24];
  std::uint64_t table;              // Offset of the BucketChunkTable
  std::uint64_t bucket_chunks_in_use;
  std::uint64_t expansion_participants;
  std::uint64_t expansion_lock;
  std::uint64_t migration_cursor;
  std::uint64_t entry_count;
  std::uint8_t zero_104[16];
  std::uint8_t unwritten_120[16];
  std::uint8_t zero_136[24];
  std::uint8_t data_chunk_unit;
  std::uint8_t unwritten_161[7];
};
static_assert(sizeof(MapHeader) == 168);
static_assert(offsetof(MapHeader, bucket_chunk_number) == 16);
static_assert(offsetof(MapHeader, buckets_per_chunk) == 24);
static_assert(offsetof(MapHeader, zero_32) == 32);
static_assert(offsetof(MapHeader, table) == 56);
static_assert(offsetof(MapHeader, bucket_chunks_in_use) == 64);
static_assert(offsetof(MapHeader, expansion_participants) == 72);
static_assert(offsetof(MapHeader, expansion_lock) == 80);
static_assert(offsetof(MapHeader, migration_cursor) == 88);
static_assert(offsetof(MapHeader, entry_count) == 96);
static_assert(offsetof(MapHeader, zero_104) == 104);
static_assert(offsetof(MapHeader, unwritten_120) == 120);
static_assert(offsetof(MapHeader, zero_136) == 136);
static_assert(offsetof(MapHeader, data_chunk_unit) == 160);

inline constexpr std::uint64_t map_header_offset = 66;
inline constexpr std::uint64_t claim_marker = 1;
inline constexpr std::uint64_t max_participants = 4096;  // join while at most this many
inline constexpr std::uint64_t migration_batch = 16;
inline constexpr std::uint64_t slice_batches = 2;   // batches one operation moves at most
inline constexpr std::uint64_t claim_batches = 16;  // batches one fetch-and-subtract of the cursor claims at most
// A view's membership in an expansion, as note_membership records it.
inline constexpr std::uint64_t exp_out = 0, exp_joining = 1, exp_in = 2, exp_leaving = 3;

// Figures of a map, for tools and the Python layer.
struct MapShape {
  std::uint64_t file_size, arena_size, arena_used;
  std::uint64_t bucket_chunk_number, buckets_per_chunk, bucket_chunks_in_use;
  std::uint64_t entry_count, expansion_participants;
  std::uint8_t data_chunk_unit;
  bool expanding;
};

// Common base: the process-local view of the shared words and the expansion
// protocol's join and finish steps, shared by both map kinds. Shared = 1 for
// the string map (words in the mapped file), 0 for the pointer-keyed map.
template <int Shared> class ConcurrentHashMap_base {
public:
  // Run this caller's share of the expansion of n. Precondition: the caller
  // is counted into expansion_participants at n (a join below returned n).
  // n is the one the join checked under expansion_lock: read again later, it
  // may already be a doubling further on, which this caller never joined.
  virtual void expand(std::uint64_t n) = 0;

  // Join the current (or a new) expansion if no more than 4096 participants
  // are in and the table has room to double; then take part in it.
  void python_expansion_helper(unsigned long long target);

  std::uint64_t bucket_chunks_in_use() const noexcept;
  std::uint64_t entry_count() const noexcept;
  std::uint64_t participants() const noexcept;
  std::uint64_t buckets_per_chunk() const noexcept { return buckets_per_chunk_; }
  std::uint64_t bucket_chunk_number() const noexcept { return bucket_chunk_number_; }

  // The load rule: more than two entries per bucket of n chunks, by the
  // shared entry-count word (an estimate the exact count need not be for).
  bool over_load(std::uint64_t n) const noexcept {
    return static_cast<unsigned __int128>(2) * buckets_per_chunk_ * n < entry_count();
  }

  // Join rules. Each takes expansion_lock, checks, and counts the caller in
  // at the n it returns (0: not joined); a caller that joined must then call
  // expand(n).
  std::uint64_t join_for_load() noexcept;                     // insert: load above two per bucket
  std::uint64_t join_for_target(std::uint64_t target) noexcept;  // helpers: n below target
  // Count out; the last participant of a published expansion doubles n.
  // Returns true when this caller doubled.
  bool finish(std::uint64_t n) noexcept;

protected:
  ConcurrentHashMap_base() = default;
  ~ConcurrentHashMap_base() = default;

  // Called under expansion_lock around every change of
  // expansion_participants by this view (state: exp_joining before the
  // change, exp_in after it; exp_leaving, exp_out), with the count before the
  // change: the string map records it so that a survivor can tell whether the
  // change happened if this process dies holding the lock.
  virtual void note_membership(std::uint64_t, std::uint64_t, std::uint64_t) noexcept {}
  // Count this caller in to, or out of, the expansion of n; the caller holds
  // expansion_lock. Each change is noted before and after it.
  void count_in(std::uint64_t n) noexcept;
  void count_out(std::uint64_t n) noexcept;

  unsigned char *base_ = nullptr;
  std::uint64_t bucket_chunk_number_ = 0;
  std::uint64_t buckets_per_chunk_ = 0;
  std::uint64_t *expansion_participants_ = nullptr;
  std::uint64_t *expansion_lock_ = nullptr;
  std::int64_t *migration_cursor_ = nullptr;
  std::uint64_t table_offset_ = 0, in_use_offset_ = 0, participants_offset_ = 0, lock_offset_ = 0,
                cursor_offset_ = 0, entry_count_offset_ = 0;
  std::uint64_t *entry_count_ = nullptr;
  std::uint64_t *bucket_chunks_in_use_ = nullptr;
  std::uint64_t *table_ = nullptr;  // this process's address of the BucketChunkTable
};

}  // namespace fennowick
