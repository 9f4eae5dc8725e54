#include "map_fixture.hpp"
using namespace fennowick::testing;
class Smoke : public MapTest {};
TEST_F(Smoke, InsertGetRemoveWithGrowth) {
  auto m = create({0, 1 << 16, 64ull << 20, 5});
  const int N = 100000;
  for (int i = 0; i < N; ++i) put(*m, key_of(i), value_of(i, i % 70));
  EXPECT_EQ(m->entry_count(), (unsigned)N);
  for (int i = 0; i < N; ++i) ASSERT_EQ(find(*m, key_of(i)), value_of(i, i % 70)) << i;
  for (int i = 0; i < N; i += 2) ASSERT_TRUE(erase(*m, key_of(i)));
  for (int i = 0; i < N; ++i) ASSERT_EQ(find(*m, key_of(i)).has_value(), i % 2 == 1);
  EXPECT_EQ(m->entry_count(), (unsigned)N / 2);
  std::printf("chunks in use %llu\n", (unsigned long long)m->bucket_chunks_in_use());
}
#include "map/checker.hpp"
TEST_F(Smoke, CheckerPassesOnChurnedMap) {
  for (unsigned char ue : {3, 4, 5, 7}) {
    auto m = create({0, 1 << 16, 96ull << 20, ue});
    for (int i = 0; i < 20000; ++i) put(*m, key_of(i), value_of(i, i % 300));
    for (int i = 0; i < 20000; i += 3) erase(*m, key_of(i));
    for (int i = 0; i < 20000; i += 5) put(*m, key_of(i), value_of(i, (i * 7) % 200));
    auto r = fennowick::check_map_file(name_);
    EXPECT_TRUE(r.ok) << r.problem;
    EXPECT_EQ(r.entries_found, m->entry_count());
    m->destroy();
    r = fennowick::check_map_file(name_);
    EXPECT_TRUE(r.ok) << r.problem;
    std::printf("unit %d: entries %llu free %llu nodes %llu\n", ue, (unsigned long long)r.entries_found,
                (unsigned long long)r.free_chunks, (unsigned long long)r.nodes);
  }
}
