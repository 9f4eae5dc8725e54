// Structural checker: walks a map's whole backing file, read-only, with a
// bounds check before every offset it follows, and reports the first
// inconsistency in words. It never writes and never crashes on any bytes.
//
// What it checks: the region and arena headers; the map header and its
// offsets; the bucket chunk table; every bucket (lock word, forward word,
// entry list and node chain); every entry's key and value strings; that each
// entry sits in the bucket its hash selects and no key appears twice; that no
// byte of the arena is used by two things; the arena's free lists; and that
// the entry count equals the entries found. A map under way in another
// process may be caught mid-change: check a quiet map.
#pragma once

#include <cstdint>
#include <string>

namespace fennowick {

struct CheckReport {
  bool ok = false;
  std::string problem;  // first inconsistency found, empty when ok
  // figures, as far as the walk got
  std::uint64_t file_size = 0, arena_size = 0, arena_used = 0;
  std::uint64_t bucket_chunk_number = 0, buckets_per_chunk = 0, bucket_chunks_in_use = 0;
  std::uint64_t buckets = 0, entries_found = 0, entry_count = 0, expansion_participants = 0;
  std::uint64_t nodes = 0, data_chunks = 0, free_chunks = 0, key_bytes = 0, value_bytes = 0;
  std::uint64_t longest_bucket = 0;
  unsigned data_chunk_unit = 0;
  bool expanding = false;
};

CheckReport check_map_file(const std::string &path) noexcept;

}  // namespace fennowick
