// A full file system never kills a process: on a small tmpfs of its own, a
// creation without room fails with a text and leaves no file, the blocks
// behind the arena follow its bump granule by granule, processes that fill
// the file system get "out of memory" and not SIGBUS, and a sparse file made
// elsewhere is reserved when opened or refused. Also the table from arena
// base to file under concurrent registration.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "shm/reserve.hpp"
#include "shm_test_support.hpp"

namespace fennowick {
namespace {

using shm_testing::TempDirEnvironment;
using shm_testing::View;

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
constexpr std::uint64_t G = reserve_granule;

std::uint64_t allocated_bytes(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : ~std::uint64_t{0};
}

std::uint64_t round_up_page(std::uint64_t a) { return (a + page_size() - 1) / page_size() * page_size(); }

std::string error_text() { return last_error() ? last_error() : "(none)"; }

// A 4 MiB tmpfs mounted for one test; the test is skipped where mounting is
// not allowed.
class SmallFileSystem : public ::testing::Test {
protected:
  static constexpr std::uint64_t fs_size = 4 * MiB;

  void SetUp() override {
    std::string tmpl = TempDirEnvironment::dir() + "/small-fs-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
    dir_ = tmpl;
    const std::string options = "size=" + std::to_string(fs_size) + ",mode=0700";
    if (::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      const int e = errno;
      ::rmdir(dir_.c_str());
      dir_.clear();
      GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(e);
    }
  }
  void TearDown() override {
    for (View &v : views_) v.close();
    if (dir_.empty()) return;
    ::umount2(dir_.c_str(), MNT_DETACH);
    ::rmdir(dir_.c_str());
  }

  View create(std::uint64_t size, unsigned char unit = 32) {
    View v;
    v.base = region_create_in(dir_.c_str(), size, unit, v.file, v.mapping, &v.path);
    if (v) views_.push_back(v);
    return v;
  }
  View open(const std::string &path) {
    View v = shm_testing::open_view(path);
    if (v) views_.push_back(v);
    return v;
  }
  std::uint64_t free_bytes() const {
    struct statvfs s;
    return ::statvfs(dir_.c_str(), &s) == 0 ? static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize : 0;
  }
  // Takes all free space but `leave` bytes with a file of its own.
  void fill_leaving(std::uint64_t leave) {
    const std::string filler = dir_ + "/filler";
    int fd = ::open(filler.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::fallocate(fd, 0, 0, static_cast<off_t>(free_bytes() - leave)), 0) << std::strerror(errno);
    ::close(fd);
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir_.c_str())) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }

  std::string dir_;
  std::vector<View> views_;
};

// ---------------------------------------------------------------- creation

TEST_F(SmallFileSystem, CreationWithoutRoomForItsFirstGranuleFailsNamingTheDirectoryAndSize) {
  ASSERT_NO_FATAL_FAILURE(fill_leaving(G / 2));
  record_error(0, nullptr);
  errno = 0;
  View v = create(64 * MiB);
  EXPECT_FALSE(v);
  const std::string text = error_text();
  EXPECT_EQ(text.rfind("mm:core: no space for a map of 67108864 bytes in " + dir_, 0), 0u) << text;
  EXPECT_NE(text.find(std::strerror(ENOSPC)), std::string::npos) << text;
  EXPECT_EQ(files(), std::vector<std::string>{"filler"}) << "the failed creation leaves no file";
}

