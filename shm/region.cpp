// Backing file and mapping on Linux: mkstemp-style exclusive creation in the
// temporary directory, ftruncate, mmap MAP_SHARED. The file stays sparse
// beyond what the arena has handed out; blocks are reserved as the bump grows
// (reserve.hpp), and creating or opening reserves the part in use before the
// first write, so that no store into the mapping can find the file system
// full.
#include "region.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "arena.hpp"
#include "offset.hpp"
#include "reserve.hpp"

namespace fennowick {

namespace {

constexpr std::size_t error_capacity = 1024;
// Per thread: a failing call and the read of its text happen in one thread.
thread_local char error_text[error_capacity + 1] = {0};

std::atomic<std::uint64_t> cached_page_size{0};

void append(std::size_t &len, const char *text) noexcept {
  while (*text && len < error_capacity) error_text[len++] = *text++;
  error_text[len] = 0;
}

void record_errorf(int flags, const char *fmt, unsigned long value) noexcept {
  char text[256];
  std::snprintf(text, sizeof text, fmt, value);
  record_error(flags, text);
}

// The part of a file that must have its blocks before the first write: the
// headers and every granule the bump has entered.
std::uint64_t used_part(const unsigned char *arena) noexcept {
  std::uint64_t bump;
  std::memcpy(&bump, arena + offsetof(ArenaHeader, bump), sizeof bump);
  return region_header_size + round_up_granule(bump);
}

}  // namespace

[[noreturn]] void throw_damaged(const char *what) {
  throw std::runtime_error(std::string("map file is damaged: ") + what);
}

thread_local int error_errno = 0;

void record_error(int flags, const char *text) noexcept {
  int saved = errno;
  if (text == nullptr) {
    error_text[0] = 0;
    error_errno = 0;
    return;
  }
  if (flags & (err_alloc | err_core)) error_errno = 0;
  if ((flags & err_errno) && saved != 0) error_errno = saved;
  std::size_t len = std::strlen(error_text);
  if (flags & err_alloc) {
    len = 0;
    error_text[0] = 0;
    append(len, "mm:alloc: ");
  } else if (flags & err_core) {
    len = 0;
    error_text[0] = 0;
    append(len, "mm:core: ");
  }
  append(len, text);
  if ((flags & err_errno) && saved != 0) {
    if (len <= error_capacity - 3) append(len, " (");
    append(len, std::strerror(saved));
    if (len <= error_capacity - 2) append(len, ")");
  }
  errno = saved;
}

const char *last_error() noexcept { return error_text[0] ? error_text : nullptr; }
int last_error_errno() noexcept { return error_text[0] ? error_errno : 0; }

std::uint64_t page_size() noexcept {
  std::uint64_t p = cached_page_size.load(std::memory_order_relaxed);
  if (p == 0) {
    long v = sysconf(_SC_PAGESIZE);
    p = v > 0 ? static_cast<std::uint64_t>(v) : 4096;
    cached_page_size.exchange(p);
  }
  return p;
}

std::uint64_t mapped_size_for(std::uint64_t size) noexcept {
  std::uint64_t p = page_size();
  std::uint64_t t = size + region_overhead;
  return t % p == 0 ? t : (t / p + 1) * p;
}

const char *temporary_directory() noexcept {
  static std::string dir;
  static std::once_flag once;
  std::call_once(once, [] {
    // TMPDIR wins when set. Otherwise the memory file system: a map's pages
    // are memory that processes share, and on a disk the kernel would write
    // them back while the processes work. Then the temporary directory as
    // Python's tempfile chooses it.
    const char *candidates[] = {std::getenv("TMPDIR"), "/dev/shm", std::getenv("TEMP"), std::getenv("TMP"),
                                "/tmp", "/var/tmp", "/usr/tmp"};
    for (const char *c : candidates) {
      if (c == nullptr || *c == 0) continue;
      struct stat st;
      if (stat(c, &st) != 0 || !S_ISDIR(st.st_mode) || access(c, W_OK | X_OK) != 0) continue;
      char resolved[PATH_MAX];
      if (realpath(c, resolved) == nullptr) continue;
      dir = resolved;
      return;
    }
    char cwd[PATH_MAX];
    dir = getcwd(cwd, sizeof cwd) ? cwd : ".";
  });
  return dir.c_str();
}

namespace {

// Create in `dir` (name null) or open `name`.
unsigned char *open_or_create(const char *dir, std::uint64_t size, const char *name, unsigned char unit,
                              file_handle_t &out_file, mapping_handle_t &out_mapping,
                              std::string *created_path) noexcept {
  if (size == 0) {
    errno = EINVAL;
    return nullptr;
  }
  const bool create = name == nullptr;
  std::uint64_t mapped = 0;
  int fd = -1;
  std::string created;  // path to delete if creation fails

  if (!create) {
    fd = ::open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      record_error(err_core | err_errno, "failed to create memory file");
      return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      record_error(err_core | err_errno, "failed to get file size");
      ::close(fd);
      return nullptr;
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) < region_overhead) {
      record_error(err_core, "not a map file: too short for its headers");
      ::close(fd);
      return nullptr;
    }
    // Map what is there: opening never grows the file.
    mapped = static_cast<std::uint64_t>(st.st_size);
    size = mapped;
  } else {
    mapped = mapped_size_for(size);
    if (mapped < size) {  // wrapped
      errno = EINVAL;
      record_error(err_core | err_errno, "failed to write memory file, last error: 22");
      return nullptr;
    }
    std::string path = std::string(dir) + "/mm" + std::to_string(getpid()) + "XXXXXX";
    fd = mkostemp(path.data(), O_CLOEXEC);  // O_EXCL, mode 0600
    if (fd < 0) {
      record_error(err_core | err_errno, "failed to generate memory file name");
      return nullptr;
    }
    created = path;
    if (ftruncate(fd, static_cast<off_t>(mapped)) != 0) {
      unsigned long e = static_cast<unsigned long>(errno);
      record_errorf(err_core | err_errno, "failed to write memory file, last error: %lu", e);
      ::close(fd);
      ::unlink(created.c_str());
      return nullptr;
    }
    // The headers and the map's first structures are written right away:
    // reserve up to the end of the granule the initial bump lies in.
    const std::uint64_t first = region_header_size + round_up_granule(arena_header_size);
    if (!reserve_file_range(fd, 0, first, mapped)) {
      char text[PATH_MAX + 200];
      std::snprintf(text, sizeof text,
                    "no space for a map of %llu bytes in %s: its first %llu bytes cannot be reserved",
                    static_cast<unsigned long long>(size), dir,
                    static_cast<unsigned long long>(std::min(first, mapped)));
      record_error(err_core | err_errno, text);
      ::close(fd);
      ::unlink(created.c_str());
      return nullptr;
    }
  }

