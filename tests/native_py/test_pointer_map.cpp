// The pointer-keyed map with real Python objects: naming and attaching,
// key equality and the references the map holds, raising comparisons, node
// trimming and the pool's cap, capacity, and threads that share a table
// while it expands, including a key comparison that hands the interpreter
// lock to another thread while it holds a bucket.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "embedded.hpp"

namespace fennowick::pytest {
namespace {

using Map = ConcurrentHashMap_pointer;
using u64 = std::uint64_t;

std::string name_of(const Map &m) { return std::to_string(reinterpret_cast<std::uintptr_t>(&m)); }

// A created table, destroyed when the test ends however it ends.
struct Table {
  std::string name;
  std::unique_ptr<Map> map;
  Table(unsigned char exp, unsigned long long chunks) : map(std::make_unique<Map>(name, exp, chunks)) {}
  ~Table() {
    if (map) map->destroy();
  }
  std::unique_ptr<Map> attach() const {
    std::string n = name;
    return std::make_unique<Map>(n, 2, 2);
  }
};

class PointerMap : public ::testing::Test {
protected:
  void SetUp() override {
    blocks_ = Map::heap_blocks();
    g_ = fresh_globals();
    ASSERT_TRUE(g_);
  }
  void TearDown() override {
    if (PyErr_Occurred()) {
      PyErr_Print();
      ADD_FAILURE() << "a Python error was left set";
    }
    g_.reset();
    EXPECT_EQ(Map::heap_blocks(), blocks_) << "heap blocks left behind by the test's maps";
  }
  // A new reference to the value of a Python expression.
  Ref obj(const std::string &expr) {
    Ref r = eval(g_.get(), expr);
    if (!r) PyErr_Print();
    EXPECT_TRUE(r) << expr;
    return r;
  }
  static long long hash(PyObject *o) { return PyObject_Hash(o); }

