// Helpers shared by the native tests of the shared region: a private
// temporary directory for every backing file the suite creates, a region
// fixture that removes its files, and fork helpers whose waits all have a
// deadline.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "shm/arena.hpp"
#include "shm/offset.hpp"
#include "shm/region.hpp"

namespace fennowick::shm_testing {

// The region layer caches the temporary directory on first use, so TMPDIR is
// pointed at a private directory before any test runs. This also checks that
// TMPDIR is honoured (files must appear here) and lets tests list the
// directory to prove that nothing was left behind.
class TempDirEnvironment : public ::testing::Environment {
public:
  static std::string &dir() {
    static std::string d;
    return d;
  }
  void SetUp() override {
    const char *parent = std::getenv("TMPDIR");
    std::string tmpl = std::string(parent && *parent ? parent : "/tmp") + "/fennowick-native-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(tmpl.c_str(), resolved), nullptr);
    dir() = resolved;
    setenv("TMPDIR", resolved, 1);
  }
  void TearDown() override {
    for (const std::string &name : list()) ::unlink((dir() + "/" + name).c_str());
    ::rmdir(dir().c_str());
  }
  static std::vector<std::string> list() {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir().c_str())) {
      while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
};

inline ::testing::Environment *const temp_dir_environment =
    ::testing::AddGlobalTestEnvironment(new TempDirEnvironment);

inline std::string path_of_fd(int fd) {
  char link[64], target[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return {};
  target[n] = 0;
  return target;
}

inline std::uint64_t file_size(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : ~std::uint64_t{0};
}

inline std::string read_file(const std::string &path) {
  std::string bytes;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return bytes;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return bytes;
}

inline void write_file(const std::string &path, const std::string &bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// One process's view of a backing file.
struct View {
  unsigned char *base = nullptr;
  file_handle_t file = invalid_file;
  mapping_handle_t mapping = invalid_mapping;
  std::string path;

  explicit operator bool() const { return base != nullptr; }
  ArenaHeader header() const {
    ArenaHeader h;
    std::memcpy(&h, base, sizeof h);
    return h;
  }
  std::uint64_t bump() const { return header().bump; }
  std::uint64_t arena_size() const { return header().arena_size; }
  std::uint64_t off(const void *p) const { return offset_of(base, p); }
  void close() {
    region_close(base, file, mapping);
    base = nullptr;
  }
};

inline View create_view(std::uint64_t size, unsigned char unit) {
  View v;
  v.base = region_open(size, nullptr, unit, v.file, v.mapping, &v.path);
  return v;
}

inline View open_view(const std::string &path) {
  View v;
  v.base = region_open(file_size(path), path.c_str(), 0, v.file, v.mapping);
  if (v.base) v.path = path;
  return v;
}

// Closes every view it made and removes every file it created or was handed.
class RegionTest : public ::testing::Test {
protected:
  View create(std::uint64_t size, unsigned char unit) {
    View v = create_view(size, unit);
    if (v) {
      views_.push_back(v);
      files_.push_back(v.path);
    }
    return v;
  }
  View open(const std::string &path) {
    View v = open_view(path);
    if (v) views_.push_back(v);
    return v;
  }
  // A scratch file in the private temporary directory, removed at tear-down.
  std::string scratch(const std::string &bytes) {
    std::string path = TempDirEnvironment::dir() + "/scratch-" + std::to_string(files_.size());
    write_file(path, bytes);
    files_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (View &v : views_) v.close();
    for (const std::string &p : files_) ::unlink(p.c_str());
  }

private:
  std::vector<View> views_;
  std::vector<std::string> files_;
};

// Memory shared with forked children, for counters and result tables.
template <class T> T *shared_array(std::size_t n) {
  void *p = mmap(nullptr, sizeof(T) * n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<T *>(p);
}
template <class T> void unmap_array(T *p, std::size_t n) { munmap(p, sizeof(T) * n); }

// Run body in a forked child that ends with _exit(body's result). A child
// that runs past its alarm dies of SIGALRM, which the parent reports.
template <class F> pid_t fork_child(F body, unsigned timeout_seconds = 20) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(timeout_seconds);
    int rc = 98;
    try {
      rc = body();
    } catch (...) {
      rc = 99;
    }
    _exit(rc);
  }
  return pid;
}

// Wait for a child with a deadline; a child still running then is killed.
// Returns a description of how it ended: "exit 0" is success.
inline std::string wait_child(pid_t pid, double timeout_seconds = 30) {
  if (pid < 0) return "fork failed";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return std::string("waitpid: ") + std::strerror(errno);
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return "timed out";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace fennowick::shm_testing
