// Offsets: every link inside a backing file is an unsigned 64-bit distance
// from the arena base, so that each process may map the file at its own
// address. Addresses are made from offsets here and nowhere else.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace fennowick {

// An offset from the arena base. The template argument marks an offset into
// shared memory (true); the pointer-keyed map's process-local twin uses false.
template <bool Shared = true> struct Offset {
  std::uint64_t value = 0;
  constexpr Offset() = default;
  constexpr explicit Offset(std::uint64_t v) : value(v) {}
};

template <class T = unsigned char>
inline T *at(unsigned char *base, std::uint64_t off) noexcept {
  return reinterpret_cast<T *>(base + off);
}

inline std::uint64_t offset_of(const unsigned char *base, const void *p) noexcept {
  return static_cast<std::uint64_t>(static_cast<const unsigned char *>(p) - base);
}

// The validating form, for offsets read from a file that is not trusted:
// [off, off + len) must lie inside [0, limit).
[[noreturn]] void throw_damaged(const char *what);

template <class T = unsigned char>
inline T *at_checked(unsigned char *base, std::uint64_t limit, std::uint64_t off,
                     std::uint64_t len, const char *what) {
  if (off > limit || len > limit - off) [[unlikely]] throw_damaged(what);
  return reinterpret_cast<T *>(base + off);
}

// Unaligned little-endian loads and stores for records at odd addresses.
template <class T> inline T load(const void *p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T> inline void store(void *p, T v) noexcept { std::memcpy(p, &v, sizeof v); }

}  // namespace fennowick