  u64 blocks_ = 0;
  Ref g_;
};

template <class E> void expect_throw(const std::function<void()> &f, const std::string &text) {
  try {
    f();
    ADD_FAILURE() << "nothing thrown, expected: " << text;
  } catch (const E &e) {
    EXPECT_EQ(std::string(e.what()).substr(0, text.size()), text);
  } catch (const std::exception &e) {
    ADD_FAILURE() << "wrong exception: " << e.what() << ", expected: " << text;
  }
}

// ---- naming and attaching ---------------------------------------------------------------

TEST_F(PointerMap, CreatorIsNamedByItsAddressAndAttachedObjectsShareEntriesBothWays) {
  Table t(3, 16);
  EXPECT_EQ(t.name, name_of(*t.map));
  auto a = t.attach();
  std::string padded = "  " + t.name + "xyz";  // read like stoll: blanks skipped, stops at a non-digit
  auto b = std::make_unique<Map>(padded, 2, 2);
  EXPECT_EQ(padded, "  " + t.name + "xyz") << "attaching leaves the name as it was";

  Ref k1 = obj("'one'"), v1 = obj("object()"), k2 = obj("'two'"), v2 = obj("object()");
  t.map->insert(k1.get(), v1.get(), hash(k1.get()));
  a->insert(k2.get(), v2.get(), hash(k2.get()));
  PyObject *out = nullptr;
  ASSERT_TRUE(a->get(k1.get(), hash(k1.get()), out));
  EXPECT_EQ(out, v1.get());
  ASSERT_TRUE(t.map->get(k2.get(), hash(k2.get()), out));
  EXPECT_EQ(out, v2.get());
  EXPECT_TRUE(b->remove(k1.get(), hash(k1.get())));
  EXPECT_FALSE(t.map->get(k1.get(), hash(k1.get()), out));
  EXPECT_EQ(t.map->entry_count(), 1u);
  EXPECT_EQ(a->entry_count(), 1u);
}

TEST_F(PointerMap, NamesThatAreNotLiveTablesAreRefused) {
  Table t(2, 4);
  auto attached = t.attach();
  std::string gone_name;
  {
    Table gone(2, 4);
    gone_name = gone.name;
  }
  struct Case {
    std::string name;
    int kind;  // 0 invalid_argument, 1 out_of_range
    std::string text;
  };
  const std::vector<Case> cases = {
      {"abc", 0, "invalid stoll argument"},
      {"-", 0, "invalid stoll argument"},
      {"1234567890123456789012345", 1, "stoll argument out of range"},
      {"-1234567890123456789012345", 1, "stoll argument out of range"},
      {"12345", 0, "no live pointer map"},
      {"-" + t.name, 0, "no live pointer map"},
      {name_of(*attached), 0, "no live pointer map"},  // alive, but not a creator
      {gone_name, 0, "no live pointer map"},           // its creator was destructed
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto attach = [&] {
      std::string n = c.name;
      Map m(n, 2, 2);
    };
    if (c.kind == 0) expect_throw<std::invalid_argument>(attach, c.text);
    else expect_throw<std::out_of_range>(attach, c.text);
  }
  for (std::string n : {std::string(), t.name}) {
    SCOPED_TRACE("capacity 0 on " + (n.empty() ? std::string("create") : "attach"));
    expect_throw<std::invalid_argument>([&] { Map m(n, 2, 0); },
                                        "bucket chunk number should be greater than zero!");
  }
}

TEST_F(PointerMap, DestroyedTableCannotBeOpenedWhicheverObjectDestroyedIt) {
  for (bool by_creator : {true, false}) {
    SCOPED_TRACE(by_creator ? "destroyed by its creator" : "destroyed by an attached object");
    Table t(1, 4);
    auto a = t.attach();
    Ref k = obj("'k'"), v = obj("object()");
    t.map->insert(k.get(), v.get(), hash(k.get()));
    (by_creator ? t.map : a)->destroy();
    EXPECT_EQ(Py_REFCNT(v.get()), 1) << "destroy drops the stored value's reference";
    expect_throw<std::runtime_error>([&] { std::string n = t.name; Map m(n, 2, 2); },
                                     "old pellmire is impossible to open!");
    Map &destroyer = by_creator ? *t.map : *a;
    PyObject *out;
    expect_throw<std::runtime_error>([&] { destroyer.get(k.get(), hash(k.get()), out); },
                                     "operation on empty chunks!");
    expect_throw<std::runtime_error>([&] { destroyer.insert(k.get(), v.get(), 1); }, "operation on empty chunks!");
    t.map.reset();  // the others may only be destructed now
  }
}

// ---- keys, values and their references -------------------------------------------------------

TEST_F(PointerMap, EqualKeysOfDifferentIdentityAreOneKeyAndTheFirstKeyObjectStays) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"1", "1.0"},
      {"10**20", "1e20"},
      {"True", "1"},
      {"'ab' + str(len('xyz'))", "'ab3'.join(['', ''])"},
      {"(1, 2.0)", "(1.0, 2)"},
      {"frozenset({1, 2})", "frozenset([2.0, 1])"},
  };
  for (const auto &[first, second] : pairs) {
    SCOPED_TRACE(first + " / " + second);
    Table t(2, 8);
    Ref k1 = obj(first), k2 = obj(second), v1 = obj("object()"), v2 = obj("object()");
    ASSERT_NE(k1.get(), k2.get());
    ASSERT_EQ(hash(k1.get()), hash(k2.get()));
    const auto rk1 = Py_REFCNT(k1.get()), rk2 = Py_REFCNT(k2.get());

    t.map->insert(k1.get(), v1.get(), hash(k1.get()));
    t.map->insert(k2.get(), v2.get(), hash(k2.get()));
    EXPECT_EQ(t.map->entry_count(), 1u);
    EXPECT_EQ(Py_REFCNT(k1.get()), rk1 + 1) << "the first key object is kept";
    EXPECT_EQ(Py_REFCNT(k2.get()), rk2) << "the equal key is not stored";
    const Map::BucketView view = t.map->bucket_view(hash(k1.get()));
    ASSERT_EQ(view.keys.size(), 1u);
    EXPECT_EQ(view.keys[0], k1.get());

    PyObject *out = nullptr;
    ASSERT_TRUE(t.map->get(k1.get(), hash(k1.get()), out));
    EXPECT_EQ(out, v2.get());
    EXPECT_TRUE(t.map->remove(k2.get(), hash(k2.get())));
    EXPECT_EQ(Py_REFCNT(k1.get()), rk1);
    EXPECT_EQ(t.map->entry_count(), 0u);
  }
}

