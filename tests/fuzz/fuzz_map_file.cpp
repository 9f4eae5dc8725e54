// libFuzzer target: any bytes as a map's backing file.
//
// Each input is written to a scratch file, walked by the structural checker,
// opened as a map and, when the open succeeds, used: gets, inserts (new keys,
// replacements, enough to start an expansion), removes, then the expansion
// helper. Every call may refuse a damaged file with a std::exception; none may
// crash, hang or trip a sanitizer.
//
// A map waits, without limit, for a lock word that reads "held", a bucket
// marked as being moved, an expansion claim or other participants: another
// process could be in the middle of that work. A file cannot say that nobody
// is, so before a file is used the target clears those words (every lock,
// forward mark, claim marker and the participant count it can locate with
// bounds checks, the registry's lock, and every registry slot's state, so
// that no slot names a process to wait for or recover). Everything else of
// the input reaches the code as it is.
//
// When the settled file passes the checker with no expansion under way and no
// operation threw, the file must still pass the checker afterwards:
// operations on a sound map keep it sound. (An expansion found in a file has
// lost its participants to the settling, so finishing it proves nothing.)
// Then the offline repair runs on the file: whatever it sweeps must pass the
// checker afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "map/checker.hpp"
#include "map/repair.hpp"
#include "map/concurrent_hash_map.hpp"
#include "map/string_map.hpp"
#include "shm/host.hpp"
#include "shm/offset.hpp"
#include "shm/arena.hpp"
#include "shm/region.hpp"
#include "shm/registry.hpp"

