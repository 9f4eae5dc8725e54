// Offline repair of a map file that no process has open.
//
// Recovery while the map is in use (map/recovery.cpp, shm/registry.hpp)
// brings every structure back after a process dies, but it cannot find every
// chunk such a process held in its hands: links and payloads taken from its
// cache for an entry it never stored, a refill carved from the arena and not
// yet in the cache, the rest of a cache whose walk stopped at a bad link.
// Those chunks are neither reachable from a bucket nor on a free list, and
// nobody reuses them. The repair gives them back:
//  1. It refuses while a registry slot is live and its process is alive or
//     of unknown liveness (another pid namespace): that view may be working.
//  2. It opens the map once through the normal constructor and closes it:
//     opening recovers every dead view (records rolled forward, caches
//     returned), closing returns its own cache.
//  3. On a raw read-write mapping it walks the map as the checker does,
//     marking every byte reachable from the buckets and the free lists, then
//     sweeps the carved space from the first chunk to the bump: each chunk
//     (size byte, unit byte) of a unit with a free list that nothing marked
//     goes onto its free list; blocks are stepped over by their recorded
//     size. A block of a file made before blocks recorded their size reads
//     size 0 there, and the sweep stops at it (what lies beyond is not
//     reclaimed).
//  4. It resets what only running processes need: lock words (their holders
//     are all dead or gone), forward words when no expansion is under way,
//     the participant count, every registry slot (free, with the entries
//     found as slot 0's count and the others 0), and the legacy entry count.
// Then it checks the file again.
//
// Nothing keeps a process from opening the map while the repair runs: that
// is the caller's part ("offline").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "map/checker.hpp"

namespace fennowick {

struct RepairReport {
  bool done = false;     // repaired, and the check afterwards is clean
  bool refused = false;  // views of live (or undecidable) processes hold the map
  std::string problem;   // why it is not done, empty when done
  std::vector<LiveSlot> blocking;  // the views that made it refuse
  std::uint64_t dead_views = 0;    // live slots of dead processes that the opening recovered
  struct Reclaimed {
    unsigned unit = 0;
    std::uint64_t chunks = 0, bytes = 0;
  };
  Reclaimed reclaimed[3];  // nodes (176), links (16), data (the map's unit)
  std::uint64_t entries_found = 0;
  std::uint64_t bump = 0, swept_to = 0;  // arena offsets: the sweep covered [64, swept_to)
  bool sweep_complete = false;
  std::string sweep_stop;                // why the sweep stopped early
  std::uint64_t locks_cleared = 0, forwards_cleared = 0;
  CheckReport after;                     // the check of the repaired file
};

RepairReport repair_map_file(const std::string &path) noexcept;

}  // namespace fennowick