TEST_F(PointerMap, ReferenceCountsFollowInsertGetReplaceAndRemove) {
  Table t(2, 8);
  auto a = t.attach();
  Ref k = obj("'key'"), v1 = obj("object()"), v2 = obj("object()");
  const auto rk = Py_REFCNT(k.get());
  const long long h = hash(k.get());

  t.map->insert(k.get(), v1.get(), h);
  EXPECT_EQ(Py_REFCNT(k.get()), rk + 1);
  EXPECT_EQ(Py_REFCNT(v1.get()), 2);

  PyObject *out = nullptr;
  ASSERT_TRUE(a->get(k.get(), h, out));
  EXPECT_EQ(out, v1.get()) << "get answers the stored object itself";
  EXPECT_EQ(Py_REFCNT(v1.get()), 2) << "get's answer is borrowed";

  a->insert(k.get(), v2.get(), h);
  EXPECT_EQ(Py_REFCNT(v1.get()), 1) << "the replaced value loses the map's reference";
  EXPECT_EQ(Py_REFCNT(v2.get()), 2);
  EXPECT_EQ(Py_REFCNT(k.get()), rk + 1);
  EXPECT_EQ(t.map->entry_count(), 1u);

  EXPECT_TRUE(t.map->remove(k.get(), h));
  EXPECT_FALSE(t.map->remove(k.get(), h));
  EXPECT_EQ(Py_REFCNT(k.get()), rk);
  EXPECT_EQ(Py_REFCNT(v2.get()), 1);
}

TEST_F(PointerMap, DestroyDropsTheReferencesOfEveryStoredKeyAndValue) {
  // Many buckets, chains of several nodes, expansions (some buckets keep
  // surplus nodes), replaced and removed entries: afterwards every object is
  // back to the references the test holds, and no heap block is left.
  std::vector<Ref> keys, values, replacements;
  Table t(1, 64);
  auto a = t.attach();
  for (int i = 0; i < 600; ++i) {
    keys.push_back(obj("object()"));
    values.push_back(obj("object()"));
    // hash i % 97: crowded buckets, and entries that move when the table doubles
    (i % 2 ? a : t.map)->insert(keys.back().get(), values.back().get(), i % 97 + 97 * (i % 5));
  }
  for (int i = 0; i < 600; i += 3) EXPECT_TRUE(a->remove(keys[i].get(), i % 97 + 97 * (i % 5)));
  for (int i = 1; i < 600; i += 3) {
    replacements.push_back(obj("object()"));
    t.map->insert(keys[i].get(), replacements.back().get(), i % 97 + 97 * (i % 5));
  }
  EXPECT_GT(t.map->bucket_chunks_in_use(), 1u);
  const Map::TableCheck c = t.map->check();
  EXPECT_TRUE(c.ok) << c.problem;
  EXPECT_EQ(c.entries, 400u);
  t.map->destroy();
  for (const auto *list : {&keys, &values, &replacements})
    for (const Ref &o : *list) ASSERT_EQ(Py_REFCNT(o.get()), 1);
}

