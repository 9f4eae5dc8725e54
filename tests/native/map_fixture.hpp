// Helpers shared by the map tests: a map in a scratch file that is removed
// afterwards, key/value makers, and fork helpers with a deadline.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "map/string_map.hpp"
#include "shm/arena.hpp"
#include "shm/host.hpp"

namespace fennowick::testing {

using Map = ConcurrentHashMap_string<1>;

struct MapParams {
  unsigned char bucket_exp = 4;
  unsigned long long chunks = 64;
  unsigned long long size = 8ull << 20;
  unsigned char string_exp = 5;
};

inline std::unique_ptr<Map> make_map(std::string &name, MapParams p = {}) {
  name.clear();
  return std::make_unique<Map>(name, p.bucket_exp, p.chunks, p.size, p.string_exp);
}

inline std::unique_ptr<Map> open_map(const std::string &name) {
  std::string n = name;
  return std::make_unique<Map>(n, 2, 2, 2, 3);
}

inline std::string key_of(std::uint64_t i) { return "key-" + std::to_string(i); }
inline std::string value_of(std::uint64_t i, std::size_t len = 16) {
  std::string v = "v" + std::to_string(i) + ":";
  while (v.size() < len) v += char('a' + (v.size() % 26));
  v.resize(len);
  return v;
}
// A fixed, well-mixed hash of the key bytes (the Python layer uses XXH3).
inline long long hash_of(const std::string &s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 32;
  return static_cast<long long>(h);
}

inline void put(Map &m, const std::string &k, const std::string &v) {
  m.insert(reinterpret_cast<const signed char *>(k.data()), reinterpret_cast<const signed char *>(v.data()),
           k.size(), v.size(), hash_of(k));
}
inline void put(Map &m, const std::string &k, const std::string &v, long long h) {
  m.insert(reinterpret_cast<const signed char *>(k.data()), reinterpret_cast<const signed char *>(v.data()),
           k.size(), v.size(), h);
}
inline std::optional<std::string> find(Map &m, const std::string &k, long long h) {
  char *buf = nullptr;
  long long len = 0;
  if (!m.get(reinterpret_cast<const signed char *>(k.data()), k.size(), h, buf, len)) return std::nullopt;
  std::string out(buf, static_cast<std::size_t>(len));
  host::mem_free(buf);
  return out;
}
inline std::optional<std::string> find(Map &m, const std::string &k) { return find(m, k, hash_of(k)); }
inline bool erase(Map &m, const std::string &k, long long h) {
  return m.remove(reinterpret_cast<const signed char *>(k.data()), k.size(), h);
}
inline bool erase(Map &m, const std::string &k) { return erase(m, k, hash_of(k)); }

// Run body in a forked child; returns its pid. The child exits 0 on success,
// 1 on a failed expectation or exception, and is killed after `seconds`.
inline pid_t spawn(std::function<bool()> body, unsigned seconds = 120) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(seconds);
    bool ok = false;
    try {
      ok = body();
    } catch (const std::exception &e) {
      std::fprintf(stderr, "child %d: %s\n", getpid(), e.what());
    }
    _exit(ok && !::testing::Test::HasFailure() ? 0 : 1);
  }
  return pid;
}

// Waits at most `seconds` (the child's own alarm is the first line of
// defence); a child still running then is killed and reported.
inline void expect_clean_exit(pid_t pid, unsigned seconds = 150) {
  ASSERT_GT(pid, 0) << "fork failed";
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    ASSERT_TRUE(r == 0 || errno == EINTR) << "waitpid failed for child " << pid;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "child " << pid << " still running after " << seconds << " s; killed";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(WIFEXITED(status)) << "child " << pid << " did not exit normally (signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0) << "child " << pid << " failed";
  }
}

class MapTest : public ::testing::Test {
protected:
  void TearDown() override {
    for (auto &n : files_) std::remove(n.c_str());
  }
  std::unique_ptr<Map> create(MapParams p = {}) {
    std::string name;
    auto m = make_map(name, p);
    files_.push_back(name);
    name_ = name;
    return m;
  }
  std::string name_;
  std::vector<std::string> files_;
};


// ---- reading the shared format directly ------------------------------------

// The map header as the file holds it.
inline MapHeader header_of(Map &m) {
  MapHeader h;
  std::memcpy(&h, m.arena_base() + map_header_offset, sizeof h);
  return h;
}

// One of the five shared words, located through the header like any opener
// does; `field` is the header member that holds the word's offset.
inline std::atomic_ref<std::uint64_t> shared_word(Map &m, std::uint64_t MapHeader::*field) {
  const MapHeader h = header_of(m);
  return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t *>(m.arena_base() + h.*field));
}

inline std::uint64_t *table_of(Map &m) {
  return reinterpret_cast<std::uint64_t *>(m.arena_base() + header_of(m).table);
}

// Bucket k of the table, through the shared table rather than the object's
// cache, so that the reads do not depend on the code under test.
inline Bucket *bucket_of(Map &m, std::uint64_t k) {
  const MapHeader h = header_of(m);
  const std::uint64_t chunk = table_of(m)[k / h.buckets_per_chunk];
  return reinterpret_cast<Bucket *>(m.arena_base() + chunk) + k % h.buckets_per_chunk;
}

// The node (ChunkLink) that holds entry i of a list.
inline unsigned char *node_of(Map &m, const ChunkList &list, std::uint64_t i) {
  unsigned char *link = m.arena_base() + list.first;
  for (std::uint64_t j = 0; j < i / 2; ++j) link = m.arena_base() + load<std::uint64_t>(link + 8);
  return link;
}

