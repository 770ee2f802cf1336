// Real files in a temporary folder, for the tests of the POSIX layer and of the executable.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cdcopy::testing {

namespace fs = std::filesystem;

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
inline std::vector<std::string> Tree(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    names.push_back(fs::relative(entry.path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace cdcopy::testing
