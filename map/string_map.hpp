// ConcurrentHashMap_string: byte-string keys and values in a shared file.
//
// Any number of threads in any number of processes insert, get and remove at
// once. Each operation works under the lock of the one bucket its hash
// selects (hash modulo the buckets in use); keys and values are chains of
// data chunks, entries are 88-byte records two to a node. An insert that
// lifts the load above two entries per bucket starts or joins an expansion,
// which doubles the table while other operations go on (expansion.cpp).
//
// Every operation may let the interpreter lock go while it waits and holds it
// again when it returns. Errors are standard exceptions with fixed texts.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "map/concurrent_hash_map.hpp"
#include "shm/allocator.hpp"
#include "shm/arena.hpp"
#include "shm/region.hpp"
#include "shm/registry.hpp"

namespace fennowick {

// std::bad_alloc with the map's own text; thrown as a copy of its static.
class bad_allocation : public std::bad_alloc {
public:
  const char *what() const noexcept override { return "bad allocation"; }
};

// The same failure with the reason the region layer gave (no space for the
// file in its directory), so that the caller learns where and how much.
class bad_allocation_because : public bad_allocation {
public:
  explicit bad_allocation_because(const char *why) : why_(std::string("bad allocation: ") + why) {}
  const char *what() const noexcept override { return why_.c_str(); }

private:
  std::string why_;
};

// What a new map's first bucket chunk takes of the arena per bucket: the
// bucket (56 bytes) and its share of the node records made with it.
inline constexpr std::uint64_t creation_bytes_per_bucket = 264;

// The same failure caused by the operating system (the region layer's text,
// the errno it recorded, the file's path), for a caller that can say so.
class bad_allocation_os : public bad_allocation {
public:
  bad_allocation_os(int err, std::string path, const char *why)
      : err_(err), path_(std::move(path)), why_(std::string("bad allocation: ") + (why ? why : "")) {}
  const char *what() const noexcept override { return why_.c_str(); }
  int error_number() const noexcept { return err_; }
  const std::string &path() const noexcept { return path_; }

private:
  int err_;
  std::string path_, why_;
};

// A named map file that cannot be looked at (stat failed): errno and path.
class file_status_error : public std::runtime_error {
public:
  file_status_error(int err, std::string path)
      : std::runtime_error("file status wrong with errno: " + std::to_string(err)), err_(err), path_(std::move(path)) {}
  int error_number() const noexcept { return err_; }
  const std::string &path() const noexcept { return path_; }

private:
  int err_;
  std::string path_;
};

namespace string_map_detail {
struct OpScope;
struct ReadScope;
struct RecordScope;
template <class Map> class BucketLock;
}  // namespace string_map_detail

// The map's part of a registry slot: what a view is doing while it holds a
// bucket lock or a place in an expansion, written so that a survivor can
// finish or undo it (recovery.cpp). Laid over RegistrySlot::user.
struct OpRecord {
  std::int64_t count_delta;    // entries this slot's views added minus removed, ever
  std::uint64_t kind;          // op_none, or what the bucket lock below is held for
  std::uint64_t bucket;        // offset of the locked bucket (the old one of a move)
  std::uint64_t count_before;  // its entry count when the record was made
  std::int64_t delta_before;   // count_delta then
  std::uint64_t a[8];          // per kind (recovery.cpp)
  std::uint64_t exp_state;     // expansion membership: exp_out, exp_joining, exp_in, exp_leaving
  std::uint64_t exp_before;    // expansion_participants before the change under way
  std::uint64_t exp_n;         // the bucket chunk count that membership is about
  std::uint64_t reserved[8];
};
static_assert(sizeof(OpRecord) == sizeof(RegistrySlot::user));
static_assert(offsetof(OpRecord, kind) == 8);
static_assert(offsetof(OpRecord, a) == 40);
static_assert(offsetof(OpRecord, exp_state) == 104);

inline constexpr std::uint64_t op_none = 0, op_insert = 1, op_replace = 2, op_remove = 3, op_move = 4;

// The map's words in the registry header (RegistryHeader::user).
struct MapSharedWords {
  std::uint64_t bitmap;        // offset of the done-bitmap of the latest expansion (word 0: its n)
  std::uint64_t leader;        // holder id of the latest claimant
  std::uint64_t leader_n;      // the n it claimed
  std::uint64_t slots_used;    // one past the highest slot ever attached: where counts are summed
  std::uint64_t clear_n;       // n of the table whose doubling left forward marks to clear, or 0
  std::uint64_t claims;        // raised by each claimant before it claims: which claim a looker has seen
  std::uint64_t reserved[2];
};
static_assert(sizeof(MapSharedWords) == sizeof(RegistryHeader::user));

template <int Shared> class ConcurrentHashMap_string : public ConcurrentHashMap_base<Shared> {
public:
  // Empty name: create a new backing file and map; name then holds the
  // file's absolute path. Otherwise open the map in the file `name`.
  ConcurrentHashMap_string(std::string &name, unsigned char bucket_chunk_size_exponent,
                           unsigned long long bucket_chunk_number, unsigned long long size,
                           unsigned char string_chunk_size_exponent);
  ~ConcurrentHashMap_string();
  ConcurrentHashMap_string(const ConcurrentHashMap_string &) = delete;
  ConcurrentHashMap_string &operator=(const ConcurrentHashMap_string &) = delete;

  void insert(const signed char *key, const signed char *value, unsigned long long key_len,
              unsigned long long value_len, long long hash);
  // On true, value is a new buffer (host::mem_alloc) of value_len + 1 bytes.
  bool get(const signed char *key, unsigned long long key_len, long long hash, char *&value,
           long long &value_len);
  // The same lookup, copying the value into memory the caller provides: on a
  // hit, sink(context, length) is called once, under the bucket's lock, and
  // returns where the value's `length` bytes go (null: std::bad_alloc is
  // thrown). The sink must not block or call into the map.
  using ValueSink = char *(*)(void *context, std::uint64_t length) noexcept;
  bool get(const signed char *key, unsigned long long key_len, long long hash, ValueSink sink, void *context);
  bool remove(const signed char *key, unsigned long long key_len, long long hash);
  // Warm the cache for operations on these hashes (at most prefetch_batch of
  // them are used): the bucket, its first entry, and that entry's key and
  // value chunks are fetched for all of them together, so that their cache
  // misses overlap instead of following one another. A hint only: nothing
  // is locked, nothing read changes what a later operation does, and a
  // concurrent change or a damaged file merely makes the hint useless.
  static constexpr std::size_t prefetch_batch = 16;
  void prefetch(const long long *hashes, std::size_t count) const noexcept;
  // One step of a walk over every bucket: copy the entries of the bucket at
  // `cursor` (keys, hashes, and values when `values`) into `out` (replacing
  // its contents) under that bucket's lock, with its twin's while it is being
  // split, so that the pair holds the whole bucket. Returns the next cursor,
  // 0 once the walk is complete; a walk starts at 0. Buckets are visited in
  // bit-reversed index order, so a bucket that splits behind the walk is
  // never visited again and one ahead of it is visited in both halves: every
  // entry present and unchanged for the whole walk is copied exactly once.
  struct ScannedEntry {
    std::string key, value;
    long long hash;
  };
  std::uint64_t scan_bucket(std::uint64_t cursor, bool values, std::vector<ScannedEntry> &out);
  // Remove every entry present for the whole call; returns how many this call
  // removed. Not atomic: a walk of scan_bucket steps, each bucket's keys then
  // removed one by one through remove(). Entries inserted meanwhile may or
  // may not be removed.
  std::uint64_t clear();

  void expand(std::uint64_t n) override;

  // The exact number of entries: the sum of every registry slot's count
  // (entry_count in the file is kept as well, as an estimate for the load
  // check and for readers that know nothing of the registry).
  std::uint64_t entry_count() const noexcept;
  // This view's holder id in lock words (0 without a registry).
  std::uint32_t holder() const noexcept { return registry_.holder(); }
  Registry &registry() noexcept { return registry_; }
  // join_for_target as this view (its lock words name it).
  std::uint64_t join_for_target_as_view(std::uint64_t target);
  // Recover every registry slot whose process has died; returns how many.
  std::size_t reclaim_dead() { return registry_.present() ? registry_.reclaim_dead() : 0; }

  // Teardown of this process's view; idempotent. The destructor calls it.
  void destroy() noexcept;

  MapShape shape() const noexcept;
  unsigned char *arena_base() const noexcept { return this->base_; }
  // This view's open descriptor of the backing file (it outlives the file's name).
  file_handle_t file_handle() const noexcept { return file_handle_; }
  std::uint8_t data_chunk_unit() const noexcept { return data_chunk_unit_; }

  static const std::invalid_argument &size_exception();
  static const std::invalid_argument &bucket_chunk_number_exception();
  static const std::invalid_argument &string_chunk_size_exponent_exception();
  static const bad_allocation &bad_alloc_exception();

  // Internal, public for the expansion and tests.
  Bucket *locate_bucket(long long hash);
  void init_bucket(Bucket *bucket);
  void store_bytes(ChunkList &list, const signed char *source, std::uint64_t length, Allocator &allocator);
  // index < buckets in use now or in the expansion under way
  Bucket *bucket_at(std::uint64_t index) {
    const std::uint64_t chunk = index >> bucket_shift_;
    unsigned char *c = chunk < this->bucket_chunk_number_
                           ? std::atomic_ref<unsigned char *>(bucket_chunk_cache_[chunk]).load(std::memory_order_relaxed)
                           : nullptr;
    if (c == nullptr) [[unlikely]]
      c = chunk_address(chunk);
    return reinterpret_cast<Bucket *>(c) + (index & (this->buckets_per_chunk_ - 1));
  }

  // Take a bucket's lock as this view, refusing a word that is neither free
  // nor held; a dead holder is recovered on the way.
  void lock_bucket(Bucket *b);

private:
  friend struct string_map_detail::OpScope;
  friend struct string_map_detail::ReadScope;
  friend struct string_map_detail::RecordScope;
  void attach_view();
  // At the start of every operation: re-attach after fork.
  void enter() {
    if (epoch_ != fork_epoch()) [[unlikely]] reattach_after_fork();
  }
  void reattach_after_fork();
  OpRecord *record() const noexcept {
    return registry_.own_slot() ? reinterpret_cast<OpRecord *>(registry_.own_slot()->user) : nullptr;
  }
  MapSharedWords *shared_words() const noexcept {
    return registry_.header() ? reinterpret_cast<MapSharedWords *>(registry_.header()->user) : nullptr;
  }
  static void recover_slot_record(void *self, std::uint32_t holder, RegistrySlot &slot);
  void recover_record(std::uint32_t holder, OpRecord &r);
  void roll_forward_move(Bucket *old, OpRecord &r);
  void compact_from(Bucket *old, OpRecord *r, std::uint64_t split, std::uint64_t t, std::uint64_t free_slot,
                    std::uint64_t i, std::vector<MapEntry *> *known = nullptr);
  void recover_membership(std::uint32_t holder, OpRecord &r);
  void free_chain(std::uint64_t first, std::uint64_t links, std::uint64_t unit);
  void look_at_claim(std::uint64_t n);
  void drop_own_record(MapSharedWords *w) noexcept;
  void note_membership(std::uint64_t state, std::uint64_t before, std::uint64_t n) noexcept override;
  std::uint64_t *bitmap_for(std::uint64_t n, bool make);
  void lead(std::uint64_t n);
  void entry_slots(Bucket *b, std::uint64_t t, std::vector<MapEntry *> &out);
  void move_bucket_stealing(Bucket *old, Bucket *twin, std::uint64_t split, std::uint64_t t, std::uint64_t k);
  bool batch_done(std::uint64_t n, std::uint64_t batch);
  void mark_batch(std::uint64_t n, std::uint64_t batch);
  bool all_batches_done(std::uint64_t n);
  bool try_double(std::uint64_t n);
  void move_batch_range(std::uint64_t batch, std::uint64_t n);
  void create(std::string &name, unsigned char bucket_chunk_size_exponent, unsigned long long size,
              unsigned char string_chunk_size_exponent);
  void open(const std::string &name);
  unsigned char *chunk_address(std::uint64_t chunk);
  Bucket *bucket_by_offset(std::uint64_t off);
  // Lock the bucket of `hash` and, while it is being split, its twin; both
  // together hold every entry of that bucket at the table size *in_use.
  Bucket *lock_bucket_pair(long long hash, Bucket *&twin, std::uint64_t *in_use = nullptr);
  bool match(const MapEntry *entry, const signed char *key, std::uint64_t key_len, long long hash);
  void move_bucket(std::uint64_t f, std::uint64_t n);
  void clear_forwards(std::uint64_t n) noexcept;

  void release_list(ChunkList &list) noexcept;
  void read_string(const ChunkList &list, char *dest) const;
  void fetch_ahead(const MapEntry *e) const noexcept;
  // Calls f(i, link, payload) for the links i = 0..n-1 (n >= 1) of the chain
  // whose first link is at offset `first`, each payload checked to hold
  // `unit` bytes inside the arena, until f returns false; returns whether
  // every link was visited. Links carved together form a run, each right
  // behind the one before; the walk guesses so and lets the loaded offset
  // only confirm it (string_map_detail.hpp).
  template <class F> bool for_each_link(std::uint64_t first, std::uint64_t n, std::uint64_t unit, F &&f) const;
  // Limits on what the file may claim, checked before a walk or a release:
  // the most links of a payload unit that fit in the arena; a bucket whose
  // counts the arena could hold; a chain of n links whose links and payloads
  // are all chunks of their unit inside the arena (its n-th link returned,
  // null for n = 0, so that a release need not walk it again). Each throws
  // std::runtime_error ("map file is damaged: ...") when the file says more.
  std::uint64_t max_links(std::uint64_t payload_unit) const noexcept;
  void check_bucket(const Bucket *bucket) const;
  unsigned char *check_chain(const unsigned char *first, std::uint64_t n, std::uint64_t payload_unit) const;
  bool caches_intact() const noexcept;
  bool forward_plausible(std::uint64_t k, std::uint64_t n, std::uint64_t fwd) noexcept;
  bool stale_forward(std::uint64_t k, std::uint64_t n, std::uint64_t fwd) noexcept;
  bool remove_entry(const signed char *key, unsigned long long key_len, long long hash);
  bool holds_key(Bucket *b, const signed char *key, std::uint64_t key_len, long long hash);
  bool insert_locked(Bucket *b, string_map_detail::BucketLock<ConcurrentHashMap_string> &guard,
                     string_map_detail::RecordScope &rec, const signed char *key, const signed char *value,
                     std::uint64_t key_len, std::uint64_t value_len, long long hash);
  struct Finish;
  void after_write(bool appended);
  void expand_slice(std::uint64_t n, bool for_load);
  void participate(std::uint64_t n, std::uint64_t budget);
  void after_doubling(std::uint64_t n, std::uint64_t budget) noexcept;
  void clear_slice(std::uint64_t doubled_n, std::uint64_t budget) noexcept;
  void twin_chunk(std::uint64_t n, std::uint64_t chunk);
  std::atomic<std::uint64_t> steal_hint_{0};  // where this view's last look for open batches stopped
  // The claim this view last saw with no claimant recorded (slot n and the
  // claims count when it looked) and since when (steady-clock ticks); n 0:
  // none. Its threads take turns through clock_busy_.
  struct ClaimSeen {
    std::uint64_t n = 0, claims = 0;
    std::int64_t since = 0;
  } claim_seen_;
  std::atomic<bool> clock_busy_{false};
  std::atomic<std::uint64_t> clear_hint_{0};  // where its last look for marks to clear stopped

public:
  // Addresses from offsets read out of the file, bounds-checked against the
  // arena; a bad one throws std::runtime_error naming the damage.
  unsigned char *link(std::uint64_t off) const {
    if (off < arena_header_size) [[unlikely]] throw_damaged("chunk link out of range");
    return at_checked(this->base_, limit_, off, sizeof(ChunkLink), "chunk link out of range");
  }
  unsigned char *payload(const unsigned char *link, std::uint64_t len) const {
    const std::uint64_t off = load<std::uint64_t>(link);
    if (off < arena_header_size) [[unlikely]] throw_damaged("chunk payload out of range");
    return at_checked(this->base_, limit_, off, len, "chunk payload out of range");
  }
  // The same for what the map writes through: a node's link and its two
  // entries, and (writable) any other chunk before it is written or given
  // back; these also refuse a chunk that lies over the map's own structures.
  unsigned char *node_link(std::uint64_t off) const {
    unsigned char *p = link(off);
    writable(p, sizeof(ChunkLink));
    return p;
  }
  unsigned char *node_payload(const unsigned char *link) const {
    unsigned char *p = payload(link, 2 * sizeof(MapEntry));
    writable(p, 2 * sizeof(MapEntry));
    return p;
  }
  void writable(const unsigned char *p, std::uint64_t len) const {
    ClearSpan span;
    writable(p, len, span);
  }
  // The granules last found to hold nothing of the map's own, as the bytes
  // [start, end), so that a walk over a run of chunks looks at each granule's
  // bit once, not at each chunk.
  struct ClearSpan {
    std::uint64_t start = 0, end = 0;
  };
  void writable(const unsigned char *p, std::uint64_t len, ClearSpan &span) const {
    const std::uint64_t off = static_cast<std::uint64_t>(p - this->base_);
    if (off >= span.start && off + len <= span.end) [[likely]]
      return;
    if (guard_bits_ != nullptr && len > 0) {
      const std::uint64_t g0 = off >> guard_shift_, g1 = (off + len - 1) >> guard_shift_;
      auto bit = [this](std::uint64_t g) {
        return (std::atomic_ref<std::uint64_t>(guard_bits_[g / 64]).load(std::memory_order_relaxed) >> (g % 64)) & 1;
      };
      // Nearly every chunk lies in granules that hold nothing of the map's
      // own: the bits say so without a call.
      if (g1 - g0 <= 1 && bit(g0) == 0 && bit(g1) == 0) [[likely]] {
        const std::uint64_t from = g0 << guard_shift_, to = (g1 + 1) << guard_shift_;
        if (from >= span.start && from <= span.end && span.end != 0) span.end = to;
        else span = ClearSpan{from, to};
        return;
      }
    }
    if (over_structure(off, len)) throw_damaged("chunk over the map's own structures");
  }

private:

  // Which granules of the arena hold a byte of the map's own structures
  // (header, table, shared words, bucket chunks), one bit each. A chunk named
  // by a damaged file that lies over one of them would turn the bytes the map
  // writes into lock words, and a later operation would wait for ever: link()
  // and payload() refuse such chunks. The bits only rule granules out
  // cheaply; one that is set gets the exact check.
  void setup_guard();
  void guard(std::uint64_t off, std::uint64_t len) noexcept;
  bool over_structure(std::uint64_t off, std::uint64_t len) const noexcept;
  std::uint64_t *guard_bits_ = nullptr;
  unsigned guard_shift_ = 12;

  file_handle_t file_handle_ = invalid_file;
  mapping_handle_t mapping_handle_ = invalid_mapping;
  Registry registry_;
  std::uint64_t epoch_ = 0;            // fork_epoch() when this view attached
  alignas(8) std::uint64_t lane_ = 0;  // one operation record per view: taken around it
  unsigned char **bucket_chunk_cache_ = nullptr;
  Allocator *node_allocator_ = nullptr;
  Allocator *data_allocator_ = nullptr;
  std::uint8_t data_chunk_unit_ = 0;
  unsigned bucket_shift_ = 0;  // log2 of buckets_per_chunk
  std::uint64_t limit_ = 0;  // arena size: every offset followed must stay below it
  std::uint64_t node_links_max_ = 0;  // max_links(unit_node), fixed by limit_
};

extern template class ConcurrentHashMap_string<1>;

const std::out_of_range &offset_overflow_exception();

// A position in a bucket's entry list: the element index, the list, and the
// link that holds the current entry (two entries per node). Advancing past
// the last element throws "offset overflow!" and keeps the index.
template <class Map> class ChunkListCursor {
public:
  ChunkListCursor(const Map &map, ChunkList &list) : map_(map), list_(list), current_(map.node_link(list.first)) {}
  std::uint64_t index() const noexcept { return index_; }
  unsigned char *current_link() const noexcept { return current_; }
  MapEntry *entry() const {
    return reinterpret_cast<MapEntry *>(map_.node_payload(current_) + sizeof(MapEntry) * (index_ % 2));
  }
  void advance() {
    if (index_ + 1 >= list_.count) throw offset_overflow_exception();
    ++index_;
    if (index_ % 2 == 0) current_ = map_.node_link(load<std::uint64_t>(current_ + 8));
  }

private:
  const Map &map_;
  ChunkList &list_;
  unsigned char *current_;
  std::uint64_t index_ = 0;
};

// Open the map `name`, join an expansion if it has fewer than target_length
// bucket chunks, and close it again. Throws what opening or expanding throws.
void python_expansion_helper_string(const std::string &name, unsigned long long target_length);

}  // namespace fennowick
