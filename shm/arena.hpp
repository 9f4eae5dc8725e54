// Chunk allocator of the arena.
//
// The arena starts at the arena base with the 64-byte ArenaHeader; the chunk
// space behind it is handed out from the bottom up by a bump offset and is
// never given back to the platform. Two kinds of allocation exist:
//  - chunks: a 2-byte header (size, unit) and a payload of `unit` bytes,
//    handed out in linked runs; units 16, 176 and the map's data unit have a
//    free list (a stack through the first 8 payload bytes), every other unit
//    is carved fresh each time and never reused;
//  - blocks: raw areas carved once and never freed (tables, buckets, the
//    map's shared words). A block's payload is 8-byte aligned, with the 2-byte
//    zero header right before it, because blocks hold words used atomically.
//
// The arena lock (a 32-bit word in the RegionHeader, yielding wait) guards the
// bump offset and the three list heads for every thread of every process. The
// header's 8-byte fields lie at odd offsets, so they are only read and written
// under the lock and through memcpy-style access. The data unit byte never
// changes after creation and is read without the lock.
//
// Nothing in a file is trusted: a free-list link that leaves the carved space
// or lands on a chunk of another unit is reported as damage, not followed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fennowick {

struct [[gnu::packed]] ClassRecord {
  std::uint8_t size;   // unit + 2 (8-bit), written once, never read
  std::uint8_t unit;   // written once, never read
  std::uint64_t head;  // arena offset of the first free chunk, 0 = empty
};
static_assert(sizeof(ClassRecord) == 10);

struct [[gnu::packed]] ArenaHeader {
  std::uint64_t arena_size;  // end of the chunk space as an arena offset
  std::uint64_t bump;        // first byte never handed out; only grows
  std::uint8_t data_unit;    // the map's data-chunk unit
  ClassRecord unused;        // record 0
  ClassRecord class176;      // record 1: entry-record pairs
  ClassRecord class16;       // record 2: chunk links
  ClassRecord class_data;    // record 3: string data
  std::uint8_t reserved[7];
};
static_assert(sizeof(ArenaHeader) == 64);
static_assert(offsetof(ArenaHeader, arena_size) == 0);
static_assert(offsetof(ArenaHeader, bump) == 8);
static_assert(offsetof(ArenaHeader, data_unit) == 16);
static_assert(offsetof(ArenaHeader, unused) == 17);
static_assert(offsetof(ArenaHeader, class176) == 27);
static_assert(offsetof(ArenaHeader, class16) == 37);
static_assert(offsetof(ArenaHeader, class_data) == 47);
static_assert(offsetof(ArenaHeader, reserved) == 57);

// A chunk in the chunk space. `next` overlaps the payload and is meaningful
// while the chunk lies on a free list or in a run just handed out.
struct [[gnu::packed]] DataChunk {
  std::uint8_t size;  // round_up_8(unit + 2) in 8 bits
  std::uint8_t unit;  // payload capacity and size class
  std::uint64_t next; // arena offset of the next chunk's start
};
static_assert(offsetof(DataChunk, size) == 0);
static_assert(offsetof(DataChunk, unit) == 1);
static_assert(offsetof(DataChunk, next) == 2);

inline constexpr std::uint64_t arena_header_size = 64;
inline constexpr std::uint8_t unit_link = 16;
inline constexpr std::uint8_t unit_node = 176;
inline constexpr std::uint8_t unit_map_header = 168;

constexpr std::uint64_t round_up_8(std::uint64_t a) noexcept { return ((a - 1) & ~std::uint64_t{7}) + 8; }
// Chunk sizes are round_up_8(unit + 2) taken in 8-bit arithmetic.
constexpr std::uint8_t chunk_size_for(std::uint8_t unit) noexcept {
  return static_cast<std::uint8_t>(round_up_8(static_cast<std::uint8_t>(unit + 2)));
}
// Bytes a block of n occupies: the 8-byte-aligned payload plus the gap that
// holds the 2-byte zero header.
constexpr std::uint64_t block_size_for(std::uint64_t n) noexcept { return round_up_8(n) + 8; }
// The recorded size of the block whose 8-byte header starts at `start`
// (0 when unrecorded).
inline std::uint64_t block_recorded_size(const unsigned char *start) noexcept {
  std::uint64_t units = 0;
  for (int i = 1; i < 6; ++i) units |= std::uint64_t{start[i]} << (8 * (i - 1));
  return units << 3;
}

inline ArenaHeader *arena_header(unsigned char *arena) noexcept {
  return reinterpret_cast<ArenaHeader *>(arena);
}

// Returns the start of the first chunk of a linked run of `count` chunks.
unsigned char *arena_alloc_chunks(unsigned char *arena, std::uint64_t count, std::uint8_t unit);
// Returns an 8-byte-aligned block of at least n bytes. The 8 bytes before it
// hold 0, the block's whole size (these 8 bytes included) in 8-byte units in
// bytes 1 to 5, and the 2-byte zero header in bytes 6 and 7; blocks of files
// made before sizes were recorded read size 0 there.
void *arena_alloc_block(unsigned char *arena, std::uint64_t n);
// payload = chunk start + 2. False when the chunk's unit has no class.
bool arena_free_chunk(unsigned char *arena, void *payload);

// Initialise a fresh ArenaHeader (region creation).
void arena_init(unsigned char *arena, std::uint64_t size, std::uint8_t unit) noexcept;
// Check that an existing arena header is plausible for a file of file_size
// bytes; null when it is, else a text saying what is wrong.
const char *arena_check(const unsigned char *arena, std::uint64_t file_size) noexcept;

}  // namespace fennowick
