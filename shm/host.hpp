// The few things the core needs from its host: the interpreter when it runs
// inside the extension module, nothing but libc when it runs in native tests
// and benchmarks. Exactly one implementation is linked: host_python.cpp in the
// extension, host_native.cpp elsewhere. No virtual calls; the linker chooses.
#pragma once

#include <cstddef>

namespace fennowick::host {

// Let other interpreter threads of this process run once: give the
// interpreter lock up and take it back (queue for it once if this thread does
// not hold it). Natively, a scheduler yield.
void yield_wait();

// Sleep one millisecond. The interpreter lock is given up for the sleep when
// this thread holds it, so that a thread the sleeper waits for can run.
void sleep_wait();

// True while the interpreter shuts down: waiters then retry without waiting.
bool is_finalizing() noexcept;

// Process-local memory for the maps' own arrays and for value buffers handed
// to the caller (the caller frees them with mem_free).
void *mem_alloc(std::size_t n) noexcept;
void mem_free(void *p) noexcept;

}  // namespace fennowick::host
