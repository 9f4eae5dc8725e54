// Costs of the shared region's hot paths, uncontended: a spin lock round
// trip, one chunk from and back to the arena's free list, and Allocator take
// and release from a warm cache. Targets on the development machine:
// lock+unlock <= 20 ns, take_data(1)+release(1) <= 50 ns.
//
//   build/native/bench_shm                                    full run
//   build/native/bench_shm --benchmark_min_time=0.01          quick check
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "shm/allocator.hpp"
#include "shm/arena.hpp"
#include "shm/region.hpp"
#include "shm/spin_lock.hpp"

namespace fennowick {
namespace {

// A small backing file, unlinked as soon as it is mapped: nothing is left
// in the temporary directory even if the run is interrupted.
class ScratchRegion {
public:
  explicit ScratchRegion(std::uint64_t size = 4 << 20, unsigned char data_unit = 32) {
    std::string path;
    base_ = region_open(size, nullptr, data_unit, file_, mapping_, &path);
    if (base_ == nullptr) {
      const char *why = last_error();
      std::fprintf(stderr, "region_open failed: %s\n", why ? why : "?");
      std::abort();
    }
    ::unlink(path.c_str());
  }
  ~ScratchRegion() { region_close(base_, file_, mapping_); }
  ScratchRegion(const ScratchRegion &) = delete;
  ScratchRegion &operator=(const ScratchRegion &) = delete;
  unsigned char *base() const { return base_; }

private:
  unsigned char *base_ = nullptr;
  file_handle_t file_ = invalid_file;
  mapping_handle_t mapping_ = invalid_mapping;
};

template <class Word> void BM_SpinLockUnlock(benchmark::State &state) {
  alignas(64) static Word word = 0;
  for (auto _ : state) {
    spin_lock_yielding(word);
    spin_unlock(word);
  }
  benchmark::DoNotOptimize(word);
}
BENCHMARK_TEMPLATE(BM_SpinLockUnlock, std::uint32_t)->Name("SpinLock32/lock+unlock");
BENCHMARK_TEMPLATE(BM_SpinLockUnlock, std::uint64_t)->Name("SpinLock64/lock+unlock");

void BM_ArenaAllocFree(benchmark::State &state) {
  ScratchRegion region;
  const auto unit = static_cast<std::uint8_t>(state.range(0));
  // Prime the free list so that every iteration pops and pushes one chunk.
  arena_free_chunk(region.base(), arena_alloc_chunks(region.base(), 1, unit) + 2);
  for (auto _ : state) {
    unsigned char *chunk = arena_alloc_chunks(region.base(), 1, unit);
    benchmark::DoNotOptimize(chunk);
    arena_free_chunk(region.base(), chunk + 2);
  }
}
BENCHMARK(BM_ArenaAllocFree)->Name("Arena/alloc_chunks(1)+free_chunk")->ArgName("unit")->Arg(16)->Arg(176);

void BM_TakeReleaseData1(benchmark::State &state) {
  ScratchRegion region;
  Allocator allocator(32, region.base());
  allocator.release(1, allocator.take_data(1));  // warm: the refill happens here
  for (auto _ : state) {
    unsigned char *link = allocator.take_data(1);
    benchmark::DoNotOptimize(link);
    allocator.release(1, link);
  }
  allocator.flush();
}
BENCHMARK(BM_TakeReleaseData1)->Name("Allocator/take_data(1)+release(1)");

void BM_TakeReleaseRecords100(benchmark::State &state) {
  ScratchRegion region;
  Allocator allocator(2, region.base());
  allocator.release(100, allocator.take_records(100));
  for (auto _ : state) {
    unsigned char *first = allocator.take_records(100);
    benchmark::DoNotOptimize(first);
    allocator.release(100, first);
  }
  state.SetItemsProcessed(state.iterations() * 100);
  allocator.flush();
}
BENCHMARK(BM_TakeReleaseRecords100)->Name("Allocator/take_records(100)+release(100)");

}  // namespace
}  // namespace fennowick