namespace {

using fennowick::Bucket;
using fennowick::MapHeader;
using u64 = std::uint64_t;

// Clearing waits costs one pass over the buckets the table names; inputs that
// name more than this are only checked and opened, not used.
constexpr u64 max_buckets_to_settle = u64{1} << 16;

template <class T> bool read_at(const std::vector<unsigned char> &f, u64 off, T &out) {
  if (off > f.size() || sizeof(T) > f.size() - off) return false;
  std::memcpy(&out, f.data() + off, sizeof(T));
  return true;
}

void zero_at(std::vector<unsigned char> &f, u64 off, u64 len) {
  if (off <= f.size() && len <= f.size() - off) std::memset(f.data() + off, 0, len);
}

// The registry behind the arena, when the file names one that fits: its
// lock is cleared like the map's, and every slot is freed, so that opening
// does not recover slots of garbage (which would ask /proc about random pids
// and make the run depend on what runs on the machine). Records and counts
// stay as the input has them: a freed slot's count still counts.
void settle_registry(std::vector<unsigned char> &f) {
  constexpr u64 arena = fennowick::region_header_size;
  const u64 reserved = arena + offsetof(fennowick::ArenaHeader, reserved);
  if (f.size() < reserved + 7) return;
  const u64 at = fennowick::registry_offset(f.data() + arena);
  if (at == 0 || at > f.size() || fennowick::registry_bytes > f.size() - at) return;
  zero_at(f, at + offsetof(fennowick::RegistryHeader, lock), 8);
  const u64 slots = at + sizeof(fennowick::RegistryHeader);
  for (u64 i = 0; i < fennowick::registry_slots; ++i) {
    const u64 state_at = slots + i * sizeof(fennowick::RegistrySlot) + offsetof(fennowick::RegistrySlot, state);
    u64 state = 0;
    if (!read_at(f, state_at, state)) break;
    state &= ~u64{0xff};  // free, same generation
    std::memcpy(f.data() + state_at, &state, sizeof state);
  }
}

// Clears every word that would make an operation wait for another process.
// Returns false when the file names too many buckets to do that cheaply.
bool settle(std::vector<unsigned char> &f) {
  constexpr u64 arena = fennowick::region_header_size;
  zero_at(f, 16, 4);  // arena lock
  settle_registry(f);
  MapHeader h;
  if (!read_at(f, arena + fennowick::map_header_offset, h)) return true;
  const u64 arena_bytes = f.size() - arena;  // offsets below count from the arena base
  for (u64 off : {u64{h.expansion_lock}, u64{h.expansion_participants}})
    if (off <= arena_bytes) zero_at(f, arena + off, 8);
  const u64 s = h.buckets_per_chunk;
  if (h.table > arena_bytes || h.bucket_chunk_number > (arena_bytes - h.table) / 8) return true;
  if (s == 0 || s > arena_bytes / sizeof(Bucket)) return true;
  u64 buckets = 0;
  for (u64 i = 0; i < h.bucket_chunk_number; ++i) {
    const u64 slot_at = arena + h.table + 8 * i;
    u64 chunk = 0;
    if (!read_at(f, slot_at, chunk)) break;
    if (chunk == fennowick::claim_marker) zero_at(f, slot_at, 8);
    if (chunk <= fennowick::claim_marker || chunk % 8 != 0) continue;
    if (chunk > arena_bytes || s > (arena_bytes - chunk) / sizeof(Bucket)) continue;
    if ((buckets += s) > max_buckets_to_settle) return false;
    for (u64 k = 0; k < s; ++k) {
      const u64 b = arena + chunk + k * sizeof(Bucket);
      zero_at(f, b + offsetof(Bucket, lock), 8);
      zero_at(f, b + offsetof(Bucket, forward), 8);
    }
  }
  return true;
}

std::string scratch_path() {
  static std::string path = [] {
    const char *dir = std::getenv("TMPDIR");
    std::string p = std::string(dir && *dir ? dir : "/tmp") + "/fennowick-fuzz-XXXXXX";
    const int fd = mkstemp(p.data());
    if (fd < 0) {
      std::perror("mkstemp");
      std::abort();
    }
    ::close(fd);
    std::atexit([] { ::unlink(path.c_str()); });
    return p;
  }();
  return path;
}

void write_file(const std::string &path, const std::vector<unsigned char> &bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) std::abort();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

using Map = fennowick::ConcurrentHashMap_string<1>;
const signed char *bytes(const std::string &s) { return reinterpret_cast<const signed char *>(s.data()); }

// Runs one call; a refusal (any std::exception) is an allowed outcome.
template <class F> bool attempt(F &&f) {
  try {
    f();
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

bool use(Map &m, long long salt) {
  bool clean = true;
  const std::string keys[] = {"alpha", "", "key-number-three-spans-chunks", "d"};
  const long long hashes[] = {0x5bd1e995, 0, -1, salt};
  auto get = [&](int i) {
    clean &= attempt([&] {
      char *value = nullptr;
      long long len = 0;
      if (m.get(bytes(keys[i]), keys[i].size(), hashes[i], value, len)) fennowick::host::mem_free(value);
    });
  };
  auto put = [&](const std::string &k, const std::string &v, long long h) {
    clean &= attempt([&] { m.insert(bytes(k), bytes(v), k.size(), v.size(), h); });
  };
  auto remove = [&](int i) { clean &= attempt([&] { m.remove(bytes(keys[i]), keys[i].size(), hashes[i]); }); };

  m.prefetch(hashes, 4);  // reads the file unchecked by the lookups: must stay inside it
  for (int i = 0; i < 4; ++i) get(i);
  put(keys[0], std::string(40, 'v'), hashes[0]);  // several data chunks
  put(keys[1], "", hashes[1]);
  put(keys[2], "x", hashes[2]);
  put(keys[3], std::string(3, 'w'), hashes[3]);
  put(keys[0], "short", hashes[0]);  // replacement that gives chunks back
  m.prefetch(hashes, 4);
  for (int i = 0; i < 4; ++i) get(i);
  remove(3);
  remove(0);
  // Enough new keys to lift the load above two per bucket of a small map.
  for (long long i = 0; i < 12; ++i) put("fill-" + std::to_string(i), std::string(i, 'f'), static_cast<long long>(static_cast<u64>(salt) * 31 + i));
  for (int i = 0; i < 4; ++i) get(i);
  remove(1);
  remove(2);
  return clean;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<unsigned char> file(data, data + size);
  const bool usable = settle(file);
  const std::string path = scratch_path();
  write_file(path, file);

  const fennowick::CheckReport before = fennowick::check_map_file(path);
  if (!usable) return 0;

  long long salt = 0;
  if (size >= 8) std::memcpy(&salt, data + size - 8, 8);
  bool clean = true;
  u64 n = 0;
  clean &= attempt([&] {
    std::string name = path;
    Map m(name, 2, 2, 2, 3);
    clean &= use(m, salt);
    n = m.bucket_chunks_in_use();
  });
  if (n != 0) clean &= attempt([&] { fennowick::python_expansion_helper_string(path, 2 * n); });

  const fennowick::CheckReport after = fennowick::check_map_file(path);
  if (before.ok && !before.expanding && clean && !after.ok) {
    std::fprintf(stderr, "a sound map became unsound: %s\n", after.problem.c_str());
    std::abort();
  }
  // The offline repair on whatever is left: it may refuse a damaged file,
  // but a file it swept must pass the checker afterwards.
  const fennowick::RepairReport rep = fennowick::repair_map_file(path);
  if (rep.bump != 0 && !rep.after.ok) {
    std::fprintf(stderr, "the repair left the map unsound: %s\n", rep.after.problem.c_str());
    std::abort();
  }
  return 0;
}