inline MapEntry *entry_of(Map &m, Bucket *b, std::uint64_t i) {
  unsigned char *link = node_of(m, b->entries, i);
  return reinterpret_cast<MapEntry *>(m.arena_base() + load<std::uint64_t>(link) + sizeof(MapEntry) * (i % 2));
}

// The bytes of a stored string, followed chunk by chunk.
inline std::string string_of(Map &m, const ChunkList &list) {
  std::string out;
  unsigned char *link = m.arena_base() + list.first;
  for (std::uint64_t i = 0; i < list.links; ++i) {
    const std::uint64_t from = i * list.per_link;
    const std::uint64_t n = std::min<std::uint64_t>(list.per_link, list.count - from);
    out.append(reinterpret_cast<const char *>(m.arena_base() + load<std::uint64_t>(link)), n);
    if (i + 1 < list.links) link = m.arena_base() + load<std::uint64_t>(link + 8);
  }
  return out;
}

inline std::vector<std::string> keys_in(Map &m, Bucket *b) {
  std::vector<std::string> keys;
  for (std::uint64_t i = 0; i < b->entries.count; ++i) keys.push_back(string_of(m, entry_of(m, b, i)->key));
  return keys;
}

struct ScannedEntry {
  std::uint64_t bucket;
  std::string key;
  long long hash;
};

// Walks every bucket in use (the map must be quiet) and checks what must
// hold between operations: no lock held, no forward mark but stale ones, enough nodes
// for the entries, every entry in the bucket its hash selects.
inline std::vector<ScannedEntry> scan(Map &m) {
  const MapHeader h = header_of(m);
  const std::uint64_t n = shared_word(m, &MapHeader::bucket_chunks_in_use).load();
  const std::uint64_t total = h.buckets_per_chunk * n;
  std::vector<ScannedEntry> out;
  std::uint64_t locked = 0, marked = 0, short_of_nodes = 0, misplaced = 0;
  for (std::uint64_t k = 0; k < total; ++k) {
    Bucket *b = bucket_of(m, k);
    locked += b->lock != 0;
    // A mark left by the last doubling is stale, not a bucket still moving:
    // operations clear such marks as they meet them.
    bool stale = false;
    for (std::uint64_t half = total / 2; half > k && half >= h.buckets_per_chunk; half /= 2)
      stale |= b->forward == static_cast<std::uint64_t>(reinterpret_cast<unsigned char *>(bucket_of(m, k + half)) -
                                                        m.arena_base());
    marked += b->forward != 0 && !stale;
    short_of_nodes += b->entries.links < std::max<std::uint64_t>(1, (b->entries.count + 1) / 2) ||
                      b->entries.per_link != 2;
    for (std::uint64_t i = 0; i < b->entries.count; ++i) {
      MapEntry *e = entry_of(m, b, i);
      misplaced += (static_cast<std::uint64_t>(e->hash) & (total - 1)) != k;
      out.push_back({k, string_of(m, e->key), e->hash});
    }
  }
  EXPECT_EQ(locked, 0u) << "buckets left locked";
  EXPECT_EQ(marked, 0u) << "buckets left marked as moving";
  EXPECT_EQ(short_of_nodes, 0u) << "buckets whose node chain is shorter than their entries need";
  EXPECT_EQ(misplaced, 0u) << "entries outside the bucket their hash selects";
  return out;
}

// ---- memory shared with forked children ----------------------------------------

template <class T> class SharedArray {
public:
  explicit SharedArray(std::size_t n) : n_(n) {
    void *p = mmap(nullptr, sizeof(T) * n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    p_ = static_cast<T *>(p);  // zero-filled
  }
  ~SharedArray() { munmap(p_, sizeof(T) * n_); }
  SharedArray(const SharedArray &) = delete;
  SharedArray &operator=(const SharedArray &) = delete;
  T &operator[](std::size_t i) { return p_[i]; }
  std::atomic_ref<T> at(std::size_t i) { return std::atomic_ref<T>(p_[i]); }

private:
  T *p_;
  std::size_t n_;
};

// A start line for forked children: each counts itself in and waits until
// all are there (bounded by the children's alarm), so that their work
// overlaps instead of running one after another.
class StartLine {
public:
  explicit StartLine(std::uint64_t parties) : word_(1), parties_(parties) {}
  void arrive_and_wait() {
    word_.at(0).fetch_add(1);
    while (word_.at(0).load() < parties_) std::this_thread::yield();
  }

private:
  SharedArray<std::uint64_t> word_;
  std::uint64_t parties_;
};

// Takes all but `keep` bytes of the arena's unused space, so that a test can
// decide exactly what still fits.
inline void leave_in_arena(Map &m, std::uint64_t keep) {
  const MapShape s = m.shape();
  const std::uint64_t free_bytes = s.arena_size - s.arena_used;
  ASSERT_GE(free_bytes, keep + 16) << "arena already too full";
  const std::uint64_t take = (free_bytes - keep - 8) & ~std::uint64_t{7};
  ASSERT_NE(arena_alloc_block(m.arena_base(), take), nullptr);
  const MapShape after = m.shape();
  ASSERT_GE(after.arena_size - after.arena_used, keep);
  ASSERT_LT(after.arena_size - after.arena_used, keep + 8);
}

}  // namespace fennowick::testing