TEST_F(PointerMap, FinalizerRunByDestroyFindsTheTableAlreadyGone) {
  ASSERT_TRUE(run(g_.get(), R"(
seen = []
h = _pm.create(2, 8)
class V:
    def __del__(self):
        try:
            _pm.get(h, 'k')
            seen.append('answered')
        except RuntimeError as e:
            seen.append(str(e))
_pm.insert(h, 'k', V())
_pm.destroy(h)
assert seen == ['operation on empty chunks!'], seen
del h
)"));
}

// ---- raising comparisons ----------------------------------------------------------------------

TEST_F(PointerMap, RaisingComparisonCountsAsNoMatchAndItsErrorStaysSet) {
  ASSERT_TRUE(run(g_.get(), R"(
class Boom:
    def __init__(self, tag): self.tag = tag
    def __hash__(self): return 7
    def __eq__(self, other): raise ValueError('boom ' + self.tag)
class Key:
    def __init__(self, v): self.v = v
    def __hash__(self): return 7
    def __eq__(self, other):
        return isinstance(other, Key) and other.v == self.v if not isinstance(other, Boom) else NotImplemented
)"));
  Table t(2, 8);
  Ref boom1 = obj("Boom('1')"), boom2 = obj("Boom('2')"), key = obj("Key(1)"), same_key = obj("Key(1)");
  Ref v1 = obj("object()"), v2 = obj("object()");
  auto raised = [](const char *text) {
    if (!PyErr_Occurred()) return ::testing::AssertionFailure() << "no error set";
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    Ref s(PyObject_Str(value));
    const std::string got = s ? PyUnicode_AsUTF8(s.get()) : "?";
    if (type != PyExc_ValueError || got != text) return ::testing::AssertionFailure() << "error: " << got;
    return ::testing::AssertionSuccess();
  };

  t.map->insert(boom1.get(), v1.get(), 7);  // empty bucket: nothing to compare
  t.map->insert(boom2.get(), v1.get(), 7);  // boom1 == boom2 raises: a second entry
  EXPECT_TRUE(raised("boom 1"));
  t.map->insert(key.get(), v2.get(), 7);  // both booms raise; the first error is kept
  EXPECT_TRUE(raised("boom 1"));
  EXPECT_EQ(t.map->entry_count(), 3u);

  // Comparisons after a raising one still work: the equal key behind the
  // booms is found, and only then is the error put back.
  PyObject *out = nullptr;
  EXPECT_TRUE(t.map->get(same_key.get(), 7, out));
  EXPECT_EQ(out, v2.get());
  EXPECT_TRUE(raised("boom 1"));
  Ref boom3 = obj("Boom('3')");
  EXPECT_FALSE(t.map->get(boom3.get(), 7, out)) << "every comparison raised: no match";
  EXPECT_TRUE(raised("boom 1"));
  EXPECT_TRUE(t.map->remove(same_key.get(), 7));
  EXPECT_TRUE(raised("boom 1"));
  EXPECT_EQ(t.map->entry_count(), 2u);
  EXPECT_EQ(Py_REFCNT(key.get()), 1);
}

// ---- nodes ----------------------------------------------------------------------------------------

TEST_F(PointerMap, RemoveMovesTheLastEntryIntoTheHoleAndGivesNodesBack) {
  Table t(3, 2);  // 8 buckets, room for one expansion
  Ref a = obj("'a'"), b = obj("'b'"), c = obj("'c'"), v = obj("object()");
  for (PyObject *k : {a.get(), b.get(), c.get()}) t.map->insert(k, v.get(), 5);
  Map::BucketView view = t.map->bucket_view(5);
  EXPECT_EQ(view.count, 3u);
  EXPECT_EQ(view.links, 2u);
  const u64 pool = t.map->pool_free_nodes();
  ASSERT_TRUE(t.map->remove(a.get(), 5));
  view = t.map->bucket_view(5);
  EXPECT_EQ(view.keys, (std::vector<PyObject *>{c.get(), b.get()}));
  EXPECT_EQ(view.links, 1u) << "the emptied second node goes back";
  EXPECT_EQ(t.map->pool_free_nodes(), pool + 1);
  ASSERT_TRUE(t.map->remove(b.get(), 5));
  ASSERT_TRUE(t.map->remove(c.get(), 5));
  view = t.map->bucket_view(5);
  EXPECT_EQ(view.count, 0u);
  EXPECT_EQ(view.links, 1u) << "a bucket keeps its one node";
}

TEST_F(PointerMap, ExpansionSplitsBucketsInOrderAndTheNextRemoveTrimsAllSurplusNodes) {
  Table t(3, 2);  // 8 buckets; the expansion makes 16
  Ref v = obj("object()");
  std::vector<Ref> keys;
  auto put = [&](long long h) {
    keys.push_back(obj("object()"));
    t.map->insert(keys.back().get(), v.get(), h);
    return keys.back().get();
  };
  // bucket 0: stays (bit 8 clear) and moves (bit 8 set), interleaved
  std::vector<PyObject *> stay, move;
  for (long long h : {0, 8, 16, 24, 32, 40}) (h & 8 ? move : stay).push_back(put(h));
  // bucket 1: six entries that all move, three nodes
  std::vector<PyObject *> all;
  for (long long h : {9, 25, 41, 57, 73, 89}) all.push_back(put(h));
  ASSERT_EQ(t.map->bucket_chunks_in_use(), 1u) << "12 entries in 8 buckets do not expand by themselves";
  ASSERT_EQ(t.map->bucket_view(1).links, 3u);

  python_expansion_helper_pointer(t.name, 2);
  ASSERT_EQ(t.map->bucket_chunks_in_use(), 2u);
  EXPECT_EQ(t.map->bucket_view(0).keys, stay);
  EXPECT_EQ(t.map->bucket_view(8).keys, move);
  EXPECT_EQ(t.map->bucket_view(9).keys, all);
  EXPECT_EQ(t.map->bucket_view(9).links, 3u);
  const Map::BucketView emptied = t.map->bucket_view(1);
  EXPECT_EQ(emptied.count, 0u);
  EXPECT_EQ(emptied.links, 3u) << "a moved bucket keeps its nodes";
  Map::TableCheck c = t.map->check();
  EXPECT_TRUE(c.ok) << c.problem;

  put(1);
  PyObject *k2 = put(17);  // two entries in the emptied bucket, which still has three nodes
  const u64 pool = t.map->pool_free_nodes();
  ASSERT_TRUE(t.map->remove(k2, 17));
  EXPECT_EQ(t.map->bucket_view(1).links, 1u);
  EXPECT_EQ(t.map->pool_free_nodes(), pool + 2) << "both surplus nodes go back at once";
  c = t.map->check();
  EXPECT_TRUE(c.ok) << c.problem;
}

TEST_F(PointerMap, PoolKeepsAtMostItsCapAndReturnsTheRestToTheHeap) {
  // 2^20 buckets of three entries each, then one entry out of each: every
  // such remove gives a node back, which overfills the pool.
  constexpr u64 cap = u64{1} << 20;
  Table t(20, 1);  // no expansion: one chunk only
  Ref k = obj("object()");
  for (u64 h = 0; h < 3 * cap; ++h) t.map->insert(k.get(), k.get(), static_cast<long long>(h));
  const u64 before = t.map->pool_free_nodes();
  const u64 blocks = Map::heap_blocks();
  ASSERT_GT(before, 0u) << "the pool must overflow for this test";
  ASSERT_LT(before, 100u);
  for (u64 h = 2 * cap; h < 3 * cap; ++h) ASSERT_TRUE(t.map->remove(k.get(), static_cast<long long>(h)));
  EXPECT_EQ(t.map->pool_free_nodes(), cap);
  EXPECT_EQ(Map::heap_blocks(), blocks - (before + cap - cap)) << "nodes beyond the cap are freed";
  EXPECT_EQ(Py_REFCNT(k.get()), static_cast<Py_ssize_t>(1 + 2 * 2 * cap));
}

// ---- allocation failures ----------------------------------------------------------------------

// Makes PyMem_Malloc fail for blocks of one size, after `spared` of them
// have been allocated, while it lives.
class FailingAllocations {
public:
  explicit FailingAllocations(std::size_t size, int spared = 0) : spared_(spared) {
    PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &orig_);
    fail_size_ = size;
    PyMemAllocatorEx mine{this, &FailingAllocations::malloc_, &FailingAllocations::calloc_,
                          &FailingAllocations::realloc_, &FailingAllocations::free_};
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mine);
  }
  ~FailingAllocations() { PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &orig_); }

