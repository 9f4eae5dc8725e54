// Host implementation for native tests and benchmarks: no interpreter.
#include "host.hpp"

#include <sched.h>
#include <time.h>

#include <cstdlib>

namespace fennowick::host {

void yield_wait() { sched_yield(); }

void sleep_wait() {
  timespec ts{0, 1000000};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

bool is_finalizing() noexcept { return false; }

void *mem_alloc(std::size_t n) noexcept { return std::malloc(n ? n : 1); }
void mem_free(void *p) noexcept { std::free(p); }

}  // namespace fennowick::host
