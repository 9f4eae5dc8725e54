// Backing file and mapping: the bytes a new file starts with, where and how
// it is created, opening without growing or writing, refusal of files that
// are not regions, and the last-error text.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "shm_test_support.hpp"

namespace fennowick {
namespace {

using shm_testing::file_size;
using shm_testing::read_file;
using shm_testing::RegionTest;
using shm_testing::TempDirEnvironment;

std::uint64_t u64_at(const std::string &bytes, std::size_t off) { return load<std::uint64_t>(bytes.data() + off); }
std::uint32_t u32_at(const std::string &bytes, std::size_t off) { return load<std::uint32_t>(bytes.data() + off); }
unsigned u8_at(const std::string &bytes, std::size_t off) { return static_cast<unsigned char>(bytes[off]); }

// ---------------------------------------------------------------- creation

// size = page_multiple pages + delta bytes
struct CreateCase {
  std::uint64_t page_multiple;
  std::int64_t delta;
  unsigned char unit;
  std::uint64_t pages;  // expected mapped size in pages
  std::uint64_t size() const { return page_multiple * page_size() + delta; }
};

void PrintTo(const CreateCase &c, std::ostream *os) {
  *os << "size " << c.page_multiple << "P" << std::showpos << c.delta << std::noshowpos << " unit " << +c.unit
      << " -> " << c.pages << " pages";
}

class RegionCreate : public RegionTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(RegionCreate, NewFileHoldsExactlyTheHeadersAndZeros) {
  const CreateCase c = GetParam();
  const std::uint64_t P = page_size(), size = c.size();
  ASSERT_EQ(P, static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));

  shm_testing::View v = create(size, c.unit);
  ASSERT_TRUE(v) << last_error();
  EXPECT_EQ(v.mapping, c.pages * P);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.base) % P, region_header_size);

  const std::string f = read_file(v.path);
  ASSERT_EQ(f.size(), c.pages * P) << "the file is sized to the mapping";

  // RegionHeader
  EXPECT_EQ(u64_at(f, 0), c.pages * P);
  EXPECT_EQ(u64_at(f, 8), size + 64);
  EXPECT_EQ(u32_at(f, 16), 0u);
  EXPECT_EQ(u32_at(f, 20), 0u);
  // ArenaHeader, at file offset 24
  const std::size_t a = 24;
  EXPECT_EQ(u64_at(f, a + 0), size + 64) << "arena size";
  EXPECT_EQ(u64_at(f, a + 8), 64u) << "bump offset";
  EXPECT_EQ(u8_at(f, a + 16), c.unit);
  const unsigned expected_records[4][2] = {
      {0, 0}, {178, 176}, {18, 16}, {static_cast<unsigned char>(c.unit + 2), c.unit}};
  for (int r = 0; r < 4; ++r) {
    const std::size_t rec = a + 17 + 10 * r;
    EXPECT_EQ(u8_at(f, rec), expected_records[r][0]) << "record " << r;
    EXPECT_EQ(u8_at(f, rec + 1), expected_records[r][1]) << "record " << r;
    EXPECT_EQ(u64_at(f, rec + 2), 0u) << "record " << r << " head";
  }
  EXPECT_EQ(std::count(f.begin() + a + 57, f.end(), '\0'), static_cast<long>(f.size() - a - 57))
      << "reserved bytes and chunk space read as zero";
}

INSTANTIATE_TEST_SUITE_P(Sizes, RegionCreate,
                         ::testing::Values(CreateCase{0, 1, 32, 1},
                                           CreateCase{1, -88, 8, 1},   // headers and space fill one page
                                           CreateCase{1, -87, 16, 2},  // one byte over
                                           CreateCase{3, 0, 128, 4},
                                           CreateCase{256, 0, 64, 257},
                                           CreateCase{0, 1000, 0, 1},     // exponent 8 or more
                                           CreateCase{0, 1000, 254, 1}));  // unit + 2 wraps to 0

