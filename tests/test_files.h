// Real files in a temporary folder, for the tests of the POSIX layer and of the executable.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace cdcopy::testing {

namespace fs = std::filesystem;

// The user the tests hand an installation to, where a run as root must act as its owner.
inline constexpr uid_t kNobody = 65534;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "cdcopy-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { RemoveTree(path_); }

  // Read-only folders (sample discs) must be opened up before they can be removed.
  static void RemoveTree(const std::string& path) {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(path, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
    }
    fs::remove_all(path, ignored);
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// A small file system (tmpfs, with `options` such as "size=256k") mounted over `at` while this
// lives. Mounting needs root: Mounted() says whether it took.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& at, const std::string& options) : at_(at) {
    mounted_ = mount("cdcopy-test", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  ~SmallFileSystem() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  unsigned long FreeBlocks() const {
    struct statvfs st;
    return statvfs(at_.c_str(), &st) == 0 ? st.f_bfree : 0;
  }

 private:
  std::string at_;
  bool mounted_ = false;
};

inline void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  fs::create_directories(fs::path(path).parent_path());
  { std::ofstream(path, std::ios::binary) << content; }
  chmod(path.c_str(), mode);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline mode_t Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Every entry below `dir`, hidden ones included, relative and sorted.
inline std::string Repeat(const std::string& text, int times) {
  std::string out;
  while (times-- > 0) out += text;
  return out;
}

inline std::vector<std::string> Tree(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    names.push_back(entry.path().lexically_relative(dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A wait status as a shell shows it: the exit status, 128 and the signal for a program a signal
// ended, -1 for one that did not end.
inline int ExitCode(int status) {
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `body` in a child process, which ends with what `body` returns: that, by ExitCode().
inline int InChild(const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = -1;
  waitpid(child, &status, 0);
  return ExitCode(status);
}

// The first of `names` found: a path as given, a name on PATH; "" for none.
inline std::string FindProgram(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (name[0] == '/') {
      if (access(name, X_OK) == 0) return name;
      continue;
    }
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
      std::string candidate = dir + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return "";
}

inline mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Every table row has a name, by which a failing row is printed; a test file takes it in with
// `using cdcopy::testing::PrintTo;` where its rows are declared.
template <typename Row>
requires requires(const Row& row) {
  row.name;
}
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// Whether `why` names, in brackets as the reasons do, a package that scripts/install-deps could
// not install on this machine (scripts/test lists them in CDCOPY_NOT_INSTALLED).
inline bool NamesPackageNotInstalled(const std::string& why) {
  const char* list = std::getenv("CDCOPY_NOT_INSTALLED");
  std::stringstream packages(list ? list : "");
  for (std::string package; packages >> package;) {
    package.resize(std::min(package.size(), package.find(':')));
    if (why.find('(' + package) != std::string::npos) return true;
  }
  return false;
}

// Skips the test saying why, where `why` is not ""; as root under CI, where everything the tests
// need must work, fails it instead, unless it names a package that could not be installed.
#define SKIP_OR_FAIL(why_)                                                                   \
  do {                                                                                       \
    std::string why = (why_);                                                                \
    if (why.empty()) break;                                                                  \
    const char* ci = std::getenv("CI");                                                      \
    if (geteuid() == 0 && ci && std::string(ci) == "true" && !NamesPackageNotInstalled(why)) \
      FAIL() << why;                                                                         \
    GTEST_SKIP() << why;                                                                     \
  } while (0)

// "" as root, else why the test cannot run: for SKIP_OR_FAIL.
inline std::string NeedsRoot(const char* why = "needs root") {
  return geteuid() ? why : "";
}

// A folder on /dev/shm, another file system than `here`'s, or "" where there is none.
inline std::string ShmFolder(const std::string& here) {
  struct stat shm, st;
  if (stat("/dev/shm", &shm) != 0 || stat(here.c_str(), &st) != 0 || shm.st_dev == st.st_dev) {
    return "";
  }
  return "/dev/shm/cdcopy-test-" + std::to_string(getpid());
}

inline std::string SampleData(const std::string& seed, std::size_t size) {
  std::string data;
  while (data.size() < size) data += seed + " " + std::to_string(data.size()) + "\n";
  return data;
}

// The sample discs, in folders named base, first, second, nologo and empty below `discs`, as a
// drive shows them: upper-case names, everything read-only.
inline void WriteSampleDiscs(const std::string& discs, std::size_t archiveSize = 300000,
                             std::size_t logoSize = 5000) {
  const std::pair<const char*, std::string> files[] = {
      {"base/INSTALL/DATA/KESTCORE/BND0.BND", SampleData("kestrion archive", archiveSize)},
      {"base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK", SampleData("orrin logo", logoSize)},
      {"first/DATA/ALL/BND0.BND", SampleData("tessarand archive", 200000)},
      {"first/DATA/MAX/HALVANE/VIDEO/LOGO.FLK", SampleData("halvane logo", 4000)},
      {"second/DATA/ALL/BND0.BND", SampleData("ostmere archive", 250000)},
      {"second/DATA/MAX/VELMORA/VIDEO/LOGO.FLK", SampleData("velmora logo", 4500)},
      {"nologo/INSTALL/DATA/KESTCORE/BND0.BND", SampleData("no logo", 1000)}};
  for (const auto& [name, data] : files) WriteFile(discs + "/" + name, data, 0555);
  fs::create_directories(discs + "/empty");
}

// A copy is the disc's file byte for byte and writable by its owner (with `w.fresh` set, of
// exactly that mode). `W` names a file of the installation by Inst() and reads a disc's by Disc().
template <typename W>
void ExpectCopied(W& w, const std::string& installed, const std::string& disc) {
  EXPECT_TRUE(ReadFile(w.Inst(installed)) == w.Disc(disc)) << installed;
  const mode_t mode = Mode(w.Inst(installed));
  EXPECT_TRUE(w.fresh ? mode == w.fresh : (mode & S_IWUSR) != 0) << installed << std::oct << mode;
}

template <typename W>
void ExpectBaseCopied(W& w) {
  ExpectCopied(w, "KestCore/bnd0.bnd", "base/INSTALL/DATA/KESTCORE/BND0.BND");
  ExpectCopied(w, "KestCore/video/orrinmark.flk", "base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK");
}

// Each of the three discs' files copied.
template <typename W>
void ExpectAllCopied(W& w) {
  ExpectBaseCopied(w);
  ExpectCopied(w, "halvane/bnd0.bnd", "first/DATA/ALL/BND0.BND");
  ExpectCopied(w, "halvane/video/logo.flk", "first/DATA/MAX/HALVANE/VIDEO/LOGO.FLK");
  ExpectCopied(w, "Velmora/bnd0.bnd", "second/DATA/ALL/BND0.BND");
  ExpectCopied(w, "Velmora/video/logo.flk", "second/DATA/MAX/VELMORA/VIDEO/LOGO.FLK");
}

}  // namespace cdcopy::testing
