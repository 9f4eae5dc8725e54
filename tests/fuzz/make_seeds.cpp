// Writes the fuzz target's seed corpus: small real map files in the states a
// map passes through (fresh, filled, churned with chunks on the free lists,
// grown by expansions, closed after its caches went back to the arena).
// Usage: make_seeds OUTPUT_DIR
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "map/string_map.hpp"

namespace {

using Map = fennowick::ConcurrentHashMap_string<1>;

const signed char *bytes(const std::string &s) { return reinterpret_cast<const signed char *>(s.data()); }
long long hash_of(const std::string &s) {
  unsigned long long h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return static_cast<long long>(h ^ (h >> 31));
}
void put(Map &m, const std::string &k, const std::string &v) {
  m.insert(bytes(k), bytes(v), k.size(), v.size(), hash_of(k));
}
void erase(Map &m, const std::string &k) { m.remove(bytes(k), k.size(), hash_of(k)); }

struct Seed {
  const char *name;
  unsigned char bucket_exp;
  unsigned long long chunks, size;
  int entries, removed, replaced;
  bool close_first;  // destroy before copying: caches flushed to the free lists
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const Seed seeds[] = {
      // One entry per bucket at most: no second node is ever needed.
      {"fresh-b0", 0, 4, 4008, 0, 0, 0, false},
      {"few-b2", 2, 4, 8104, 3, 0, 0, false},
      // A bucket's second node costs a refill of 100 nodes (about 21 KB).
      {"churn-b2", 2, 4, 28584, 12, 5, 4, true},
      {"grown-b0", 0, 8, 28584, 14, 3, 2, false},
      {"closed-b1", 1, 2, 28584, 6, 6, 0, true},
  };
  for (const Seed &s : seeds) {
    std::string path;
    try {
      Map m(path, s.bucket_exp, s.chunks, s.size, 3);
      for (int i = 0; i < s.entries; ++i) put(m, "k" + std::to_string(i), std::string(i * 3 % 23, char('a' + i)));
      for (int i = 0; i < s.removed; ++i) erase(m, "k" + std::to_string(i * 2));
      for (int i = 0; i < s.replaced; ++i) put(m, "k" + std::to_string(i * 2 + 1), std::string(i * 7 % 19, 'r'));
      if (s.close_first) m.destroy();
      std::ifstream in(path, std::ios::binary);
      const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::ofstream(std::string(argv[1]) + "/" + s.name, std::ios::binary) << file;
      std::printf("%s: %zu bytes\n", s.name, file.size());
    } catch (const std::exception &e) {
      std::fprintf(stderr, "%s: %s\n", s.name, e.what());
      if (!path.empty()) std::remove(path.c_str());
      return 1;
    }
    std::remove(path.c_str());
  }
  return 0;
}
