// Instructions per map operation, for callgrind: run it twice, with N and
// with 0 operations, and divide the difference of the totals by N. Stable
// figures where wall-clock benchmarks are noisy.
//   valgrind --tool=callgrind --callgrind-out-file=/dev/null build/bench/count_ops get 100000
// Operations: get (1,024 present keys), absent, insert (new keys, the table
// growing as it must), replace (same size), remins (remove, then insert);
// getbig and replacebig do the same with 64 KiB values under 64 keys.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>
#include "map/string_map.hpp"
#include "shm/host.hpp"
using namespace fennowick;
static long long h(const std::string &s) { unsigned long long x = 1469598103934665603ull; for (char c : s) x = (x ^ (unsigned char)c) * 1099511628211ull; return (long long)x; }
int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: count_ops get|absent|insert|replace|remins|getbig|replacebig N\n");
    return 2;
  }
  const char *op = argv[1]; long n = atol(argv[2]);
  std::string name;
  ConcurrentHashMap_string<1> m(name, 10, 1024, 256 << 20, 5);
  std::vector<std::string> keys;
  for (int i = 0; i < 1024; ++i) keys.push_back("key-" + std::to_string(i));
  const bool big = !strcmp(op, "getbig") || !strcmp(op, "replacebig");
  if (big) keys.resize(64);
  std::string v(big ? 65536 : 20, 'v');
  const long nkeys = big ? 64 : 1024;
  for (auto &k : keys) m.insert((const signed char*)k.data(), (const signed char*)v.data(), k.size(), v.size(), h(k));
  std::vector<long long> hs; for (auto &k : keys) hs.push_back(h(k));
  std::string absent = "absent";
  for (long i = 0; i < n; ++i) {
    const std::string &k = keys[i % nkeys]; long long hk = hs[i % nkeys];
    if (!strcmp(op, "get") || !strcmp(op, "getbig")) { char *b; long long l; if (m.get((const signed char*)k.data(), k.size(), hk, b, l)) host::mem_free(b); }
    else if (!strcmp(op, "absent")) { char *b; long long l; m.get((const signed char*)absent.data(), absent.size(), h(absent) + i, b, l); }
    else if (!strcmp(op, "replace") || !strcmp(op, "replacebig")) m.insert((const signed char*)k.data(), (const signed char*)v.data(), k.size(), v.size(), hk);
    else if (!strcmp(op, "insert")) { std::string nk = "new-" + std::to_string(i); m.insert((const signed char*)nk.data(), (const signed char*)v.data(), nk.size(), v.size(), h(nk)); }
    else if (!strcmp(op, "remins")) { m.remove((const signed char*)k.data(), k.size(), hk); m.insert((const signed char*)k.data(), (const signed char*)v.data(), k.size(), v.size(), hk); }
  }
  unlink(name.c_str());
}