// The blocks follow the bump: a map far larger than the file system is
// created, and after each allocation the granules the bump has entered
// (plus the headers before the arena) are allocated, and at most the
// lookahead that allocations reserve outside the arena lock beyond them.
TEST_F(SmallFileSystem, BlocksFollowTheBumpGranuleByGranule) {
  View v = create(650'000'000);
  ASSERT_TRUE(v) << error_text();
  auto reserved_for_bump = [&] { return round_up_page(region_header_size + round_up_granule(v.bump())); };
  EXPECT_EQ(allocated_bytes(v.path), round_up_page(region_header_size + G));

  struct Step {
    const char *what;
    void *(*alloc)(unsigned char *);
  };
  const Step steps[] = {
      {"a run of chunks inside the first granule",
       [](unsigned char *a) -> void * { return arena_alloc_chunks(a, 100, unit_node); }},
      {"a block up to just below the granule boundary",
       [](unsigned char *a) -> void * { return arena_alloc_block(a, G - 8 - 64 - 100 * 184 - 8); }},
      {"a chunk that crosses it", [](unsigned char *a) -> void * { return arena_alloc_chunks(a, 1, 16); }},
      {"a block spanning one and a half granules",
       [](unsigned char *a) -> void * { return arena_alloc_block(a, G + G / 2); }},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_NE(s.alloc(v.base), nullptr) << error_text();
    EXPECT_GE(allocated_bytes(v.path), reserved_for_bump()) << "bump " << v.bump();
    EXPECT_LE(allocated_bytes(v.path), reserved_for_bump() + reserve_lookahead) << "bump " << v.bump();
  }
  EXPECT_EQ(v.bump(), G - 8 + 24 + block_size_for(G + G / 2)) << "the steps crossed where they meant to";

  // A block that does not fit the file system fails as out of memory and
  // leaves the bump as it was; the space that is there stays usable.
  const std::uint64_t bump = v.bump();
  record_error(0, nullptr);
  errno = 0;
  EXPECT_EQ(arena_alloc_block(v.base, fs_size), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(error_text(), "mm:alloc: out of memory");
  EXPECT_EQ(v.bump(), bump);
  EXPECT_NE(arena_alloc_block(v.base, G / 4), nullptr) << error_text();
}

// Processes that each map the file on their own carve and write until the
// file system is full: every one ends with "out of memory", none with a
// signal, and everything handed out has its blocks.
TEST_F(SmallFileSystem, ProcessesThatFillTheFileSystemGetOutOfMemoryAndNoSignal) {
  View v = create(650'000'000);
  ASSERT_TRUE(v) << error_text();
  constexpr int processes = 2;
  auto *ready = shm_testing::shared_array<std::atomic<int>>(1);
  ASSERT_NE(ready, nullptr);
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p)
    children.push_back(shm_testing::fork_child([&, p] {
      View mine = shm_testing::open_view(v.path);
      if (!mine) return 90;
      // Start together, so that the two really race for the last granules.
      ready->fetch_add(1);
      while (ready->load() < processes) std::this_thread::yield();
      const std::uint8_t unit = p == 0 ? unit_node : 32;
      for (int rounds = 0;; ++rounds) {
        // Every byte handed out is written: a page without a block behind
        // it faults here.
        unsigned char *run = arena_alloc_chunks(mine.base, 7, unit);
        if (run == nullptr) break;
        std::uint64_t off = offset_of(mine.base, run);
        for (int i = 0; i < 7; ++i) {
          const std::uint64_t next = load<std::uint64_t>(mine.base + off + 2);
          std::memset(mine.base + off + 2, 0xa0 + p, unit);
          off = next;
        }
        if (rounds % 64 == 0) {
          void *block = arena_alloc_block(mine.base, 5000);
          if (block == nullptr) break;
          std::memset(block, 0xb0 + p, 5000);
        }
      }
      const bool clean = errno == ENOMEM && error_text() == "mm:alloc: out of memory";
      mine.close();
      return clean ? 0 : 91;
    }));
  for (pid_t pid : children) EXPECT_EQ(shm_testing::wait_child(pid, 60), "exit 0");
  shm_testing::unmap_array(ready, 1);

  EXPECT_LT(free_bytes(), G) << "the file system was filled";
  EXPECT_GE(allocated_bytes(v.path), region_header_size + v.bump()) << "everything handed out has blocks";
  EXPECT_EQ(arena_alloc_block(v.base, G), nullptr) << "this view sees the full file system too";
}

// ---------------------------------------------------------------- opening

struct SparseOpenCase {
  const char *name;
  std::uint64_t bump;    // arena bump written into the sparse copy
  bool opens;            // with the used part reserved; else refused
};