TEST_F(RegionTest, CreatesPrivateUniqueFilesNamedAfterTheProcess) {
  shm_testing::View a = create(4096, 32), b = create(4096, 32);
  ASSERT_TRUE(a && b) << last_error();
  EXPECT_NE(a.path, b.path);
  const std::string prefix = TempDirEnvironment::dir() + "/mm" + std::to_string(getpid());
  for (const shm_testing::View *v : {&a, &b}) {
    EXPECT_EQ(v->path.rfind(prefix, 0), 0u) << v->path << " should start with " << prefix;
    EXPECT_EQ(shm_testing::path_of_fd(v->file), v->path) << "the reported path is the mapped file";
    struct stat st;
    ASSERT_EQ(::stat(v->path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "only the owner may open a map file";
  }
  // Separate files: a write into one is not seen in the other.
  a.base[1000] = 0x5a;
  EXPECT_EQ(b.base[1000], 0);
}

TEST_F(RegionTest, SizeZeroFailsWithEinvalAndKeepsTheLastError) {
  const std::string existing = create(4096, 32).path;
  ASSERT_FALSE(existing.empty());
  for (const char *name : {static_cast<const char *>(nullptr), existing.c_str()}) {
    record_error(err_core, "earlier failure");
    errno = 0;
    file_handle_t file = invalid_file;
    mapping_handle_t mapping = invalid_mapping;
    EXPECT_EQ(region_open(0, name, 32, file, mapping), nullptr);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_NE(last_error(), nullptr);
    EXPECT_STREQ(last_error(), "mm:core: earlier failure");
  }
}

TEST_F(RegionTest, FailedCreateLeavesNoFileBehind) {
  const auto before = TempDirEnvironment::list();
  // The first size wraps when the headers are added; the second is more than
  // any file system here will size or map.
  for (std::uint64_t size : {~std::uint64_t{0} - 10, std::uint64_t{1} << 62}) {
    record_error(0, nullptr);
    shm_testing::View v = create(size, 32);
    EXPECT_FALSE(v) << "size " << size;
    ASSERT_NE(last_error(), nullptr) << "size " << size;
    EXPECT_EQ(std::string(last_error()).rfind("mm:core: ", 0), 0u) << last_error();
  }
  EXPECT_EQ(TempDirEnvironment::list(), before);
}

// ---------------------------------------------------------------- opening

struct OpenCase {
  const char *name;
  bool trim_to_arena_end;  // cut the file to the end of the arena (not a page multiple)
};

void PrintTo(const OpenCase &c, std::ostream *os) { *os << c.name; }

class RegionOpen : public RegionTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(RegionOpen, MapsTheFileAtItsOwnSizeAndRewritesOnlyTheInformationalWords) {
  const std::uint64_t size = 3 * 4096 + 100;
  shm_testing::View creator = create(size, 32);
  ASSERT_TRUE(creator) << last_error();
  // Some state in the arena and a held arena lock that opening must not touch.
  ASSERT_NE(arena_alloc_chunks(creator.base, 3, 16), nullptr);
  arena_lock_word(creator.base) = 1;
  if (GetParam().trim_to_arena_end) {
    ASSERT_EQ(::truncate(creator.path.c_str(), size + 88), 0);
  }
  const std::string before = read_file(creator.path);

  shm_testing::View opener = open(creator.path);
  ASSERT_TRUE(opener) << last_error();
  EXPECT_EQ(opener.mapping, before.size());

  const std::string after = read_file(creator.path);
  ASSERT_EQ(after.size(), before.size()) << "opening must never grow the file";
  EXPECT_EQ(u64_at(after, 0), before.size());
  EXPECT_EQ(u64_at(after, 8), before.size() + 64);
  EXPECT_EQ(after.substr(16), before.substr(16)) << "lock word and arena left as they were";

  // Both views are the same memory, at different addresses.
  EXPECT_NE(opener.base, creator.base);
  creator.base[size + 63] = 0x77;
  EXPECT_EQ(opener.base[size + 63], 0x77);
  arena_lock_word(creator.base) = 0;
  unsigned char *chunk = arena_alloc_chunks(opener.base, 1, 16);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(creator.bump(), opener.off(chunk) + 24) << "carved through the other view";

  // Closing never deletes the file; a later open sees what was written.
  creator.close();
  opener.close();
  shm_testing::View again = open(creator.path);
  ASSERT_TRUE(again) << last_error();
  EXPECT_EQ(again.base[size + 63], 0x77);
}

INSTANTIATE_TEST_SUITE_P(FileSizes, RegionOpen,
                         ::testing::Values(OpenCase{"PageMultiple", false}, OpenCase{"ArenaEndExactly", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// A file that is not a region is refused before anything is written to it.
struct RefusalCase {
  const char *name;
  std::function<void(std::string &)> damage;  // applied to the bytes of a fresh region file
};

void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class RegionRefusal : public RegionTest, public ::testing::WithParamInterface<RefusalCase> {};

void put_u64(std::string &bytes, std::size_t off, std::uint64_t v) { store<std::uint64_t>(bytes.data() + off, v); }

TEST_P(RegionRefusal, ReturnsNullWithTextAndLeavesTheFileUntouched) {
  shm_testing::View fresh = create(8192, 32);
  ASSERT_TRUE(fresh) << last_error();
  std::string bytes = shm_testing::read_file(fresh.path);
  GetParam().damage(bytes);
  const std::string path = scratch(bytes);

  record_error(0, nullptr);
  file_handle_t file = invalid_file;
  mapping_handle_t mapping = invalid_mapping;
  const std::uint64_t size = std::max<std::uint64_t>(file_size(path), 1);
  EXPECT_EQ(region_open(size, path.c_str(), 0, file, mapping), nullptr);
  ASSERT_NE(last_error(), nullptr);
  EXPECT_EQ(std::string(last_error()).rfind("mm:core: ", 0), 0u) << last_error();
  EXPECT_EQ(shm_testing::read_file(path), bytes) << "a refused file is left byte for byte as it was";
}

constexpr std::size_t A = 24;  // file offset of the arena base

INSTANTIATE_TEST_SUITE_P(
    NotARegion, RegionRefusal,
    ::testing::Values(
        RefusalCase{"Empty", [](std::string &b) { b.clear(); }},
        RefusalCase{"ShorterThanHeaders", [](std::string &b) { b.resize(87); }},
        RefusalCase{"PlainText", [](std::string &b) { b = std::string(300, 'x') + "\n"; }},
        RefusalCase{"Signature27", [](std::string &b) { b[A + 27] = char(177); }},
        RefusalCase{"Signature28", [](std::string &b) { b[A + 28] = 0; }},
        RefusalCase{"Signature37", [](std::string &b) { b[A + 37] = char(19); }},
        RefusalCase{"Signature38", [](std::string &b) { b[A + 38] = char(176); }},
        RefusalCase{"ArenaSizeOneByteTooLarge",
                    [](std::string &b) { put_u64(b, A, b.size() - A + 1); }},
        RefusalCase{"ArenaSizeHuge", [](std::string &b) { put_u64(b, A, ~std::uint64_t{0} - 7); }},
        RefusalCase{"ArenaSizeBelowHeader", [](std::string &b) { put_u64(b, A, 63); }},
        RefusalCase{"BumpPastArenaEnd",
                    [](std::string &b) { put_u64(b, A + 8, load<std::uint64_t>(b.data() + A) + 8); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RegionTest, OpenOfMissingPathOrDirectoryFailsAndDeletesNothing) {
  const std::string missing = TempDirEnvironment::dir() + "/no-such-map";
  const auto before = TempDirEnvironment::list();
  for (const std::string &path : {missing, TempDirEnvironment::dir()}) {
    record_error(0, nullptr);
    file_handle_t file = invalid_file;
    mapping_handle_t mapping = invalid_mapping;
    EXPECT_EQ(region_open(4096, path.c_str(), 0, file, mapping), nullptr) << path;
    ASSERT_NE(last_error(), nullptr);
    EXPECT_EQ(std::string(last_error()).rfind("mm:core: failed to create memory file", 0), 0u) << last_error();
  }
  EXPECT_EQ(TempDirEnvironment::list(), before);
}

TEST_F(RegionTest, CloseOfNullBaseDoesNothing) {
  record_error(err_core, "kept");
  region_close(nullptr, invalid_file, invalid_mapping);
  EXPECT_STREQ(last_error(), "mm:core: kept");
}

// ---------------------------------------------------------------- last error

struct ErrorCase {
  const char *name;
  const char *preset;  // recorded with flags 0 first (null: buffer emptied)
  int flags;
  std::size_t filler;  // length of the text ('x' repeated); 0: use "text"
  int err;             // errno at the call
  std::function<std::string()> expected;
};

std::string xs(std::size_t n) { return std::string(n, 'x'); }
std::string enoent() { return std::strerror(ENOENT); }

void PrintTo(const ErrorCase &c, std::ostream *os) { *os << c.name; }

class LastError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(LastError, RecordErrorComposesPrefixTextAndErrnoWithinTheCap) {
  const ErrorCase c = GetParam();
  record_error(0, nullptr);
  if (c.preset) record_error(0, c.preset);
  const std::string text = c.filler ? xs(c.filler) : "text";
  errno = c.err;
  record_error(c.flags, text.c_str());
  EXPECT_EQ(errno, c.err) << "errno is left as it was";
  ASSERT_NE(last_error(), nullptr);
  const std::string got = last_error(), want = c.expected();
  EXPECT_EQ(got.size(), want.size());
  EXPECT_EQ(got, want);
  EXPECT_LE(got.size(), 1024u);
}

// The prefix "mm:core: " is 9 characters; fillers below put the text's end
// at the boundaries of the errno suffix rule (" (" needs the buffer at <= 1021,
// ")" at <= 1022 after the errno text).
INSTANTIATE_TEST_SUITE_P(
    Texts, LastError,
    ::testing::Values(
        ErrorCase{"CoreWithErrno", nullptr, 6, 0, ENOENT, [] { return "mm:core: text (" + enoent() + ")"; }},
        ErrorCase{"CoreErrnoZero", nullptr, 6, 0, 0, [] { return std::string("mm:core: text"); }},
        ErrorCase{"AllocReplacesEarlierText", "old", 1, 0, ENOMEM, [] { return std::string("mm:alloc: text"); }},
        ErrorCase{"AllocWithErrno", nullptr, 5, 0, EINVAL,
                  [] { return "mm:alloc: text (" + std::string(std::strerror(EINVAL)) + ")"; }},
        ErrorCase{"NoPrefixAppends", "mm:core: a", 0, 0, ENOENT, [] { return std::string("mm:core: atext"); }},
        ErrorCase{"LongTextCut", nullptr, 2, 2000, 0, [] { return "mm:core: " + xs(1015); }},
        ErrorCase{"CloseParenFits", nullptr, 6, 986, ENOENT,
                  [] { return "mm:core: " + xs(986) + " (" + enoent() + ")"; }},
        ErrorCase{"CloseParenDropped", nullptr, 6, 987, ENOENT,
                  [] { return "mm:core: " + xs(987) + " (" + enoent(); }},
        ErrorCase{"ErrnoTextCut", nullptr, 6, 1011, ENOENT,
                  [] { return "mm:core: " + xs(1011) + " (" + enoent().substr(0, 2); }},
        ErrorCase{"OpenParenLastToFit", nullptr, 6, 1012, ENOENT,
                  [] { return "mm:core: " + xs(1012) + " (" + enoent().substr(0, 1); }},
        ErrorCase{"OpenParenDropped", nullptr, 6, 1013, ENOENT,
                  [] { return "mm:core: " + xs(1013) + enoent().substr(0, 2); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(LastErrorState, NullTextEmptiesTheBufferAndEachThreadHasItsOwn) {
  record_error(err_core, "main thread");
  std::string seen_in_thread;
  bool thread_started_empty = false;
  std::thread t([&] {
    thread_started_empty = last_error() == nullptr;
    file_handle_t file = invalid_file;
    mapping_handle_t mapping = invalid_mapping;
    region_open(4096, "/nonexistent/map", 0, file, mapping);
    seen_in_thread = last_error() ? last_error() : "";
  });
  t.join();
  EXPECT_TRUE(thread_started_empty);
  EXPECT_EQ(seen_in_thread.rfind("mm:core: failed to create memory file", 0), 0u) << seen_in_thread;
  EXPECT_STREQ(last_error(), "mm:core: main thread");

  record_error(0, nullptr);
  EXPECT_EQ(last_error(), nullptr);
}

}  // namespace
}  // namespace fennowick
