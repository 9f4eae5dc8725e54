#include "crash_point.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <cstdlib>

#include <atomic>

namespace fennowick::crash_points {

namespace {
std::atomic<std::uint64_t> target{0}, seen{0};
}

#ifdef FENNOWICK_CRASH_POINTS
void reached() noexcept {
  const std::uint64_t n = seen.fetch_add(1, std::memory_order_relaxed) + 1;
  const std::uint64_t k = target.load(std::memory_order_relaxed);
  if (k != 0 && n == k) {
    if (std::getenv("FENNOWICK_CRASH_TRACE")) {  // where: for debugging a failing point
      void *frames[16];
      ::backtrace_symbols_fd(frames, ::backtrace(frames, 16), 2);
    }
    ::_exit(exit_code);
  }
}
#endif

void arm(std::uint64_t k) noexcept {
  seen.store(0, std::memory_order_relaxed);
  target.store(k, std::memory_order_relaxed);
}

std::uint64_t count() noexcept { return seen.load(std::memory_order_relaxed); }

}  // namespace fennowick::crash_points
