// The string-keyed map without expansion: construction and its errors, the
// shared layout a fresh map has, the three entry operations and their edge
// cases, hostile files, exhaustion of the arena, and several processes
// working on one map. The tables here never reach the load that starts an
// expansion (or have no room to grow), so that every failure points at the
// operations themselves; growth has its own suite.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "map_fixture.hpp"
#include "shm/region.hpp"

namespace fennowick::testing {
namespace {

using u64 = std::uint64_t;

std::uint32_t seed() {
  const char *s = std::getenv("FENNOWICK_SEED");
  return s ? static_cast<std::uint32_t>(std::strtoul(s, nullptr, 10)) : 20240611u;
}

// Files of this process in the temporary directory: a create that fails
// must not leave one behind.
std::set<std::string> my_backing_files() {
  std::set<std::string> names;
  const std::string prefix = "mm" + std::to_string(getpid());
  if (DIR *d = opendir(temporary_directory())) {
    while (dirent *e = readdir(d))
      if (std::string(e->d_name).rfind(prefix, 0) == 0) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

std::string read_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<u64> link_offsets(Map &m, const ChunkList &list) {
  std::vector<u64> out;
  u64 off = list.first;
  for (u64 i = 0; i < list.links; ++i) {
    out.push_back(off);
    off = load<u64>(m.arena_base() + off + 8);
  }
  return out;
}

class StringMap : public MapTest {};

// ---- construction ---------------------------------------------------------------

struct BadArguments {
  const char *label;
  unsigned char bucket_exp;
  unsigned long long chunks, size;
  unsigned char string_exp;
  const char *what;  // null: refused, text left to the implementation
};

// The first three carry fixed texts and are checked in this order (size,
// string exponent, chunk number), so a call with several faults names the
// first. The rest cannot work (a data unit of 0, sizes that wrap in 64 bits)
// and must be refused before anything is made.
const BadArguments bad_arguments[] = {
    {"size zero", 4, 64, 0, 5, "size should be greater than zero!"},
    {"size zero before the others", 4, 0, 0, 2, "size should be greater than zero!"},
    {"string exponent 2", 4, 64, 1 << 20, 2, "string_chunk_size_exponent should be greater than 2!"},
    {"string exponent 0 before chunk number", 4, 0, 1 << 20, 0,
     "string_chunk_size_exponent should be greater than 2!"},
    {"chunk number zero", 4, 0, 1 << 20, 3, "bucket chunk number should be greater than zero!"},
    {"string exponent 8", 4, 64, 1 << 20, 8, nullptr},
    {"string exponent 255", 4, 64, 1 << 20, 255, nullptr},
    {"table size wraps", 4, (1ull << 61) + 1, 1 << 20, 5, nullptr},
    {"bucket exponent 64", 64, 64, 1 << 20, 5, nullptr},
    {"bucket exponent 200", 200, 64, 1 << 20, 5, nullptr},
};

TEST_F(StringMap, ConstructorRefusesBadArgumentsOnCreateAndOpen) {
  create({4, 64, 1 << 20, 5});
  const std::string existing = name_;
  for (const BadArguments &c : bad_arguments) {
    SCOPED_TRACE(c.label);
    for (const bool opening : {false, true}) {
      SCOPED_TRACE(opening ? "open" : "create");
      const auto files_before = my_backing_files();
      std::string name = opening ? existing : std::string();
      try {
        Map m(name, c.bucket_exp, c.chunks, c.size, c.string_exp);
        ADD_FAILURE() << "accepted";
      } catch (const std::invalid_argument &e) {
        if (c.what) {
          EXPECT_STREQ(e.what(), c.what);
        }
      } catch (const std::exception &e) {
        ADD_FAILURE() << "wrong exception type: " << e.what();
      }
      EXPECT_EQ(name, opening ? existing : std::string());
      EXPECT_EQ(my_backing_files(), files_before) << "a refused create left a file";
    }
  }
}

TEST_F(StringMap, OpenOfMissingFileReportsErrno) {
  std::string name = std::string(temporary_directory()) + "/no-such-map-file";
  try {
    Map m(name, 2, 2, 2, 3);
    ADD_FAILURE() << "opened a missing file";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "file status wrong with errno: 2");
  }
}

TEST_F(StringMap, CreateNamesAPrivateFileInTheTemporaryDirectory) {
  auto m = create({2, 4, 1 << 16, 3});
  ASSERT_FALSE(name_.empty());
  EXPECT_EQ(name_[0], '/');
  const std::string dir = temporary_directory();
  if (const char *t = std::getenv("TMPDIR"); t && *t) {
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(t, resolved), nullptr);
    EXPECT_EQ(dir, resolved) << "TMPDIR not honoured";
  }
  const std::string prefix = dir + "/mm" + std::to_string(getpid());
  EXPECT_EQ(name_.rfind(prefix, 0), 0u) << name_;
  EXPECT_EQ(name_.find('/', dir.size() + 1), std::string::npos) << "not directly in the temporary directory";
  struct stat st;
  ASSERT_EQ(::stat(name_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // Two creates never share a file.
  std::string second;
  auto other = make_map(second, {2, 4, 1 << 16, 3});
  files_.push_back(second);
  EXPECT_NE(second, name_);
}

struct TooSmall {
  const char *label;
  MapParams p;
};

TEST_F(StringMap, CreateThatDoesNotFitFailsAndLeavesNoFile) {
  const TooSmall cases[] = {
      {"million-bucket chunk in 4 KiB", {20, 64, 4096, 5}},
      {"8 MiB table in 64 KiB", {4, 1ull << 20, 1 << 16, 5}},
      {"no room for the header", {4, 64, 100, 5}},
      {"chunk far beyond any arena", {57, 64, 1 << 20, 5}},
  };
  for (const TooSmall &c : cases) {
    SCOPED_TRACE(c.label);
    const auto before = my_backing_files();
    std::string name;
    EXPECT_THROW(make_map(name, c.p), std::runtime_error);
    EXPECT_EQ(my_backing_files(), before);
  }
  // A region the platform cannot provide at all.
  const auto before = my_backing_files();
  std::string name;
  EXPECT_THROW(make_map(name, {4, 64, 1ull << 62, 5}), std::bad_alloc);
  EXPECT_EQ(my_backing_files(), before);
}

// ---- the layout of a fresh map ----------------------------------------------------

TEST_F(StringMap, FreshMapLayout) {
  const MapParams shapes[] = {{0, 1, 1 << 16, 3}, {3, 16, 1 << 20, 5}, {10, 4, 1 << 20, 7}};
  for (const MapParams &p : shapes) {
    SCOPED_TRACE("bucket exponent " + std::to_string(p.bucket_exp));
    auto m = create(p);
    unsigned char *base = m->arena_base();
    const u64 s = u64{1} << p.bucket_exp;
    const u64 arena_size = m->shape().arena_size;

    // The header is the first chunk of the arena: its payload at offset 66.
    EXPECT_EQ(base[map_header_offset - 1], unit_map_header);
    const MapHeader h = header_of(*m);
    EXPECT_EQ(h.creator_base, reinterpret_cast<u64>(base));
    EXPECT_EQ(h.bucket_chunk_number, p.chunks);
    EXPECT_EQ(h.buckets_per_chunk, s);
    EXPECT_EQ(h.data_chunk_unit, u64{1} << p.string_exp);
    auto all_zero = [](const std::uint8_t *b, std::size_t n) { return std::all_of(b, b + n, [](auto x) { return x == 0; }); };
    EXPECT_TRUE(all_zero(h.zero_32, sizeof h.zero_32));
    EXPECT_TRUE(all_zero(h.zero_104, sizeof h.zero_104));
    EXPECT_TRUE(all_zero(h.unwritten_120, sizeof h.unwritten_120));
    EXPECT_TRUE(all_zero(h.zero_136, sizeof h.zero_136));

    // Everything the header names is inside the arena, 8-byte aligned, and
    // no two shared words overlap.
    std::set<u64> words;
    for (u64 off : {h.table, h.bucket_chunks_in_use, h.expansion_participants, h.expansion_lock,
                    h.migration_cursor, h.entry_count}) {
      EXPECT_EQ(off % 8, 0u);
      EXPECT_LT(off, arena_size);
      EXPECT_GT(off, map_header_offset);
      words.insert(off);
    }
    EXPECT_EQ(words.size(), 6u);
    EXPECT_EQ(shared_word(*m, &MapHeader::bucket_chunks_in_use).load(), 1u);
    EXPECT_EQ(shared_word(*m, &MapHeader::expansion_participants).load(), 0u);
    EXPECT_EQ(shared_word(*m, &MapHeader::expansion_lock).load(), 0u);
    EXPECT_EQ(shared_word(*m, &MapHeader::migration_cursor).load(), 0u);
    EXPECT_EQ(shared_word(*m, &MapHeader::entry_count).load(), 0u);

    // One bucket chunk; every other table slot empty.
    const u64 *table = table_of(*m);
    EXPECT_NE(table[0], 0u);
    EXPECT_EQ(table[0] % 8, 0u);
    for (u64 i = 1; i < p.chunks; ++i) EXPECT_EQ(table[i], 0u) << "slot " << i;

    // Every bucket: free, unmarked, no entries, one zeroed node of its own.
    std::set<u64> nodes;
    for (u64 k = 0; k < s; ++k) {
      Bucket *b = bucket_of(*m, k);
      ASSERT_EQ(b, m->locate_bucket(static_cast<long long>(k)));
      EXPECT_EQ(b->lock, 0u);
      EXPECT_EQ(b->forward, 0u);
      EXPECT_EQ(b->entries.count, 0u);
      EXPECT_EQ(b->entries.links, 1u);
      EXPECT_EQ(b->entries.per_link, 2);
      EXPECT_EQ(b->entries.base_scratch, 0u);
      nodes.insert(b->entries.first);
      const unsigned char *payload = base + load<u64>(base + b->entries.first);
      EXPECT_TRUE(all_zero(payload, 2 * sizeof(MapEntry))) << "bucket " << k;
    }
    EXPECT_EQ(nodes.size(), s) << "buckets share a node";

    // An opener's placeholder values are ignored: the header applies.
    auto view = open_map(name_);
    EXPECT_EQ(view->bucket_chunk_number(), p.chunks);
    EXPECT_EQ(view->buckets_per_chunk(), s);
    EXPECT_EQ(view->data_chunk_unit(), u64{1} << p.string_exp);
    EXPECT_EQ(view->bucket_chunks_in_use(), 1u);
  }
}

// ---- strings ------------------------------------------------------------------------

// Every data unit: strings span chunks of exactly that size, and a random
// mix of operations on a few long chains agrees with a plain map. Unit 16
// is also the size of the chunk links, so the two share a free list there.
TEST_F(StringMap, EveryDataUnitAgreesWithAModel) {
  const std::uint32_t sd = seed();
  SCOPED_TRACE("FENNOWICK_SEED=" + std::to_string(sd));
  for (unsigned char e = 3; e <= 7; ++e) {
    SCOPED_TRACE("string exponent " + std::to_string(e));
    auto m = create({2, 1, 4 << 20, e});
    const u64 U = u64{1} << e;
    ASSERT_EQ(m->data_chunk_unit(), U);
    EXPECT_EQ(header_of(*m).data_chunk_unit, U);
    EXPECT_EQ(arena_header(m->arena_base())->data_unit, U);

    const std::string long_value = value_of(7, 2 * U + 1);
    put(*m, "abc", long_value);
    MapEntry *entry = entry_of(*m, m->locate_bucket(hash_of("abc")), 0);
    EXPECT_EQ(entry->value.count, 2 * U + 1);
    EXPECT_EQ(entry->value.links, 3u);
    EXPECT_EQ(entry->value.per_link, U);
    EXPECT_EQ(entry->key.links, 1u);
    EXPECT_EQ(string_of(*m, entry->value), long_value);
    EXPECT_EQ(find(*m, "abc"), long_value);
    ASSERT_TRUE(erase(*m, "abc"));

    std::mt19937 rng(sd + e);
    std::map<std::string, std::string> model;
    for (int op = 0; op < 3000; ++op) {
      const std::string k = key_of(rng() % 40) + std::string(rng() % (2 * U), 'k');
      const int what = static_cast<int>(rng() % 4);
      if (what < 2) {
        const std::string v = value_of(op, rng() % (3 * U + 2));
        put(*m, k, v);
        model[k] = v;
      } else if (what == 2) {
        ASSERT_EQ(erase(*m, k), model.erase(k) == 1) << k;
      } else {
        const auto it = model.find(k);
        ASSERT_EQ(find(*m, k), it == model.end() ? std::nullopt : std::optional(it->second)) << k;
      }
    }
    EXPECT_EQ(m->entry_count(), model.size());
    const auto entries = scan(*m);
    ASSERT_EQ(entries.size(), model.size());
    for (const auto &[k, v] : model) EXPECT_EQ(find(*m, k), v);
  }
}

struct Replacement {
  const char *label;
  u64 old_len, new_len;
};

// A replace writes the new value into chunks of its own and then switches
// the entry to them, so that a process killed half-way leaves the old value
// or the new one whole, never a mix.
TEST_F(StringMap, ReplacingAValueSwitchesToAWholeNewChain) {
  const Replacement cases[] = {
      {"shorter", 40, 10}, {"longer", 10, 40},  {"same chunk count", 17, 23},
      {"to empty", 17, 0}, {"from empty", 0, 17}, {"same value", 9, 9},
      {"thousands of chunks more", 10, 100001}, {"thousands of chunks fewer", 100001, 30003},
  };
  auto m = create({4, 1, 8 << 20, 3});  // 8-byte data chunks
  for (const Replacement &c : cases) {
    SCOPED_TRACE(c.label);
    const std::string k = std::string("key-") + c.label;
    put(*m, k, value_of(1, c.old_len));
    const u64 count = m->entry_count();
    MapEntry *e = entry_of(*m, m->locate_bucket(hash_of(k)), m->locate_bucket(hash_of(k))->entries.count - 1);
    ASSERT_EQ(string_of(*m, e->key), k);
    const ChunkList key_before = e->key;
    const auto old_links = link_offsets(*m, e->value);

    put(*m, k, value_of(2, c.new_len));
    EXPECT_EQ(find(*m, k), value_of(2, c.new_len));
    EXPECT_EQ(m->entry_count(), count);
    EXPECT_EQ(e->hash, hash_of(k));
    EXPECT_EQ(std::memcmp(&e->key, &key_before, offsetof(ChunkList, base_scratch)), 0) << "key touched";
    EXPECT_EQ(e->value.count, c.new_len);
    EXPECT_EQ(e->value.links, (c.new_len + 7) / 8);
    const auto new_links = link_offsets(*m, e->value);
    for (u64 off : new_links)
      EXPECT_EQ(std::count(old_links.begin(), old_links.end(), off), 0) << "the new value overwrote the old one's chunks";
  }
}

// Long strings are read, compared, replaced and removed the same whether
// their links form a run (carved together, the usual case) or not: chunks
// taken back from a cache in scattered order, and two runs whose links were
// crossed half-way (each link's next names the other chain's next link, as a
// file written elsewhere may have it). The walk that guesses a run must
// follow every link exactly where it points.
TEST_F(StringMap, LongStringsReadAlikeAsRunsScatteredOrCrossed) {
  auto m = create({6, 1, 16 << 20, 5});
  constexpr u64 U = 32;
  // A run: a fresh 64 KiB value, and a key of many chunks.
  const std::string long_key = value_of(3, 40 * U + 5), run_value = value_of(4, 65536);
  put(*m, long_key, run_value);
  auto entry = [&](const std::string &k) {
    Bucket *b = m->locate_bucket(hash_of(k));
    for (u64 i = 0; i < b->entries.count; ++i)
      if (string_of(*m, entry_of(*m, b, i)->key) == k) return entry_of(*m, b, i);
    return static_cast<MapEntry *>(nullptr);
  };
  auto contiguous = [&](const ChunkList &l) {
    const auto offs = link_offsets(*m, l);
    u64 breaks = 0;
    for (u64 i = 1; i < offs.size(); ++i) breaks += offs[i] != offs[i - 1] + chunk_size_for(unit_link);
    return breaks;
  };
  ASSERT_NE(entry(long_key), nullptr);
  EXPECT_LT(contiguous(entry(long_key)->value), 2048u / 50) << "a fresh value should be (nearly) one run";
  EXPECT_EQ(find(*m, long_key), run_value);

  // Scattered: one-chunk values removed every other one leave their chunks in
  // the cache out of order, and the next long strings are made of them.
  for (int i = 0; i < 400; ++i) put(*m, key_of(i), value_of(i, U));
  for (int i = 0; i < 400; i += 2) ASSERT_TRUE(erase(*m, key_of(i)));
  const std::string scattered_key = value_of(5, 30 * U), scattered_value = value_of(6, 150 * U + 7);
  put(*m, scattered_key, scattered_value);
  ASSERT_NE(entry(scattered_key), nullptr);
  EXPECT_GT(contiguous(entry(scattered_key)->value), 10u) << "the value should be made of scattered chunks";
  EXPECT_EQ(find(*m, scattered_key), scattered_value);

  // Crossed: two runs of the same length, their links swapped at link 700.
  const std::string a = value_of(7, 65536), b = value_of(8, 65536);
  put(*m, "crossed-a", a);
  put(*m, "crossed-b", b);
  const auto la = link_offsets(*m, entry("crossed-a")->value), lb = link_offsets(*m, entry("crossed-b")->value);
  ASSERT_EQ(la.size(), 2048u);
  store<u64>(m->arena_base() + la[699] + 8, lb[700]);
  store<u64>(m->arena_base() + lb[699] + 8, la[700]);
  const std::string a_then_b = a.substr(0, 700 * U) + b.substr(700 * U), b_then_a = b.substr(0, 700 * U) + a.substr(700 * U);
  EXPECT_EQ(find(*m, "crossed-a"), a_then_b);
  EXPECT_EQ(find(*m, "crossed-b"), b_then_a);

  // Every one of them replaced (longer, shorter, same length) and removed.
  for (const std::string &k : {long_key, scattered_key, std::string("crossed-a"), std::string("crossed-b")}) {
    SCOPED_TRACE(k.substr(0, 12));
    for (u64 len : {u64{70000}, u64{65536}, u64{100}, u64{0}, u64{5000}}) {
      put(*m, k, value_of(len, len));
      ASSERT_EQ(find(*m, k), value_of(len, len));
    }
    // A long key is found by every byte: one that differs in its last chunk is another key.
    if (k.size() > U) EXPECT_EQ(find(*m, k.substr(0, k.size() - 1) + "#"), std::nullopt);
    ASSERT_TRUE(erase(*m, k));
    EXPECT_EQ(find(*m, k), std::nullopt);
  }
  for (int i = 1; i < 400; i += 2) EXPECT_EQ(find(*m, key_of(i)), value_of(i, U));
  EXPECT_EQ(m->entry_count(), 200u);
}

TEST_F(StringMap, EmptyKeysAndValuesAreOrdinary) {
  auto m = create({4, 1, 1 << 20, 5});
  put(*m, "k", "");
  char *buf = nullptr;
  long long len = -1;
  ASSERT_TRUE(m->get(reinterpret_cast<const signed char *>("k"), 1, hash_of("k"), buf, len));
  EXPECT_EQ(len, 0);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(buf[0], 0);
  host::mem_free(buf);
  EXPECT_EQ(entry_of(*m, m->locate_bucket(hash_of("k")), 0)->value.links, 0u);

  // The empty key, and a one-byte key under the same hash, are two keys.
  put(*m, "", "empty key", 99);
  put(*m, std::string(1, '\0'), "nul key", 99);
  EXPECT_EQ(m->entry_count(), 3u);
  EXPECT_EQ(find(*m, "", 99), "empty key");
  EXPECT_EQ(find(*m, std::string(1, '\0'), 99), "nul key");
  put(*m, "", "", 99);
  EXPECT_EQ(find(*m, "", 99), "");
  EXPECT_TRUE(erase(*m, "", 99));
  EXPECT_FALSE(erase(*m, "", 99));
  EXPECT_EQ(find(*m, std::string(1, '\0'), 99), "nul key");
  EXPECT_EQ(m->entry_count(), 2u);
}

// A key is its hash, its length and its bytes together.
TEST_F(StringMap, KeysDifferByHashLengthOrBytes) {
  auto m = create({4, 1, 1 << 20, 3});
  put(*m, "same", "under 1", 1);
  put(*m, "same", "under 2", 2);
  put(*m, "same", "under 17", 17);  // same bucket as hash 1
  put(*m, "other", "collides", 1);
  put(*m, "samex", "longer", 1);
  put(*m, "sam", "shorter", 1);
  EXPECT_EQ(m->entry_count(), 6u);
  EXPECT_EQ(find(*m, "same", 1), "under 1");
  EXPECT_EQ(find(*m, "same", 2), "under 2");
  EXPECT_EQ(find(*m, "same", 17), "under 17");
  EXPECT_EQ(find(*m, "other", 1), "collides");
  EXPECT_EQ(find(*m, "samex", 1), "longer");
  EXPECT_EQ(find(*m, "sam", 1), "shorter");
  EXPECT_EQ(find(*m, "same", 3), std::nullopt);
  EXPECT_EQ(find(*m, "samy", 1), std::nullopt);

  // Long keys are compared chunk by chunk, up to a last partial chunk.
  const std::string long_a(1001, 'q'), long_b = std::string(1000, 'q') + 'r';
  put(*m, long_a, "long a", 5);
  put(*m, long_b, "long b", 5);
  EXPECT_EQ(find(*m, long_a, 5), "long a");
  EXPECT_EQ(find(*m, long_b, 5), "long b");
  EXPECT_EQ(find(*m, std::string(1001, 'r'), 5), std::nullopt);
  EXPECT_TRUE(erase(*m, long_a, 5));
  EXPECT_TRUE(erase(*m, long_b, 5));

  EXPECT_TRUE(erase(*m, "same", 1));
  EXPECT_FALSE(erase(*m, "same", 1));
  EXPECT_EQ(find(*m, "same", 2), "under 2");
  EXPECT_EQ(find(*m, "same", 17), "under 17");
  EXPECT_EQ(find(*m, "other", 1), "collides");
  EXPECT_EQ(m->entry_count(), 5u);
}

// ---- a bucket's entry list ------------------------------------------------------------

struct RemovalCase {
  const char *label;
  int entries;
  int removed;  // index
  std::vector<const char *> after;
  u64 links_after;
};

TEST_F(StringMap, RemovalKeepsEntriesDenseAndGivesNodesBack) {
  const RemovalCase cases[] = {
      {"first of three", 3, 0, {"c", "b"}, 1},
      {"middle of three", 3, 1, {"a", "c"}, 1},
      {"last of three", 3, 2, {"a", "b"}, 1},
      {"only entry", 1, 0, {}, 1},
      {"first of four", 4, 0, {"d", "b", "c"}, 2},
      {"first of five", 5, 0, {"e", "b", "c", "d"}, 2},
  };
  const char *names[] = {"a", "b", "c", "d", "e"};
  for (const RemovalCase &c : cases) {
    SCOPED_TRACE(c.label);
    auto m = create({4, 1, 1 << 20, 5});
    Bucket *b = m->locate_bucket(0);
    const u64 first_node = b->entries.first;
    std::vector<u64> links;
    for (int i = 0; i < c.entries; ++i) {
      put(*m, names[i], std::string("value of ") + names[i], 16 * i);  // all in bucket 0
      links.push_back(b->entries.links);
    }
    EXPECT_EQ(links.back(), static_cast<u64>((c.entries + 1) / 2)) << "one node per two entries";
    const u64 last_node = link_offsets(*m, b->entries).back();

    ASSERT_TRUE(erase(*m, names[c.removed], 16 * c.removed));
    std::vector<std::string> expected(c.after.begin(), c.after.end());
    EXPECT_EQ(keys_in(*m, b), expected);
    EXPECT_EQ(b->entries.links, c.links_after);
    EXPECT_EQ(b->entries.first, first_node);
    EXPECT_EQ(m->entry_count(), static_cast<u64>(c.entries - 1));
    for (int i = 0; i < c.entries; ++i)
      EXPECT_EQ(find(*m, names[i], 16 * i).has_value(), i != c.removed) << names[i];
    scan(*m);

    // A node given back is the next one an append takes.
    if (c.links_after < links.back()) {
      put(*m, "z", "again", 16 * 9);
      EXPECT_EQ(link_offsets(*m, b->entries).back(), last_node);
    }
  }
}

// ---- files that are not maps -------------------------------------------------------------

struct Hostile {
  const char *label;
  std::function<void(std::string &bytes)> damage;  // applied to a real map file's bytes
};

void poke(std::string &bytes, u64 file_offset, u64 value) {
  std::memcpy(bytes.data() + file_offset, &value, sizeof value);
}
constexpr u64 header_in_file = region_header_size + map_header_offset;

TEST_F(StringMap, HostileFilesAreRefusedWithoutCrashing) {
  auto m = create({4, 8, 1 << 20, 5});
  for (int i = 0; i < 50; ++i) put(*m, key_of(i), value_of(i, 40));
  const std::string real = read_bytes(name_);
  const MapHeader h = header_of(*m);
  m.reset();
  std::mt19937 rng(seed());
  auto random_bytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(rng());
    return s;
  };

  const Hostile cases[] = {
      {"empty file", [](std::string &b) { b.clear(); }},
      {"ten bytes", [](std::string &b) { b.resize(10); }},
      {"headers of zeros", [](std::string &b) { b.assign(region_overhead, '\0'); }},
      {"random 4 KiB", [&](std::string &b) { b = random_bytes(4096); }},
      {"random 1 MiB", [&](std::string &b) { b = random_bytes(1 << 20); }},
      {"first page of a map", [](std::string &b) { b.resize(4096); }},
      {"half a map", [](std::string &b) { b.resize(b.size() / 2); }},
      {"no map header chunk", [](std::string &b) { b[region_header_size + map_header_offset - 1] = 0; }},
      {"table beyond the arena", [](std::string &b) { poke(b, header_in_file + 56, u64{1} << 40); }},
      {"table offset wraps", [](std::string &b) { poke(b, header_in_file + 56, ~u64{7}); }},
      {"entry count misaligned", [&](std::string &b) { poke(b, header_in_file + 96, h.entry_count + 3); }},
      {"lock word beyond the arena", [](std::string &b) { poke(b, header_in_file + 80, u64{1} << 40); }},
      {"chunk number zero", [](std::string &b) { poke(b, header_in_file + 16, 0); }},
      {"chunk number huge", [](std::string &b) { poke(b, header_in_file + 16, u64{1} << 62); }},
      {"buckets per chunk not a power of two", [](std::string &b) { poke(b, header_in_file + 24, 12); }},
      {"buckets per chunk beyond the arena", [](std::string &b) { poke(b, header_in_file + 24, u64{1} << 40); }},
      {"data unit 12", [](std::string &b) { b[header_in_file + 160] = 12; }},
      {"three chunks in use", [&](std::string &b) { poke(b, region_header_size + h.bucket_chunks_in_use, 3); }},
      {"more chunks in use than slots", [&](std::string &b) { poke(b, region_header_size + h.bucket_chunks_in_use, 16); }},
      {"no chunks in use", [&](std::string &b) { poke(b, region_header_size + h.bucket_chunks_in_use, 0); }},
      {"bucket chunk missing", [&](std::string &b) { poke(b, region_header_size + h.table, 0); }},
      {"bucket chunk beyond the arena", [&](std::string &b) { poke(b, region_header_size + h.table, u64{1} << 40); }},
  };
  for (const Hostile &c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = real;
    c.damage(bytes);
    const std::string path = std::string(temporary_directory()) + "/hostile-" + std::to_string(getpid());
    write_bytes(path, bytes);
    files_.push_back(path);
    try {
      auto opened = open_map(path);
      ADD_FAILURE() << "opened";
    } catch (const std::runtime_error &e) {
      const std::string what = e.what();
      EXPECT_TRUE(what.find("not a map file") != std::string::npos ||
                  what.find("map file is damaged") != std::string::npos)
          << what;
    } catch (const std::exception &e) {
      ADD_FAILURE() << "unexpected exception: " << e.what();
    }
  }
}

// Damage inside a bucket is found when an operation follows it: the call
// fails with the damage named and leaves the bucket lock free.
TEST_F(StringMap, DamagedEntryListsFailTheCallNotTheProcess) {
  auto m = create({0, 1, 1 << 20, 5});  // one bucket
  put(*m, "a", "x", 0);
  put(*m, "b", "y", 0);
  Bucket *b = bucket_of(*m, 0);
  MapEntry *second = entry_of(*m, b, 1);
  const ChunkList good_value = second->value;

  second->value.first = u64{1} << 40;
  const long long hints[] = {0, 0, 1, -1};
  m->prefetch(hints, 4);
  EXPECT_THROW(find(*m, "b", 0), std::runtime_error);
  EXPECT_EQ(b->lock, 0u);
  EXPECT_EQ(find(*m, "a", 0), "x");
  second->value = good_value;

  const u64 node = b->entries.first;
  b->entries.first = u64{1} << 40;
  const long long hint = 0;
  m->prefetch(&hint, 1);  // only a hint: the damage is found by the call itself
  EXPECT_THROW(find(*m, "a", 0), std::runtime_error);
  EXPECT_THROW(erase(*m, "a", 0), std::runtime_error);
  EXPECT_THROW(put(*m, "c", "z", 0), std::runtime_error);
  EXPECT_EQ(b->lock, 0u);
  b->entries.first = node;
  EXPECT_EQ(find(*m, "b", 0), "y");
  EXPECT_EQ(m->entry_count(), 2u);
}

// A node or a string chunk that a damaged file places over the map's own
// structures is refused before anything is written through it: otherwise the
// entry (or the scratch word a lookup stores) would land in a bucket's lock
// word, and the next operation on that bucket would wait for ever.
struct OverStructure {
  const char *name;
  std::uint64_t (*target)(Map &m);  // offset the chunk is moved to
};

TEST_F(StringMap, ChunksOverTheMapsOwnStructuresAreRefused) {
  const OverStructure cases[] = {
      {"a bucket", [](Map &m) { return offset_of(m.arena_base(), bucket_of(m, 3)); }},
      {"the table", [](Map &m) { return header_of(m).table; }},
      {"the shared words", [](Map &m) { return header_of(m).bucket_chunks_in_use - 8; }},
      {"the map header", [](Map &m) { return map_header_offset + 16; }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto m = create({2, 1, 1 << 20, 5});  // four buckets
    put(*m, "a", "x", 0);
    put(*m, "b", std::string(40, 'y'), 1);
    const std::vector<unsigned char> before(m->arena_base() + c.target(*m), m->arena_base() + c.target(*m) + 64);
    // bucket 0's node, then the first chunk of bucket 1's value, moved over the structure
    unsigned char *node = m->arena_base() + bucket_of(*m, 0)->entries.first;
    const u64 node_payload = load<u64>(node);
    store<u64>(node, c.target(*m));
    EXPECT_THROW(find(*m, "a", 0), std::runtime_error);
    EXPECT_THROW(put(*m, "a", "z", 0), std::runtime_error);
    EXPECT_THROW(put(*m, "c", "z", 4), std::runtime_error);  // a new entry in the same bucket
    store<u64>(node, node_payload);
    unsigned char *value_link = m->arena_base() + entry_of(*m, bucket_of(*m, 1), 0)->value.first;
    const u64 value_payload = load<u64>(value_link);
    store<u64>(value_link, c.target(*m));
    EXPECT_THROW(put(*m, "b", std::string(40, 'w'), 1), std::runtime_error);
    EXPECT_THROW(erase(*m, "b", 1), std::runtime_error);  // its chunks would be given back
    store<u64>(value_link, value_payload);
    EXPECT_EQ(std::vector<unsigned char>(m->arena_base() + c.target(*m), m->arena_base() + c.target(*m) + 64), before)
        << "nothing was written over the structure";
    for (u64 k = 0; k < 4; ++k) EXPECT_EQ(bucket_of(*m, k)->lock, 0u);
    EXPECT_EQ(find(*m, "a", 0), "x");
    EXPECT_EQ(find(*m, "b", 1), std::string(40, 'y'));
  }
}

// A caller's buffer that cannot be had fails the lookup, not the map; the
// sink is asked once, for the stored length, and only for a key present.
TEST_F(StringMap, GetIntoCallerMemory) {
  auto m = create({0, 1, 1 << 20, 5});
  put(*m, "k", std::string(100, 'v'), 7);
  struct Ask {
    int calls = 0;
    std::uint64_t length = 0;
    std::string into;
    bool refuse = false;
  } ask;
  const Map::ValueSink sink = [](void *c, std::uint64_t length) noexcept -> char * {
    auto *a = static_cast<Ask *>(c);
    ++a->calls;
    a->length = length;
    a->into.assign(length, '\0');
    return a->refuse ? nullptr : a->into.data();
  };
  const auto *key = reinterpret_cast<const signed char *>("k");
  EXPECT_FALSE(m->get(key, 1, 8, sink, &ask));
  EXPECT_EQ(ask.calls, 0);
  ASSERT_TRUE(m->get(key, 1, 7, sink, &ask));
  EXPECT_EQ(ask.calls, 1);
  EXPECT_EQ(ask.into, std::string(100, 'v'));
  ask.refuse = true;
  EXPECT_THROW(m->get(key, 1, 7, sink, &ask), std::bad_alloc);
  EXPECT_EQ(bucket_of(*m, 0)->lock, 0u);
  EXPECT_EQ(find(*m, "k", 7), std::string(100, 'v'));
}

// ---- a full arena ---------------------------------------------------------------------------

// Inserting until the arena is exhausted: the failing call throws, stores
// nothing, and leaves every lock free; removals then make room that later
// inserts reuse without touching fresh arena space. With a table that may
// grow, the expansions those inserts start run out of memory as well (and
// are swallowed by the insert that started them), which must not disturb a
// single entry.
TEST_F(StringMap, ExhaustedArenaLeavesTheMapUsable) {
  for (const unsigned long long chunks : {1ull, 64ull}) {
    SCOPED_TRACE("bucket chunks " + std::to_string(chunks));
    auto m = create({4, chunks, 96 << 10, 5});
    int stored = 0;
    for (;; ++stored) {
      try {
        put(*m, key_of(stored), value_of(stored, 100));
      } catch (const std::runtime_error &) {
        break;
      }
      ASSERT_LT(stored, 100000) << "arena never filled";
    }
    ASSERT_GT(stored, 20);
    EXPECT_EQ(m->entry_count(), static_cast<u64>(stored));
    EXPECT_EQ(shared_word(*m, &MapHeader::expansion_lock).load(), 0u);
    EXPECT_EQ(shared_word(*m, &MapHeader::expansion_participants).load(), 0u);
    EXPECT_EQ(scan(*m).size(), static_cast<u64>(stored));
    EXPECT_EQ(find(*m, key_of(stored)), std::nullopt) << "failed insert left an entry";
    for (int i = 0; i < stored; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i, 100)) << i;

    // A replacement that does not fit keeps the old value.
    EXPECT_THROW(put(*m, key_of(0), std::string(200 << 10, 'x')), std::runtime_error);
    EXPECT_EQ(find(*m, key_of(0)), value_of(0, 100));

    for (int i = 0; i < stored; i += 2) ASSERT_TRUE(erase(*m, key_of(i)));
    EXPECT_EQ(m->entry_count(), static_cast<u64>(stored / 2));
    for (int i = 0; i < stored; ++i) ASSERT_EQ(find(*m, key_of(i)).has_value(), i % 2 == 1) << i;
    if (chunks > 1) continue;

    // The same keys again, with new values of the same size: exactly the
    // nodes and chunks just given back are needed.
    const u64 used = m->shape().arena_used;
    for (int i = 0; i < stored; i += 2) put(*m, key_of(i), value_of(i + 7, 100));
    EXPECT_EQ(m->shape().arena_used, used) << "freed chunks were not reused";
    EXPECT_EQ(m->entry_count(), static_cast<u64>(stored));
    for (int i = 0; i < stored; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i % 2 ? i : i + 7, 100)) << i;
    scan(*m);
  }
}

// ---- several processes --------------------------------------------------------------------

TEST_F(StringMap, WritersInDisjointKeysAndAReader) {
  constexpr int writers = 4, per_writer = 4000;
  create({13, 1, 32 << 20, 5});  // 8192 buckets: never above the load limit
  SharedArray<u64> progress(writers + 1);  // last slot: done flag
  auto key = [](int w, int i) { return key_of(u64(w) * 1000000 + i); };
  auto val = [](int w, int i) { return value_of(u64(w) * 1000000 + i, (w * 31 + i) % 90); };
  StartLine start(writers + 1);

  std::vector<pid_t> kids;
  for (int w = 0; w < writers; ++w)
    kids.push_back(spawn([&, w] {
      auto m = open_map(name_);
      start.arrive_and_wait();
      for (int i = 0; i < per_writer; ++i) {
        put(*m, key(w, i), val(w, i));
        progress.at(w).store(i + 1);
      }
      return true;
    }, 60));
  pid_t reader = spawn([&] {
    auto m = open_map(name_);
    start.arrive_and_wait();
    std::mt19937 rng(seed());
    u64 checks = 0;
    bool ok = true;
    while (progress.at(writers).load() == 0 || checks < 1000) {
      const int w = static_cast<int>(rng() % writers);
      const u64 done = progress.at(w).load();
      if (done == 0) continue;
      const int i = static_cast<int>(rng() % done);  // published: must be there
      const auto got = find(*m, key(w, i));
      if (got != val(w, i)) {
        std::fprintf(stderr, "reader: key %s missing or wrong\n", key(w, i).c_str());
        ok = false;
        break;
      }
      const int j = static_cast<int>(done + rng() % 50);  // maybe not yet: absent or whole
      if (j < per_writer) {
        const auto maybe = find(*m, key(w, j));
        if (maybe && *maybe != val(w, j)) ok = false;
      }
      ++checks;
    }
    return ok;
  }, 60);
  for (pid_t p : kids) expect_clean_exit(p);
  progress.at(writers).store(1);
  expect_clean_exit(reader);

  auto m = open_map(name_);
  EXPECT_EQ(m->entry_count(), u64(writers * per_writer));
  for (int w = 0; w < writers; ++w)
    for (int i = 0; i < per_writer; ++i) ASSERT_EQ(find(*m, key(w, i)), val(w, i));
  const auto entries = scan(*m);
  std::set<std::string> distinct;
  for (const auto &e : entries) distinct.insert(e.key);
  EXPECT_EQ(distinct.size(), entries.size());
  EXPECT_EQ(entries.size(), u64(writers * per_writer));
}

// Processes insert, replace and remove the same few keys at once. However
// the operations interleave, each key ends as the last operation on it left
// it, and that operation is the last one some process made on the key: a
// present key holds the value of some process's last insert of it, an absent
// key was last removed by some process.
TEST_F(StringMap, ChurnOnSharedKeysEndsInAStateASerialOrderAllows) {
  constexpr int procs = 4, keys = 24, ops = 20000;
  create({2, 1, 4 << 20, 4});  // 4 buckets, long chains, data chunks of 16
  struct Last {
    int op;  // 0 untouched, 1 insert, 2 remove
    int seq;
  };
  SharedArray<Last> last(procs * keys);
  auto value = [](int p, int seq, int k) {
    std::string v = "p" + std::to_string(p) + "s" + std::to_string(seq) + "k" + std::to_string(k) + "|";
    return v + std::string((p * 7919 + seq * 31) % 70, char('a' + p));
  };
  // Any value read back must be one that was written for that key.
  auto well_formed = [&](const std::string &v, int k) {
    int p = -1, seq = -1, kk = -1;
    if (std::sscanf(v.c_str(), "p%ds%dk%d|", &p, &seq, &kk) != 3) return false;
    return kk == k && p >= 0 && p < procs && seq >= 0 && seq < ops && v == value(p, seq, k);
  };
  StartLine start(procs);
  std::vector<pid_t> kids;
  for (int p = 0; p < procs; ++p)
    kids.push_back(spawn([&, p] {
      auto m = open_map(name_);
      std::mt19937 rng(seed() * 7 + p);
      std::vector<Last> mine(keys, Last{0, 0});
      start.arrive_and_wait();
      bool ok = true;
      for (int seq = 0; seq < ops; ++seq) {
        const int k = static_cast<int>(rng() % keys);
        switch (rng() % 3) {
          case 0:
          case 1:
            put(*m, key_of(k), value(p, seq, k));
            mine[k] = {1, seq};
            break;
          default:
            erase(*m, key_of(k));
            mine[k] = {2, seq};
        }
        const int probe = static_cast<int>(rng() % keys);
        if (const auto got = find(*m, key_of(probe)); got && !well_formed(*got, probe)) ok = false;
      }
      for (int k = 0; k < keys; ++k) last[p * keys + k] = mine[k];
      return ok;
    }, 60));
  for (pid_t pid : kids) expect_clean_exit(pid);

  auto m = open_map(name_);
  u64 present = 0;
  for (int k = 0; k < keys; ++k) {
    SCOPED_TRACE(key_of(k));
    const auto got = find(*m, key_of(k));
    bool explained = false;
    bool touched = false;
    for (int p = 0; p < procs; ++p) {
      const Last l = last[p * keys + k];
      touched |= l.op != 0;
      if (got) explained |= l.op == 1 && *got == value(p, l.seq, k);
      else explained |= l.op == 2;
    }
    EXPECT_TRUE(explained || !touched) << (got ? "value " + *got : std::string("absent"));
    present += got.has_value();
  }
  EXPECT_EQ(m->entry_count(), present);
  EXPECT_EQ(scan(*m).size(), present);
}

// Every process lets go of the map at its own time, some while others still
// insert; the file stays and a later open finds everything.
TEST_F(StringMap, MapOutlivesEveryViewAndReopensByName) {
  constexpr int procs = 3, per = 500;
  {
    auto m = create({8, 1, 8 << 20, 5});
    for (int i = 0; i < per; ++i) put(*m, key_of(i), value_of(i, i % 50));
  }  // the creator's view is gone before anyone else opens
  std::vector<pid_t> kids;
  for (int p = 1; p <= procs; ++p)
    kids.push_back(spawn([&, p] {
      auto m = open_map(name_);
      for (int i = 0; i < per; ++i) put(*m, key_of(p * per + i), value_of(p * per + i, i % 50));
      std::this_thread::sleep_for(std::chrono::milliseconds(20 * p));
      m->destroy();
      m->destroy();
      return true;
    }, 60));
  for (pid_t pid : kids) expect_clean_exit(pid);

  struct stat st;
  ASSERT_EQ(::stat(name_.c_str(), &st), 0) << "backing file deleted";
  auto m = open_map(name_);
  EXPECT_EQ(m->entry_count(), u64((procs + 1) * per));
  for (int i = 0; i < (procs + 1) * per; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i, (i % per) % 50)) << i;
  EXPECT_EQ(scan(*m).size(), u64((procs + 1) * per));
  // The chunks the torn-down views gave back serve new entries.
  for (int i = 0; i < per; ++i) ASSERT_TRUE(erase(*m, key_of(i)));
  for (int i = 0; i < 2 * per; ++i) put(*m, key_of(10000 + i), value_of(i, 70));
  for (int i = 0; i < 2 * per; ++i) ASSERT_EQ(find(*m, key_of(10000 + i)), value_of(i, 70));
  for (int i = per; i < (procs + 1) * per; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i, (i % per) % 50));
}

