// Backing file and mapping.
//
// A map lives in one ordinary file that every participating process maps
// read-write and shared. The file starts with the 24-byte RegionHeader; the
// arena (ArenaHeader and chunk space, arena.hpp) follows at file offset 24,
// which is the arena base that all offsets are counted from.
//
// Creating makes a new file with a unique name in the temporary directory
// (exclusively, mode 0600), sizes it and writes both headers. Opening maps an
// existing file at its own size, checks that it is a region before it writes
// anything, and never grows or deletes it.
//
// The file is sized sparse and its blocks are reserved as the arena hands
// space out (reserve.hpp): creating reserves the first granule, opening the
// part in use, and either fails with a text naming the place when the file
// system has no room, instead of letting a later store die of SIGBUS.
//
// Failures return null and leave a text in the process-wide last-error
// buffer; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fennowick {

struct RegionHeader {
  std::uint64_t mapped_size;        // M as computed by the last process that mapped the file
  std::uint64_t requested_size;     // that process's size argument + 64
  std::uint32_t arena_lock;         // 32-bit spin lock guarding the arena
  std::uint32_t reserved;           // never written
};
static_assert(sizeof(RegionHeader) == 24);
static_assert(offsetof(RegionHeader, mapped_size) == 0);
static_assert(offsetof(RegionHeader, requested_size) == 8);
static_assert(offsetof(RegionHeader, arena_lock) == 16);
static_assert(offsetof(RegionHeader, reserved) == 20);

inline constexpr std::uint64_t region_header_size = 24;
inline constexpr std::uint64_t region_overhead = 88;  // RegionHeader + ArenaHeader

// Handles of one process's view. On Linux the "mapping handle" is the length
// of the mapping, which is what munmap needs.
using file_handle_t = int;
using mapping_handle_t = std::uint64_t;
inline constexpr file_handle_t invalid_file = -1;
inline constexpr mapping_handle_t invalid_mapping = 0;

// flags for record_error
inline constexpr int err_alloc = 1, err_core = 2, err_errno = 4;

// Create (name null: size = chunk-space bytes, unit = data unit) or open
// (name = path: size = the file's size in bytes, unit ignored). Returns the
// arena base or null.
// created_path, when given, receives the absolute path of a created file.
unsigned char *region_open(std::uint64_t size, const char *name, unsigned char unit,
                           file_handle_t &out_file, mapping_handle_t &out_mapping,
                           std::string *created_path = nullptr) noexcept;
// Create as region_open does, in the directory `dir` (null: the temporary
// directory), which must be an absolute path. For a caller that places a map
// on a file system of its own choosing, such as a test on a small one.
unsigned char *region_create_in(const char *dir, std::uint64_t size, unsigned char unit, file_handle_t &out_file,
                                mapping_handle_t &out_mapping, std::string *created_path = nullptr) noexcept;
void region_close(unsigned char *base, file_handle_t file, mapping_handle_t mapping) noexcept;

void record_error(int flags, const char *text) noexcept;
const char *last_error() noexcept;  // null when empty
int last_error_errno() noexcept;    // the errno recorded with it, 0 when none

std::uint64_t page_size() noexcept;
std::uint64_t mapped_size_for(std::uint64_t size) noexcept;

// Where new backing files go, as an absolute path: TMPDIR when set (and a
// writable directory), else /dev/shm when it is one, else the temporary
// directory as Python's tempfile chooses it (TEMP, TMP, /tmp, /var/tmp,
// /usr/tmp), else the working directory. Read once per process.
const char *temporary_directory() noexcept;

inline std::uint32_t &arena_lock_word(unsigned char *base) noexcept {
  return *reinterpret_cast<std::uint32_t *>(base - region_header_size + 16);
}

}  // namespace fennowick