private:
  static void *malloc_(void *ctx, std::size_t n) {
    auto *self = static_cast<FailingAllocations *>(ctx);
    if (n == self->fail_size_ && self->spared_-- <= 0) return nullptr;
    return self->orig_.malloc(self->orig_.ctx, n);
  }
  static void *calloc_(void *ctx, std::size_t a, std::size_t b) {
    auto *self = static_cast<FailingAllocations *>(ctx);
    return self->orig_.calloc(self->orig_.ctx, a, b);
  }
  static void *realloc_(void *ctx, void *p, std::size_t n) {
    auto *self = static_cast<FailingAllocations *>(ctx);
    return self->orig_.realloc(self->orig_.ctx, p, n);
  }
  static void free_(void *ctx, void *p) {
    auto *self = static_cast<FailingAllocations *>(ctx);
    self->orig_.free(self->orig_.ctx, p);
  }
  PyMemAllocatorEx orig_{};
  std::size_t fail_size_ = 0;
  int spared_;
};

TEST_F(PointerMap, InsertWithoutMemoryForANodeStoresNothing) {
  Table t(0, 1);  // one bucket with one node, an empty pool
  Ref a = obj("'a'"), b = obj("'b'"), c = obj("'c'"), v = obj("object()");
  t.map->insert(a.get(), v.get(), 0);
  t.map->insert(b.get(), v.get(), 0);
  const auto rc = Py_REFCNT(c.get()), rv = Py_REFCNT(v.get());
  {
    FailingAllocations no_nodes(64);
    expect_throw<std::runtime_error>([&] { t.map->insert(c.get(), v.get(), 0); }, "PyMem_Malloc failed!");
  }
  EXPECT_EQ(Py_REFCNT(c.get()), rc);
  EXPECT_EQ(Py_REFCNT(v.get()), rv);
  EXPECT_EQ(t.map->entry_count(), 2u);
  const Map::BucketView view = t.map->bucket_view(0);
  EXPECT_EQ(view.count, 2u);
  EXPECT_EQ(view.links, 1u);
  t.map->insert(c.get(), v.get(), 0);  // the bucket was left unlocked and whole
  EXPECT_EQ(t.map->bucket_view(0).count, 3u);
}