void PrintTo(const SparseOpenCase &c, std::ostream *os) { *os << c.name; }

class SparseOpen : public SmallFileSystem, public ::testing::WithParamInterface<SparseOpenCase> {};

// A map file made elsewhere (copied sparse, or by a build that did not
// reserve): only its headers have blocks. Opening reserves the used part
// before writing anything, or refuses the file with nothing written.
TEST_P(SparseOpen, UsedPartIsReservedBeforeTheFirstWriteOrTheOpenIsRefused) {
  const SparseOpenCase c = GetParam();
  View model = shm_testing::create_view(8 * MiB, 32);  // in the suite's own directory
  ASSERT_TRUE(model) << error_text();
  std::string page(model.base - region_header_size, model.base - region_header_size + page_size());
  const std::uint64_t file_size = model.mapping;
  model.close();
  ::unlink(model.path.c_str());
  store<std::uint64_t>(page.data() + region_header_size + 8, c.bump);

  const std::string path = dir_ + "/copied";
  shm_testing::write_file(path, page);
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(file_size)), 0);
  const std::string before = shm_testing::read_file(path);
  ASSERT_EQ(allocated_bytes(path), page_size());

  record_error(0, nullptr);
  View v = open(path);
  if (c.opens) {
    ASSERT_TRUE(v) << error_text();
    EXPECT_EQ(allocated_bytes(path), round_up_page(region_header_size + round_up_granule(c.bump)));
    unsigned char *run = arena_alloc_chunks(v.base, 1, 16);
    ASSERT_NE(run, nullptr) << error_text();
    EXPECT_EQ(v.off(run), c.bump);
  } else {
    EXPECT_FALSE(v);
    const std::string text = error_text();
    EXPECT_EQ(text.rfind("mm:core: no space to reserve the ", 0), 0u) << text;
    EXPECT_NE(text.find("map file " + path), std::string::npos) << text;
    EXPECT_NE(text.find(std::strerror(ENOSPC)), std::string::npos) << text;
    EXPECT_EQ(shm_testing::read_file(path), before) << "a refused file is left byte for byte as it was";
  }
}

INSTANTIATE_TEST_SUITE_P(Bumps, SparseOpen,
                         ::testing::Values(SparseOpenCase{"UsedPartFits", 2 * MiB + 8, true},
                                           SparseOpenCase{"UsedPartLargerThanTheFileSystem", 5 * MiB, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the table

// Threads register many arenas at once (more than one page of slots), each
// with a file of its own; a reservation through an arena base lands in that
// base's file and no other, and a base no longer registered reserves nothing.
TEST_F(SmallFileSystem, EachArenaBaseReservesInItsOwnFile) {
  constexpr int threads = 4, per_thread = 50, n = threads * per_thread;
  constexpr std::uint64_t span = 8192;  // two pages: [span, 2 span) of the file
  static unsigned char bases[n];  // stand-ins for arena bases: only their addresses count
  std::vector<int> fds(n);
  std::vector<std::string> paths(n);
  for (int i = 0; i < n; ++i) {
    paths[i] = dir_ + "/f" + std::to_string(i);
    fds[i] = ::open(paths[i].c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fds[i], 0) << std::strerror(errno);
    ASSERT_EQ(::ftruncate(fds[i], 16 * span), 0);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = t; i < n; i += threads)
        if (!register_reserve_file(&bases[i], fds[i], 16 * span)) ++failures;
      // Odd entries leave again before any reservation.
      for (int i = t; i < n; i += threads)
        if (i % 2) unregister_reserve_file(&bases[i]);
      for (int i = t; i < n; i += threads)
        if (!reserve_arena_range(&bases[i], span - region_header_size, 2 * span - region_header_size))
          ++failures;
    });
  for (auto &w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(allocated_bytes(paths[i]), i % 2 ? 0 : span) << "file " << i;
    unregister_reserve_file(&bases[i]);
    ::close(fds[i]);
  }
}

}  // namespace
}  // namespace fennowick
