// Benchmarks of the string map: single operations on a warm map, several
// processes on disjoint keys, and growth (a map driven through expansions by
// inserts, and one explicit doubling run by one or two participants, also
// with its file provisioned beforehand, beside what fresh pages cost the
// kernel).
//
// Build and run:
//   cmake -S . -B build/native -G Ninja -DFENNOWICK_PYTHON=OFF -DFENNOWICK_BENCHMARKS=ON
//   cmake --build build/native && build/native/bench_map
// FENNOWICK_BENCH_QUICK=1 shrinks every size (a smoke run that keeps the
// program from rotting; its numbers mean little).
//
// Keys are 8 bytes and values 16 (but for the large-value benchmarks), hashed outside the timed loops (the Python
// layer hashes before it calls in). Multi-process numbers are wall time from
// the first child's start to the last child's end, the best of a few runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "map/string_map.hpp"
#include "shm/host.hpp"

namespace {

using fennowick::ConcurrentHashMap_string;
using Map = ConcurrentHashMap_string<1>;
using u64 = std::uint64_t;

bool quick() {
  static const bool q = [] {
    const char *v = std::getenv("FENNOWICK_BENCH_QUICK");
    return v && *v && *v != '0';
  }();
  return q;
}

u64 mix(u64 x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

struct Key {
  signed char bytes[8];
  long long hash;
};
Key key(u64 i) {
  Key k;
  std::memcpy(k.bytes, &i, 8);
  k.hash = static_cast<long long>(mix(i));
  return k;
}
struct Value {
  signed char bytes[16];
};
Value value(u64 i) {
  Value v;
  const u64 a = mix(i ^ 0x55), b = ~i;
  std::memcpy(v.bytes, &a, 8);
  std::memcpy(v.bytes + 8, &b, 8);
  return v;
}

void insert(Map &m, const Key &k, const Value &v) { m.insert(k.bytes, v.bytes, 8, 16, k.hash); }
bool get(Map &m, const Key &k) {
  char *buf = nullptr;
  long long len = 0;
  if (!m.get(k.bytes, 8, k.hash, buf, len)) return false;
  benchmark::DoNotOptimize(buf[0]);
  fennowick::host::mem_free(buf);
  return true;
}

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// A map in a backing file that is removed with it.
struct ScratchMap {
  std::string name;
  std::unique_ptr<Map> map;
  // 16-byte data chunks unless data_exp says otherwise
  ScratchMap(unsigned char bucket_exp, unsigned long long chunks, unsigned long long size,
             unsigned char data_exp = 4) {
    map = std::make_unique<Map>(name, bucket_exp, chunks, size, data_exp);
  }
  ~ScratchMap() {
    map.reset();
    std::remove(name.c_str());
  }
};

// Memory shared with forked children: a start flag and per-child times.
struct Shared {
  std::atomic<u64> ready, go;
  double start[64], end[64];
  u64 failures;
};
Shared *shared_block() {
  void *p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) std::abort();
  return new (p) Shared{};
}

// Runs work(i) in `procs` forked children that start together; returns the
// wall time from the first start to the last end, or a negative number when
// a child failed. `watch`, when given, runs in the parent once the children
// are released.
double run_processes(int procs, const std::function<bool(int)> &prepare, const std::function<bool(int)> &work,
                     const std::function<void()> &watch = {}) {
  Shared *sh = shared_block();
  std::vector<pid_t> kids;
  for (int i = 0; i < procs; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      alarm(600);
      bool ok = false;
      try {
        ok = prepare(i);
        sh->ready.fetch_add(1);
        while (sh->go.load() == 0) {
        }
        sh->start[i] = now();
        ok = work(i) && ok;
        sh->end[i] = now();
      } catch (const std::exception &e) {
        std::fprintf(stderr, "child %d: %s\n", i, e.what());
      }
      _exit(ok ? 0 : 1);
    }
    kids.push_back(pid);
  }
  while (sh->ready.load() < static_cast<u64>(procs)) usleep(100);
  sh->go.store(1);
  if (watch) watch();
  bool ok = true;
  for (pid_t pid : kids) {
    int status = 0;
    waitpid(pid, &status, 0);  // bounded by the children's alarm
    ok &= WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  double first = sh->start[0], last = sh->end[0];
  for (int i = 1; i < procs; ++i) {
    first = std::min(first, sh->start[i]);
    last = std::max(last, sh->end[i]);
  }
  munmap(sh, sizeof(Shared));
  return ok ? last - first : -1;
}

// ---- single thread, warm ---------------------------------------------------------

// A map of 2^17 entries in 2^17 buckets (no expansion), made once. The timed
// loops cycle through the first `hot` keys, which then stay in the caches.
constexpr u64 warm_keys = u64{1} << 17;
Map &warm_map() {
  static ScratchMap *m = [] {
    auto *s = new ScratchMap(17, 1, 256ull << 20);
    for (u64 i = 0; i < warm_keys; ++i) insert(*s->map, key(i), value(i));
    std::atexit([] { delete m; });
    return s;
  }();
  return *m->map;
}

std::vector<Key> keys(u64 first, u64 count) {
  std::vector<Key> out;
  for (u64 i = 0; i < count; ++i) out.push_back(key(first + i));
  return out;
}

void BM_GetPresent(benchmark::State &state) {
  Map &m = warm_map();
  const auto ks = keys(0, state.range(0));
  std::size_t i = 0;
  for (auto _ : state) {
    if (!get(m, ks[i])) state.SkipWithError("present key not found");
    if (++i == ks.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPresent)->Arg(1024)->Arg(warm_keys)->ArgName("keys");

void BM_GetAbsent(benchmark::State &state) {
  Map &m = warm_map();
  const auto ks = keys(u64{1} << 40, state.range(0));
  std::size_t i = 0;
  for (auto _ : state) {
    if (get(m, ks[i])) state.SkipWithError("absent key found");
    if (++i == ks.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetAbsent)->Arg(1024)->ArgName("keys");

void BM_ReplacePresent(benchmark::State &state) {
  Map &m = warm_map();
  const auto ks = keys(0, state.range(0));
  const Value vs[2] = {value(1), value(2)};
  std::size_t i = 0, flip = 0;
  for (auto _ : state) {
    insert(m, ks[i], vs[flip]);
    if (++i == ks.size()) i = 0, flip ^= 1;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReplacePresent)->Arg(1024)->ArgName("keys");

// A remove followed by the insert that puts the key back; time is per pair.
void BM_RemoveAndReinsert(benchmark::State &state) {
  Map &m = warm_map();
  const auto ks = keys(0, state.range(0));
  std::size_t i = 0;
  for (auto _ : state) {
    if (!m.remove(ks[i].bytes, 8, ks[i].hash)) state.SkipWithError("remove missed");
    insert(m, ks[i], value(i));
    if (++i == ks.size()) i = 0;
  }
  state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_RemoveAndReinsert)->Arg(1024)->ArgName("keys");

// New keys into a map sized for them (2^17 buckets, at most one entry per
// bucket on average); after every 2^17 inserts the map is emptied untimed.
void BM_InsertNew(benchmark::State &state) {
  ScratchMap s(17, 1, 256ull << 20);
  const auto ks = keys(u64{1} << 41, warm_keys);
  const Value v = value(7);
  std::size_t i = 0;
  for (auto _ : state) {
    insert(*s.map, ks[i], v);
    if (++i == ks.size()) {
      state.PauseTiming();
      for (const Key &k : ks) s.map->remove(k.bytes, 8, k.hash);
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertNew);

// ---- a big table and large values ----------------------------------------------------

// 2^20 keys in 2^20 buckets with the default 32-byte data chunks, read in an
// order that defeats the caches: every get waits on memory for the bucket,
// its node, the key and the value, which is what a large shared table costs.
constexpr u64 big_keys = u64{1} << 20;
Map &big_map() {
  static ScratchMap *m = [] {
    const u64 n = quick() ? u64{1} << 14 : big_keys;
    auto *s = new ScratchMap(static_cast<unsigned char>(std::bit_width(n) - 1), 1, 1ull << 30, 5);
    for (u64 i = 0; i < n; ++i) insert(*s->map, key(i), value(i));
    std::atexit([] { delete m; });
    return s;
  }();
  return *m->map;
}

void BM_GetPresentBigTable(benchmark::State &state) {
  Map &m = big_map();
  const u64 n = m.entry_count();
  std::vector<Key> ks;
  for (u64 i = 0; i < n; ++i) ks.push_back(key(mix(i ^ 0xabcdef) % n));
  std::size_t i = 0;
  for (auto _ : state) {
    if (!get(m, ks[i])) state.SkipWithError("present key not found");
    if (++i == ks.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPresentBigTable);

// Values of state.range(0) bytes under 2,048 keys, so that a 64 KiB value is
// read from memory, not from a cache (default 32-byte data
// chunks): a get copies one out; a replace stores a value of the same size.
u64 lv_keys() { return quick() ? 64 : 2048; }
struct LargeValues {
  std::unique_ptr<ScratchMap> s;
  std::vector<Key> ks;
  std::vector<signed char> a, b;
  explicit LargeValues(u64 size) : s(std::make_unique<ScratchMap>(10, 1, (lv_keys() * size * 3) + (64ull << 20), 5)),
                                   ks(keys(0, lv_keys())), a(size), b(size) {
    for (u64 i = 0; i < size; ++i) a[i] = static_cast<signed char>(mix(i)), b[i] = static_cast<signed char>(~mix(i));
    for (const Key &k : ks) s->map->insert(k.bytes, a.data(), 8, size, k.hash);
  }
};

void BM_GetLargeValue(benchmark::State &state) {
  LargeValues lv(static_cast<u64>(state.range(0)));
  std::size_t i = 0;
  for (auto _ : state) {
    if (!get(*lv.s->map, lv.ks[i])) state.SkipWithError("present key not found");
    if (++i == lv.ks.size()) i = 0;
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GetLargeValue)->Arg(4096)->Arg(65536)->ArgName("bytes");

void BM_ReplaceLargeValue(benchmark::State &state) {
  LargeValues lv(static_cast<u64>(state.range(0)));
  std::size_t i = 0, flip = 0;
  for (auto _ : state) {
    const auto &v = flip ? lv.b : lv.a;
    lv.s->map->insert(lv.ks[i].bytes, v.data(), 8, v.size(), lv.ks[i].hash);
    if (++i == lv.ks.size()) i = 0, flip ^= 1;
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReplaceLargeValue)->Arg(4096)->Arg(65536)->ArgName("bytes");

// ---- processes on disjoint keys -------------------------------------------------------

// What the machine itself allows: the same comparison for a loop that only
// computes. Two processes can scale no better than this, so the ratios below
// are to be read against it (other work on the machine lowers both).
void BM_MachineScaling(benchmark::State &state) {
  auto work = [](int) {
    u64 x = 1;
    for (u64 i = 0; i < (quick() ? 20000000u : 300000000u); ++i) x = x * 6364136223846793005ull + i;
    benchmark::DoNotOptimize(x);
    return true;
  };
  double best[3] = {1e99, 1e99, 1e99};
  for (auto _ : state) {
    for (int rep = 0; rep < 3; ++rep)
      for (int procs : {1, 2}) best[procs] = std::min(best[procs], run_processes(procs, [](int) { return true; }, work));
    state.SetIterationTime(best[1] + best[2]);
  }
  state.counters["ratio_2_over_1"] = 2 * best[1] / best[2];
  std::fprintf(stderr, "machine: 2 processes of pure computation do %.2fx the work of one\n", 2 * best[1] / best[2]);
}
BENCHMARK(BM_MachineScaling)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The kernel's part of growth: a doubling needs fresh memory (its new bucket
// chunks and the twins' nodes, about 150 MB for 1M entries), and each fresh
// page of the map's file is allocated, zeroed and mapped in on its first
// touch. This measures that alone, in a file of the map's file system: 256
// MiB of fresh pages touched by one process, or in interleaved MiB by two.
// The doubling's two-participant ratio cannot beat this one's on the part of
// its time that goes to fresh pages.
void BM_FreshPageScaling(benchmark::State &state) {
  const u64 size = quick() ? 16ull << 20 : 256ull << 20, piece = 1ull << 20;
  const std::string path = std::string(fennowick::temporary_directory()) + "/fennowick-bench-fresh-pages";
  double best[3] = {1e99, 1e99, 1e99};
  for (auto _ : state) {
    for (int rep = 0; rep < 3; ++rep)
      for (int procs : {1, 2}) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
          state.SkipWithError("cannot make the scratch file");
          return;
        }
        auto work = [&](int p) {
          auto *m = static_cast<unsigned char *>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
          if (m == MAP_FAILED) return false;
          const u64 page = fennowick::page_size();
          for (u64 o = p * piece; o < size; o += procs * piece)
            for (u64 k = 0; k < piece; k += page) m[o + k] = 1;
          return true;
        };
        const double t = run_processes(procs, [](int) { return true; }, work);
        ::close(fd);
        ::unlink(path.c_str());
        if (t < 0) state.SkipWithError("a child failed");
        best[procs] = std::min(best[procs], t);
      }
    state.SetIterationTime(best[1] + best[2]);
  }
  state.counters["time_2_over_1"] = best[2] / best[1];
  std::fprintf(stderr, "fresh pages of one file in %s: %.0f MiB take %.1f ms in 1 process, %.1f ms in 2 (%.2f of the time)\n",
               fennowick::temporary_directory(), size / 1048576.0, best[1] * 1e3, best[2] * 1e3, best[2] / best[1]);
}
BENCHMARK(BM_FreshPageScaling)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);


// Each process works on its own key range of a pre-filled map: 80% gets,
// 20% replacements, spread over the whole range. Throughput of two
// processes against one; the counters carry both and the ratio.
void BM_ProcessesOnDisjointKeys(benchmark::State &state) {
  const u64 range = quick() ? 1 << 12 : 1 << 16, ops = quick() ? 200000 : 4000000;
  ScratchMap s(17, 1, 256ull << 20);
  for (u64 i = 0; i < 2 * range; ++i) insert(*s.map, key(i), value(i));
  // Each child opens its own view and touches its keys once before the
  // clock starts, so that page faults are not measured.
  std::unique_ptr<Map> view;
  auto prepare = [&](int p) {
    view = std::make_unique<Map>(s.name, 2, 2, 2, 3);
    for (u64 i = 0; i < range; ++i) get(*view, key(p * range + i));
    return true;
  };
  auto work = [&](int p) {
    std::vector<Key> ks = keys(p * range, range);
    const Value v = value(p);
    u64 x = 12345 + p, misses = 0;
    for (u64 n = 0; n < ops; ++n) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      const Key &k = ks[(x >> 33) % range];
      if ((x >> 20) % 5 == 0) insert(*view, k, v);
      else misses += !get(*view, k);
    }
    return misses == 0;
  };
  double best[3] = {1e99, 1e99, 1e99};
  for (auto _ : state) {
    for (int rep = 0; rep < 3; ++rep)
      for (int procs : {1, 2}) {
        const double t = run_processes(procs, prepare, work);
        if (t < 0) state.SkipWithError("a child failed");
        best[procs] = std::min(best[procs], t);
      }
    state.SetIterationTime(best[1] + best[2]);
  }
  const double one = ops / best[1], two = 2 * ops / best[2];
  state.counters["ops_per_s_1proc"] = one;
  state.counters["ops_per_s_2proc"] = two;
  state.counters["ratio_2_over_1"] = two / one;
  std::fprintf(stderr, "processes on disjoint keys: 1 process %.2f Mops/s, 2 processes %.2f Mops/s, ratio %.2fx\n",
               one / 1e6, two / 1e6, two / one);
}
BENCHMARK(BM_ProcessesOnDisjointKeys)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- growth -----------------------------------------------------------------------------

// Growth from 1 bucket chunk to 8: 2^16 buckets per chunk, so that 1M keys
// (over four entries per bucket of 4 chunks, at most two per bucket of 8)
// take the table through exactly three expansions.
u64 growth_keys() { return quick() ? 100000 : 1000000; }
unsigned char growth_exp() { return quick() ? 13 : 16; }

// The file's pages, all of them, allocated (fallocate) and mapped into the
// calling process's view (MADV_POPULATE_WRITE): the figures that follow it
// leave out what fresh pages cost the kernel.
bool provision_view(const std::string &path, Map &view) {
  const int fd = ::open(path.c_str(), O_RDWR);
  struct stat st{};
  const u64 page = fennowick::page_size();
  const bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && ::fallocate(fd, 0, 0, st.st_size) == 0 &&
                  madvise(view.arena_base() - fennowick::region_header_size,
                          static_cast<u64>(st.st_size) / page * page, MADV_POPULATE_WRITE) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

void grow_to_eight(benchmark::State &state, bool provisioned) {
  const u64 total = growth_keys();
  double best[3] = {1e99, 1e99, 1e99};
  for (auto _ : state) {
    for (int rep = 0; rep < (quick() ? 1 : 2); ++rep)
      for (int procs : {1, 2}) {
        ScratchMap s(growth_exp(), 8, 1ull << 30);
        static std::unique_ptr<Map> view;
        auto prepare = [&](int) {
          view = std::make_unique<Map>(s.name, 2, 2, 2, 3);
          return !provisioned || provision_view(s.name, *view);
        };
        auto work = [&](int p) {
          const Value v = value(p);
          for (u64 i = p; i < total; i += procs) insert(*view, key(i), v);
          return true;
        };
        const double t = run_processes(procs, prepare, work);
        if (t < 0 || s.map->bucket_chunks_in_use() != 8 || s.map->entry_count() != total)
          state.SkipWithError("growth did not end at 8 chunks with every key");
        best[procs] = std::min(best[procs], t);
      }
    state.SetIterationTime(best[1] + best[2]);
  }
  state.counters["s_1_process"] = best[1];
  state.counters["s_2_processes"] = best[2];
  const char *how = provisioned ? ", file provisioned beforehand" : "";
  for (int procs : {1, 2})
    std::fprintf(stderr, "grow 1 -> 8 bucket chunks by inserting %llu keys%s, %d process(es): %.3f s\n",
                 static_cast<unsigned long long>(total), how, procs, best[procs]);
  std::fprintf(stderr, "two inserting processes take %.2f of the time of one%s\n", best[2] / best[1], how);
}
void BM_GrowToEightChunks(benchmark::State &state) { grow_to_eight(state, false); }
void BM_GrowToEightChunksProvisioned(benchmark::State &state) { grow_to_eight(state, true); }
BENCHMARK(BM_GrowToEightChunks)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrowToEightChunksProvisioned)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One explicit doubling (8 -> 16 chunks) of a map holding 1M entries, run
// by one participant or by two processes, each with its view already open,
// joining at once. Each
// run gets a map freshly filled by inserts (a byte copy of a filled file
// would differ in what is allocated on disk and cached), and the two cases
// alternate so that drifts of the machine hit both alike.
// With `provisioned`, every page of the file is allocated (fallocate) and
// mapped into each participant's view (MADV_POPULATE_WRITE) before the
// start: what is left is the doubling's own work, without the kernel's part
// that BM_FreshPageScaling measures.
void one_doubling(benchmark::State &state, bool provisioned) {
  double best[3] = {1e99, 1e99, 1e99}, leader_alone[3] = {0, 0, 0};
  for (auto _ : state) {
    for (int rep = 0; rep < (quick() ? 1 : 3); ++rep)
      for (int procs : {1, 2}) {
        ScratchMap s(growth_exp(), 16, 1ull << 30);
        for (u64 i = 0; i < growth_keys(); ++i) insert(*s.map, key(i), value(i));
        if (s.map->bucket_chunks_in_use() != 8) state.SkipWithError("filled map is not at 8 chunks");
        // Each participant's view is open before the start, and closed after
        // its end is taken: the figure is the doubling, not a process
        // opening and unmapping the map.
        static std::unique_ptr<Map> view;
        auto prepare = [&](int) {
          view = std::make_unique<Map>(s.name, 2, 2, 2, 3);
          return !provisioned || provision_view(s.name, *view);
        };
        auto work = [&](int) {
          prctl(PR_SET_NAME, "participant");  // for profiles: perf report --comm participant
          if (const u64 n = view->join_for_target_as_view(16)) view->expand(n);
          return true;
        };
        // The part nobody can share: from the start until the leader has
        // made and published the new chunks (slot 8 of the table changes
        // from the claim marker to an offset).
        double published = 0;
        auto watch = [&] {
          const double t0 = now();
          fennowick::MapHeader h;
          std::memcpy(&h, s.map->arena_base() + fennowick::map_header_offset, sizeof h);
          std::atomic_ref<u64> slot(reinterpret_cast<u64 *>(s.map->arena_base() + h.table)[8]);
          while (slot.load() <= 1 && now() - t0 < 60) usleep(50);  // not a spin: it would take a CPU
          published = now() - t0;
        };
        const double t = run_processes(procs, prepare, work, watch);
        if (t < 0 || s.map->bucket_chunks_in_use() != 16 || s.map->entry_count() != growth_keys())
          state.SkipWithError("doubling did not end at 16 chunks with every entry");
        if (t < best[procs]) best[procs] = t, leader_alone[procs] = published;
      }
    state.SetIterationTime(best[1] + best[2]);
  }
  state.counters["s_1_participant"] = best[1];
  state.counters["s_2_participants"] = best[2];
  state.counters["time_2_over_1"] = best[2] / best[1];
  const char *how = provisioned ? ", file provisioned beforehand" : "";
  for (int procs : {1, 2})
    std::fprintf(stderr,
                 "one doubling of %llu entries (8 -> 16 chunks)%s, %d participant(s): %.3f s "
                 "(of which %.3f s until the new chunks are published)\n",
                 static_cast<unsigned long long>(growth_keys()), how, procs, best[procs], leader_alone[procs]);
  std::fprintf(stderr, "two participants take %.2f of the time of one%s\n", best[2] / best[1], how);
}
void BM_OneDoubling(benchmark::State &state) { one_doubling(state, false); }
void BM_OneDoublingProvisioned(benchmark::State &state) { one_doubling(state, true); }
BENCHMARK(BM_OneDoubling)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneDoublingProvisioned)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Growth to 10M entries in one process, from one chunk of 2^16 buckets to
// 128, against the same keys inserted into a map given its 128 chunks first:
// the longest single insert, the tail of the latencies, and the total. No
// insert may wait for a whole doubling; each does at most a slice of one.
void BM_GrowthLatency(benchmark::State &state) {
  const char *only = std::getenv("FENNOWICK_GROWTH_ONLY");  // "grow" or "presized": one run, for profiles
  const u64 total = quick() ? 200000 : 10000000;
  const unsigned char exp = quick() ? 11 : 16;
  const u64 chunks = 128;
  const unsigned long long size = quick() ? 1ull << 28 : 4ull << 30;
  struct Figures {
    double seconds, longest, p9999, p999, making;
  };
  auto run = [&](bool presized) {
    ScratchMap s(exp, chunks, size);
    const double m0 = now();
    while (presized && s.map->bucket_chunks_in_use() < chunks)
      fennowick::python_expansion_helper_string(s.name, chunks);
    const double making = now() - m0;
    std::vector<float> lat(total);
    const double t0 = now();
    for (u64 i = 0; i < total; ++i) {
      const Key k = key(i);
      const Value v = value(i);
      const double a = now();
      insert(*s.map, k, v);
      lat[i] = static_cast<float>(now() - a);
    }
    const double seconds = now() - t0;
    if (s.map->entry_count() != total || s.map->bucket_chunks_in_use() != chunks)
      state.SkipWithError("growth did not end at 128 chunks with every key");
    std::sort(lat.begin(), lat.end());
    return Figures{seconds, lat.back(), lat[static_cast<u64>(total * 0.9999)], lat[static_cast<u64>(total * 0.999)], making};
  };
  Figures grown{}, presized{};
  for (auto _ : state) {
    if (!only || std::strcmp(only, "presized") == 0) presized = run(true);
    if (!only || std::strcmp(only, "grow") == 0) grown = run(false);
    state.SetIterationTime(grown.seconds + presized.seconds);
  }
  for (const auto &[label, f] : {std::pair{"growing", grown}, std::pair{"all buckets made first", presized}})
    std::fprintf(stderr,
                 "%llu inserts, %s: %.2f s, longest %.2f ms, p99.99 %.0f us, p99.9 %.1f us\n",
                 static_cast<unsigned long long>(total), label, f.seconds, f.longest * 1e3, f.p9999 * 1e6, f.p999 * 1e6);
  std::fprintf(stderr, "growing takes %.2f of the time of a map made with all its buckets, "
               "longest insert %.2f ms, p99.99 %.0f us\n",
               grown.seconds / presized.seconds, grown.longest * 1e3, grown.p9999 * 1e6);
  std::fprintf(stderr, "making the 128 chunks first took %.2f s; with it, the presized map took %.2f s, and growing "
               "%.2f of that\n", presized.making, presized.making + presized.seconds,
               grown.seconds / (presized.making + presized.seconds));
  state.counters["longest_ms"] = grown.longest * 1e3;
  state.counters["p9999_us"] = grown.p9999 * 1e6;
  state.counters["time_over_presized"] = grown.seconds / presized.seconds;
}
BENCHMARK(BM_GrowthLatency)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