TEST_F(PointerMap, LeaderWithoutMemoryWithdrawsTheExpansionAndALaterOneSucceeds) {
  Table t(4, 8);  // 16 buckets: the 33rd entry starts an expansion
  const std::size_t chunk_bytes = 16 * sizeof(Bucket);
  Watchdog dog(60, "expansions after a withdrawn one");
  std::vector<Ref> keys;
  for (int i = 0; i < 33; ++i) keys.push_back(obj(std::to_string(i)));
  auto settled = [&](u64 chunks) {
    EXPECT_EQ(t.map->bucket_chunks_in_use(), chunks);
    EXPECT_EQ(t.map->participants(), 0u);
    const Map::TableCheck c = t.map->check();  // also: every slot past the chunks in use is free
    EXPECT_TRUE(c.ok) << c.problem;
    EXPECT_EQ(c.entries, 33u);
  };
  {
    FailingAllocations no_chunks(chunk_bytes);
    for (int i = 0; i < 33; ++i)
      t.map->insert(keys[i].get(), keys[i].get(), i);  // a failed expansion is not the insert's failure
    expect_throw<std::runtime_error>([&] { python_expansion_helper_pointer(t.name, 2); }, "PyMem_Malloc failed!");
  }
  settled(1);
  python_expansion_helper_pointer(t.name, 2);
  settled(2);
  {
    FailingAllocations second_chunk(chunk_bytes, 1);  // the new half is half made when memory runs out
    expect_throw<std::runtime_error>([&] { python_expansion_helper_pointer(t.name, 4); }, "PyMem_Malloc failed!");
  }
  settled(2);
  python_expansion_helper_pointer(t.name, 4);
  settled(4);
}

