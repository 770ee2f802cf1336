// Sample discs and an installation in a temporary folder, with a "drive" that shows one disc at
// a time, for the tests that run the built cdcopy.
#pragma once

#include <string>
#include <vector>

#include "terminal_session.h"
#include "test_files.h"

namespace cdcopy::testing {

// Sample discs as a drive shows them: upper-case names, everything read-only.
class World {
 public:
  explicit World(std::size_t archiveSize = 300000, std::size_t logoSize = 5000) {
    WriteFile(dir_ / "discs/base/INSTALL/DATA/KESTCORE/BND0.BND",
              Data("kestrion archive", archiveSize), 0555);
    WriteFile(dir_ / "discs/base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK",
              Data("orrin logo", logoSize), 0555);
    WriteFile(dir_ / "discs/first/DATA/ALL/BND0.BND", Data("tessarand archive", 200000), 0555);
    WriteFile(dir_ / "discs/first/DATA/MAX/HALVANE/VIDEO/LOGO.FLK", Data("halvane logo", 4000),
              0555);
    WriteFile(dir_ / "discs/second/DATA/ALL/BND0.BND", Data("ostmere archive", 250000), 0555);
    WriteFile(dir_ / "discs/second/DATA/MAX/VELMORA/VIDEO/LOGO.FLK", Data("velmora logo", 4500),
              0555);
    WriteFile(dir_ / "discs/nologo/INSTALL/DATA/KESTCORE/BND0.BND", Data("no logo", 1000), 0555);
    fs::create_directories(dir_ / "discs/empty");
    // A disc whose archive leads outside it, to a file only its owner may read.
    WriteFile(dir_ / "outside/secret", "secret", 0600);
    fs::create_directories(dir_ / "discs/linked/INSTALL/DATA/KESTCORE");
    fs::create_symlink(dir_ / "outside/secret",
                       dir_ / "discs/linked/INSTALL/DATA/KESTCORE/BND0.BND");
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / "discs")) {
      if (entry.is_directory()) fs::permissions(entry.path(), fs::perms(0555));
    }
    // The installation's folders in a case of their own: the tool must find, not add, them.
    for (const char* name : {"KestCore", "halvane", "Velmora"}) {
      fs::create_directories(dir_ / ("inst/" + std::string(name)));
    }
    Insert("base");
  }

  static std::string Data(const std::string& seed, std::size_t size) {
    std::string data;
    while (data.size() < size) data += seed + " " + std::to_string(data.size()) + "\n";
    return data;
  }

  // The drive is a link to the disc in it; changing discs re-points it in one step.
  void Insert(const std::string& disc) {
    fs::create_symlink(dir_ / ("discs/" + disc), dir_ / "drive.new");
    fs::rename(dir_ / "drive.new", dir_ / "drive");
  }

  std::string Disc(const std::string& relative) { return ReadFile(dir_ / ("discs/" + relative)); }
  std::string Inst(const std::string& relative) { return dir_ / ("inst/" + relative); }
  std::string Root(const std::string& relative) { return dir_ / relative; }
  std::vector<std::string> Installed() { return Tree(dir_ / "inst"); }

  Launch Start(std::vector<std::string> extra = {}) {
    Launch launch;
    launch.args = {dir_ / "drive/", dir_ / "inst"};
    launch.args.insert(launch.args.end(), extra.begin(), extra.end());
    launch.stdoutPath = dir_ / "stdout";
    launch.stderrPath = dir_ / "stderr";
    return launch;
  }
  std::string Stdout() { return ReadFile(dir_ / "stdout"); }
  std::string Stderr() { return ReadFile(dir_ / "stderr"); }

 private:
  TempDir dir_;
};

}  // namespace cdcopy::testing
