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