// A move cannot be given up half way without losing entries once the table
// doubles, so a participant that cannot get nodes for a twin waits for
// memory (letting other threads run) and then finishes the move.
TEST_F(PointerMap, MoveWithoutMemoryWaitsAndThenLosesNoEntry) {
  Watchdog dog(60, "a move waiting for memory");
  Table t(3, 2);  // 8 buckets, room for one doubling
  Ref v = obj("object()");
  std::vector<Ref> keys;
  const std::vector<long long> hashes = {9, 25, 41, 57, 73, 89};  // bucket 1, all moving: the twin needs 2 more nodes
  for (long long h : hashes) {
    keys.push_back(obj("object()"));
    t.map->insert(keys.back().get(), v.get(), h);
  }
  std::thread expander;
  std::string failure;
  {
    FailingAllocations no_nodes(64, 8);  // nodes are 64 bytes; attaching stocks 8 of them
    expander = std::thread([&] {
      PyGILState_STATE st = PyGILState_Ensure();
      try {
        python_expansion_helper_pointer(t.name, 2);
      } catch (const std::exception &e) {
        failure = e.what();
      }
      PyGILState_Release(st);
    });
    Py_BEGIN_ALLOW_THREADS;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Py_END_ALLOW_THREADS;
    EXPECT_EQ(t.map->participants(), 1u) << "the mover is still waiting";
    EXPECT_EQ(t.map->bucket_chunks_in_use(), 1u);
  }
  Py_BEGIN_ALLOW_THREADS;
  expander.join();
  Py_END_ALLOW_THREADS;
  EXPECT_EQ(failure, "");
  EXPECT_EQ(t.map->bucket_chunks_in_use(), 2u);
  EXPECT_EQ(t.map->participants(), 0u);
  const Map::TableCheck c = t.map->check();
  EXPECT_TRUE(c.ok) << c.problem;
  PyObject *out;
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_TRUE(t.map->get(keys[i].get(), hashes[i], out)) << hashes[i];
  EXPECT_EQ(t.map->bucket_view(9).links, 3u);
}

TEST_F(PointerMap, SizesThatCannotBeAllocatedAreRefused) {
  for (const auto &[exp, chunks] : std::vector<std::pair<unsigned char, unsigned long long>>{
           {63, 1}, {255, 1}, {0, 1ull << 61}, {0, (1ull << 61) - 1}}) {
    SCOPED_TRACE("exp " + std::to_string(exp) + " chunks " + std::to_string(chunks));
    expect_throw<std::runtime_error>([&] { std::string n; Map m(n, exp, chunks); }, "PyMem_Malloc failed!");
  }
}

// ---- capacity -------------------------------------------------------------------------------------

TEST_F(PointerMap, TableNeverGrowsPastItsChunkCapacity) {
  struct Case {
    unsigned char exp;
    unsigned long long chunks;
    u64 expect_in_use;
  };
  for (const Case c : {Case{0, 1, 1}, Case{0, 3, 2}, Case{0, 64, 64}, Case{2, 5, 4}}) {
    SCOPED_TRACE("exp " + std::to_string(c.exp) + " chunks " + std::to_string(c.chunks));
    Table t(c.exp, c.chunks);
    std::vector<Ref> keys;
    for (int i = 0; i < 400; ++i) {
      keys.push_back(obj(std::to_string(i) + " * 7919"));
      t.map->insert(keys.back().get(), keys.back().get(), hash(keys.back().get()));
    }
    python_expansion_helper_pointer(t.name, 1u << 20);
    EXPECT_EQ(t.map->bucket_chunks_in_use(), c.expect_in_use);
    EXPECT_EQ(t.map->participants(), 0u);
    const Map::TableCheck r = t.map->check();
    EXPECT_TRUE(r.ok) << r.problem;
    EXPECT_EQ(r.entries, 400u);
    PyObject *out;
    for (const Ref &key : keys) ASSERT_TRUE(t.map->get(key.get(), hash(key.get()), out));
  }
}

// ---- threads --------------------------------------------------------------------------------------