  void *view = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    unsigned long e = static_cast<unsigned long>(errno);
    record_errorf(err_core | err_errno, "failed to open map view of file error: %lu", e);
    ::close(fd);
    if (create) ::unlink(created.c_str());
    return nullptr;
  }
  auto *start = static_cast<unsigned char *>(view);
  unsigned char *base = start + region_header_size;

  if (!create) {
    // Nothing is written before the file is known to be a region, and before
    // its part in use has its blocks (a file copied sparse, or made by a
    // build that did not reserve).
    if (const char *why = arena_check(base, mapped)) {
      record_error(err_core, why);
      munmap(view, mapped);
      ::close(fd);
      return nullptr;
    }
    const std::uint64_t used = std::min(used_part(base), mapped);
    if (!reserve_file_range(fd, 0, used, mapped)) {
      char text[PATH_MAX + 200];
      std::snprintf(text, sizeof text, "no space to reserve the %llu bytes in use of map file %s",
                    static_cast<unsigned long long>(used), name);
      record_error(err_core | err_errno, text);
      munmap(view, mapped);
      ::close(fd);
      return nullptr;
    }
  }
  if (!register_reserve_file(base, fd, mapped)) {
    record_error(err_core | err_errno, "failed to allocate space for the file table");
    munmap(view, mapped);
    ::close(fd);
    if (create) ::unlink(created.c_str());
    return nullptr;
  }

  auto *header = reinterpret_cast<RegionHeader *>(start);
  header->mapped_size = mapped;
  header->requested_size = size + 64;
  if (create) {
    header->arena_lock = 0;
    arena_init(base, size, unit);
  }
  out_file = fd;
  out_mapping = mapped;
  if (created_path) {
    try {
      *created_path = created;
    } catch (...) {
      region_close(base, fd, mapped);
      ::unlink(created.c_str());
      errno = ENOMEM;
      return nullptr;
    }
  }
  return base;
}

}  // namespace

unsigned char *region_open(std::uint64_t size, const char *name, unsigned char unit,
                           file_handle_t &out_file, mapping_handle_t &out_mapping,
                           std::string *created_path) noexcept {
  // The directory is looked up only when it is needed: opening never asks.
  return open_or_create(name == nullptr && size != 0 ? temporary_directory() : nullptr, size, name, unit, out_file,
                        out_mapping, created_path);
}

unsigned char *region_create_in(const char *dir, std::uint64_t size, unsigned char unit, file_handle_t &out_file,
                                mapping_handle_t &out_mapping, std::string *created_path) noexcept {
  if (dir == nullptr) dir = temporary_directory();
  return open_or_create(dir, size, nullptr, unit, out_file, out_mapping, created_path);
}

void region_close(unsigned char *base, file_handle_t file, mapping_handle_t mapping) noexcept {
  if (base == nullptr) return;
  unregister_reserve_file(base);
  if (munmap(base - region_header_size, mapping) != 0) {
    record_errorf(err_core | err_errno, "failed to close map view error: %lu",
                  static_cast<unsigned long>(errno));
  }
  if (file != invalid_file && ::close(file) != 0) {
    record_errorf(err_core | err_errno, "failed to close handle error: %lu",
                  static_cast<unsigned long>(errno));
  }
}

}  // namespace fennowick
