// Helpers shared by the map tests: a map in a scratch file that is removed
// afterwards, key/value makers, and fork helpers with a deadline.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "map/string_map.hpp"
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

inline void expect_clean_exit(pid_t pid) {
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
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

}  // namespace fennowick::testing