// A child made by fork keeps the parent's view object. The chunks that the
// parent's view holds in its process-local caches must stay the parent's:
// if both handed them out, their entries would overwrite each other.
TEST_F(StringMap, ForkedChildUsingTheInheritedViewSharesNoCachedChunks) {
  auto m = create({8, 1, 8 << 20, 4});
  // Fill the parent's caches with chunks and nodes given back.
  for (int i = 0; i < 400; ++i) put(*m, key_of(i), value_of(i, 60));
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(erase(*m, key_of(i)));
  StartLine start(2);
  pid_t child = spawn([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 400; ++i) put(*m, key_of(1000 + i), value_of(1000 + i, 60));
    for (int i = 0; i < 400; ++i)
      if (find(*m, key_of(1000 + i)) != value_of(1000 + i, 60)) return false;
    return true;
  }, 30);
  start.arrive_and_wait();
  for (int i = 0; i < 400; ++i) put(*m, key_of(2000 + i), value_of(2000 + i, 60));
  expect_clean_exit(child, 40);
  for (int base : {1000, 2000})
    for (int i = 0; i < 400; ++i) ASSERT_EQ(find(*m, key_of(base + i)), value_of(base + i, 60)) << base + i;
  EXPECT_EQ(m->entry_count(), 800u);
  scan(*m);
}

TEST_F(StringMap, TeardownIsIdempotentAndLaterCallsFailCleanly) {
  auto m = create({4, 4, 1 << 20, 5});
  put(*m, "k", "v");
  m->destroy();
  m->destroy();
  EXPECT_EQ(m->arena_base(), nullptr);
  EXPECT_EQ(m->shape().arena_size, 0u);
  for (auto call : std::initializer_list<std::function<void()>>{
           [&] { put(*m, "k", "w"); }, [&] { find(*m, "k"); }, [&] { erase(*m, "k"); }}) {
    try {
      call();
      ADD_FAILURE() << "operation on a torn-down view succeeded";
    } catch (const std::runtime_error &e) {
      EXPECT_STREQ(e.what(), "operation on empty chunks!");
    }
  }
  m.reset();  // the destructor after destroy does nothing more
  auto again = open_map(name_);
  EXPECT_EQ(find(*again, "k"), "v");
}

}  // namespace
}  // namespace fennowick::testing