TEST_F(PointerMap, ThreadsWithTheirOwnObjectsInsertAndRemoveWhileTheTableExpands) {
  Watchdog dog(240, "the threaded insert/remove run");
  ASSERT_TRUE(run(g_.get(), R"(
import gc, itertools, os, random, sys, threading, time
seed = int(os.environ.get('FENNOWICK_SEED') or random.randrange(1 << 30))
print('seed', seed, '(FENNOWICK_SEED=%d repeats the choices; thread timing differs)' % seed)
rng = random.Random(seed)
old_interval = sys.getswitchinterval()
sys.setswitchinterval(1e-5)   # switch threads often, also inside __eq__ under a bucket lock
made_k, gone_k, made_v, gone_v = (itertools.count() for _ in range(4))

class Key:
    __slots__ = ('v', 'slow', '__weakref__')
    def __init__(self, v):
        self.v = v; self.slow = rng.random() < 0.1; next(made_k)
    def __del__(self): next(gone_k)
    def __hash__(self): return self.v * 0x9E3779B1 % 1000003   # crowded buckets
    def __eq__(self, other):
        if self.slow: time.sleep(0)    # hand the interpreter lock over, bucket held
        return self.v == other.v
class Val:
    __slots__ = ('v',)
    def __init__(self, v): self.v = v; next(made_v)
    def __del__(self): next(gone_v)

creator = _pm.create(2, 1 << 12)
name = _pm.name(creator)
THREADS, N = 4, 2500
errors, expected = [], {}
done = threading.Event()

def worker(i):
    h = _pm.attach(name)
    r = random.Random(seed + i)
    mine = {}
    for v in range(i * N, (i + 1) * N):
        val = v * 10
        _pm.insert(h, Key(v), Val(val)); mine[v] = val
        if r.random() < 0.3:
            w = r.choice(list(mine))
            if not _pm.remove(h, Key(w)): errors.append(('remove missed', w))
            del mine[w]
        if r.random() < 0.2 and mine:
            w = r.choice(list(mine)); mine[w] += 1
            _pm.insert(h, Key(w), Val(mine[w]))
        for w in r.sample(list(mine), min(3, len(mine))):   # own entries never vanish
            got = _pm.get(h, Key(w))
            if got is None or got.v != mine[w]: errors.append(('get', w, got and got.v, mine[w]))
    expected.update(mine)

def expander():
    target = 2
    while not done.is_set():
        _pm.expand(name, target); target = min(target * 2, 1 << 12)
        time.sleep(0.001)

ts = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
ex = threading.Thread(target=expander)
ex.start()
for t in ts: t.start()
for t in ts: t.join()
done.set(); ex.join()
sys.setswitchinterval(old_interval)

assert not errors, errors[:10]
entries, chunks, participants = _pm.stats(creator)
assert participants == 0
assert chunks >= 1 << 8, chunks
assert entries == len(expected), (entries, len(expected))
ok, problem, found, nodes = _pm.check(creator)
assert ok, problem
for v in range(THREADS * N):
    got = _pm.get(creator, Key(v))
    want = expected.get(v)
    assert (got.v if got is not None else None) == want, (v, got, want)
_pm.destroy(creator)
del creator, expected, got
gc.collect()
assert next(made_k) == next(gone_k), 'keys leaked or dropped twice'
assert next(made_v) == next(gone_v), 'values leaked or dropped twice'
)"));
}

// A key's __eq__ runs under the bucket lock and gives the interpreter lock to
// another thread; that thread then waits for the same bucket. If it kept the
// interpreter lock while waiting, the __eq__ could never finish.
TEST_F(PointerMap, WaitingForABucketHeldByASwitchingComparisonDoesNotDeadlock) {
  ASSERT_TRUE(run(g_.get(), R"(
import threading, time
class Slow:
    holding = None
    def __init__(self, v): self.v = v
    def __hash__(self): return 1
    def __eq__(self, other):
        if Slow.holding is not None and self.v == 0 and other.v == 1:
            Slow.holding.set()
            time.sleep(0.05)   # the interpreter lock goes to the waiter
            time.sleep(0)
        return self.v == other.v
)"));
  for (const char *waiter : {"_pm.get(h2, Slow(0))", "_pm.insert(h2, Slow(2), 'c')", "_pm.remove(h2, Slow(0))",
                             "_pm.expand(name, 2)"}) {
    SCOPED_TRACE(waiter);
    Watchdog dog(60, std::string("waiting with ") + waiter);
    ASSERT_TRUE(run(g_.get(), std::string(R"(
creator = _pm.create(0, 4)          # one bucket: everyone meets there
name = _pm.name(creator)
h1, h2 = _pm.attach(name), _pm.attach(name)
_pm.insert(h1, Slow(0), 'a')
Slow.holding = threading.Event()
t = threading.Thread(target=lambda: _pm.insert(h1, Slow(1), 'b'))
t.start()
Slow.holding.wait()
)") + waiter + R"(
t.join()
Slow.holding = None
assert _pm.get(h1, Slow(1)) == 'b'
ok, problem, _, _ = _pm.check(creator)
assert ok, problem
_pm.destroy(creator)
del creator, h1, h2
)"));
  }
}

}  // namespace
}  // namespace fennowick::pytest
