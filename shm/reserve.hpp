// Reserving the backing file's blocks before the map writes to them.
//
// The file is sized sparse, so a store into a page that has no block behind
// it needs the file system to find one right then; when it is full, the
// kernel answers the store with SIGBUS and the process dies. Blocks are
// therefore reserved (fallocate, mode 0) ahead of every write, in granules:
// every byte of the file below region header + round_up(bump, reserve_granule)
// (the bump of the ArenaHeader, an arena offset) has its blocks. The bump only
// grows under the arena lock, so whoever moves it across a granule boundary
// reserves the new granules before storing it; a reservation that fails leaves
// the bump as it was and the allocation fails as out of memory.
//
// The arena functions only know the arena base, so each process keeps a table
// from arena base to the view's file descriptor and file size, filled by
// region_open and emptied by region_close. A base without an entry (an arena
// built in plain memory) needs no reservation.
#pragma once

#include <cstdint>

namespace fennowick {

// 1 MiB: one fallocate call per MiB of arena handed out.
inline constexpr std::uint64_t reserve_granule = std::uint64_t{1} << 20;

// For offsets inside a file, far from wrapping.
constexpr std::uint64_t round_up_granule(std::uint64_t a) noexcept {
  return (a + reserve_granule - 1) & ~(reserve_granule - 1);
}

// Reserve the blocks of file bytes [from, to), cut at file_size. False with
// errno set when the file system cannot give them. A file system that cannot
// reserve at all (EOPNOTSUPP) counts as success: the file stays sparse there.
bool reserve_file_range(int fd, std::uint64_t from, std::uint64_t to, std::uint64_t file_size) noexcept;

// Arena offsets [from, to) of the view whose arena base is `arena`; from 0
// includes the RegionHeader before the base. True without doing anything when
// no file is registered for `arena`.
bool reserve_arena_range(unsigned char *arena, std::uint64_t from, std::uint64_t to) noexcept;

// Called before taking the arena lock, with the bump as last seen and the
// size about to be taken: reserves up to reserve_lookahead past it (about a
// granule per call, so that no single call zeroes much), so that
// the file system's work (on a memory file system, zeroing every page) is
// done outside the lock, in parallel with other processes' work. Best
// effort: reserve_for_bump under the lock still makes sure.
inline constexpr std::uint64_t reserve_lookahead = 2 * reserve_granule;
void reserve_ahead(unsigned char *arena, std::uint64_t bump, std::uint64_t size) noexcept;

// Called under the arena lock before the bump moves from `bump` to
// `new_bump`: reserves the granules that the move enters, if any.
inline bool reserve_for_bump(unsigned char *arena, std::uint64_t bump, std::uint64_t new_bump) noexcept {
  const std::uint64_t have = round_up_granule(bump), need = round_up_granule(new_bump);
  return need <= have || reserve_arena_range(arena, have, need);
}

// The table of this process's views. register_reserve_file is false (errno
// ENOMEM) only when the table cannot grow.
bool register_reserve_file(unsigned char *arena, int fd, std::uint64_t file_size) noexcept;
void unregister_reserve_file(unsigned char *arena) noexcept;

}  // namespace fennowick
