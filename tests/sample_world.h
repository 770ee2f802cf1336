// Sample discs and an installation in a temporary folder, with a "drive" that shows one disc at
// a time, for the tests that run the built cdcopy.
#pragma once

#include <gtest/gtest.h>
#include <linux/loop.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "terminal_session.h"
#include "test_files.h"

namespace cdcopy::testing {

// Sample discs as a drive shows them: upper-case names, everything read-only.
class World {
 public:
  explicit World(std::size_t archiveSize = 300000, std::size_t logoSize = 5000) {
    WriteSampleDiscs(dir_ / "discs", archiveSize, logoSize);
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

  // The drive is a link to the disc in it; changing discs re-points it in one step.
  void Insert(const std::string& disc) {
    fs::create_symlink(dir_ / ("discs/" + disc), dir_ / "drive.new");
    fs::rename(dir_ / "drive.new", dir_ / "drive");
  }

  std::string Disc(const std::string& relative) { return ReadFile(dir_ / ("discs/" + relative)); }
  std::string Inst(const std::string& relative) { return dir_ / ("inst/" + relative); }
  std::string Root(const std::string& relative) { return dir_ / relative; }
  std::vector<std::string> Installed() { return Tree(dir_ / "inst"); }
  const mode_t fresh = 0666 & ~CurrentUmask();  // a copy's mode

  Launch StartAsShipped() {
    Launch launch = Start();
    return AsShipped(launch);
  }
  Launch Start(std::vector<std::string> extra = {}) {
    Launch launch;
    launch.args = {dir_ / "drive/", dir_ / "inst"};
    launch.args.insert(launch.args.end(), extra.begin(), extra.end());
    launch.stdoutPath = dir_ / "stdout";
    launch.stderrPath = dir_ / "stderr";
    launch.shimLog = dir_ / "shim.log";
    return launch;
  }
  std::string ShimLog() { return ReadFile(dir_ / "shim.log"); }
  // The waits the program asked for, as the shim logged them under virtual time.
  std::string Waits() {
    std::stringstream log(ShimLog());
    std::string waits;
    for (std::string line; std::getline(log, line);) {
      if (line.starts_with("sleep ") || line.starts_with("mount wait ")) waits += line + "\n";
    }
    return waits;
  }
  std::string Stdout() { return ReadFile(dir_ / "stdout"); }
  std::string Stderr() { return ReadFile(dir_ / "stderr"); }

 private:
  TempDir dir_;
};

inline Launch WithoutTerminal(World& w, std::vector<std::string> env = {}) {
  Launch launch = w.Start();
  launch.withTerminal = false;
  launch.env = std::move(env);
  return launch;
}

#define REQUIRE_DRIVE(drive, world) SKIP_OR_FAIL((drive).Open(world))

// A CD-ROM drive as a desktop shows it: one read-only loop device, each disc a squashfs image of
// the world's disc, mounted at a folder named after its label. Needs root.
class DriveDevice {
 public:
  // "" when the drive is ready with no disc in it, else why it cannot be had here.
  std::string Open(World& w) {
    if (geteuid() != 0) return "needs root, for a loop device";
    if (FindProgram({"mksquashfs"}).empty()) return "needs mksquashfs (squashfs-tools)";
    std::size_t size = 0;
    for (const auto& [disc, label] : kLabels) {
      std::string image = w.Root(disc + ".img");
      if (std::system(("mksquashfs " + w.Root("discs/" + disc) + " " + image +
                       " -quiet -noappend -all-root >/dev/null")
                          .c_str()) != 0) {
        return "mksquashfs failed";
      }
      size = std::max<std::size_t>(size, fs::file_size(image));
    }
    // A disc is changed in place of another only for one of the same size.
    for (const auto& entry : kLabels) {
      fs::resize_file(w.Root(entry.first + ".img"), (size + 65535) / 65536 * 65536);
    }
    media_ = w.Root("media");
    images_ = w.Root("");
    fs::create_directories(media_);
    // Another test may take the same free device at the same moment: then ask again.
    bool attached = false;
    for (int attempt = 0; attempt < 10 && !attached; ++attempt) {
      int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
      int number = control < 0 ? -1 : ioctl(control, LOOP_CTL_GET_FREE);
      if (control >= 0) close(control);
      if (number < 0) return "no free loop device";
      path_ = "/dev/loop" + std::to_string(number);
      if (loop_ >= 0) close(loop_);
      loop_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
      int image = open((images_ + "/base.img").c_str(), O_RDONLY | O_CLOEXEC);
      attached = loop_ >= 0 && image >= 0 && ioctl(loop_, LOOP_SET_FD, image) == 0;
      if (image >= 0) close(image);
    }
    if (!attached) return "cannot attach " + path_;
    return "";
  }
  ~DriveDevice() {
    Eject();
    if (loop_ >= 0) {
      ioctl(loop_, LOOP_CLR_FD, 0);
      close(loop_);
    }
  }

  // The drive root as a user names the drive: "/dev/loopN/".
  std::string Root() const { return path_ + "/"; }

  // Takes the disc out (unmounted, as a desktop does), puts `disc` in and mounts it at a folder
  // named after its label; "" leaves the drive empty.
  void Insert(const std::string& disc) {
    Unmount();
    if (disc.empty()) return;
    int image = open((images_ + "/" + disc + ".img").c_str(), O_RDONLY | O_CLOEXEC);
    ioctl(loop_, LOOP_CHANGE_FD, image);
    close(image);
    mounted_ = media_ + "/" + kLabels.at(disc);
    fs::create_directories(mounted_);
    if (mount(path_.c_str(), mounted_.c_str(), "squashfs", MS_RDONLY, nullptr) != 0) {
      ADD_FAILURE() << "cannot mount " << disc << " at " << mounted_;
    }
  }
  void Eject() { Unmount(); }
  // Puts `disc` in once the held run waits for one, and lets it go on; false if it never waits.
  bool InsertOnceWaitedFor(Hold& hold, const std::string& disc) {
    return hold.Until("mount") && (Insert(disc), hold.Go(), true);
  }
  // Mounts `folder` over `below` in the disc (over the whole disc for ""), as a bind mount
  // someone stacked there would; taken away before the disc is.
  std::string Cover(const std::string& below, const std::string& folder) {
    covers_.push_back(mounted_ + "/" + below);
    bool bound = mount(folder.c_str(), covers_.back().c_str(), nullptr, MS_BIND, nullptr) == 0;
    return bound ? "" : "cannot bind-mount " + folder;
  }

  // Mounts the disc in the drive once more at `at`, then `folder` over that mount, as a second
  // desktop and a bind mount stacked on it would; both taken away before the disc is.
  std::string MountAgainCovered(const std::string& at, const std::string& folder) {
    fs::create_directories(at);
    covers_.push_back(at);
    if (mount(path_.c_str(), at.c_str(), "squashfs", MS_RDONLY, nullptr) != 0) {
      return "cannot mount the disc twice";
    }
    covers_.push_back(at);
    return mount(folder.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0 ? "" : "cannot cover";
  }

 private:
  void Unmount() {
    for (; !covers_.empty(); covers_.pop_back()) umount2(covers_.back().c_str(), MNT_DETACH);
    if (mounted_.empty()) return;
    umount2(mounted_.c_str(), MNT_DETACH);
    fs::remove(mounted_);
    mounted_.clear();
  }

  inline static const std::map<std::string, std::string> kLabels = {
      {"base", "KESTRION"}, {"first", "TESSARAND"}, {"second", "OSTMERE"}};
  std::string path_, media_, images_, mounted_;
  std::vector<std::string> covers_;
  int loop_ = -1;
};

// The user `uid` cannot search its way to `path`, or "".
inline std::string Unreachable(const std::string& path, uid_t uid) {
  const int status = InChild([&] {
    return setgid(uid) == 0 && setuid(uid) == 0 && access(path.c_str(), X_OK) == 0 ? 0 : 1;
  });
  return status == 0 ? "" : "user " + std::to_string(uid) + " cannot reach " + path;
}

// Runs as nobody, from a copy of cdcopy (and of the shim) in the world's folder: the build
// folder may lie where nobody cannot reach it (a clone in a private folder).
inline std::string AsNobody(World& w, Launch& launch) {
  chmod(w.Root("").c_str(), 0755);
  launch.exe = w.Root("cdcopy");
  fs::copy_file(CDCOPY_EXE, launch.exe, fs::copy_options::overwrite_existing);
  fs::copy_file(FAULT_SHIM, w.Root("shim.so"), fs::copy_options::overwrite_existing);
  chmod(launch.exe.c_str(), 0755);
  chmod(w.Root("shim.so").c_str(), 0755);
  launch.env.push_back("LD_PRELOAD=" + w.Root("shim.so"));  // for virtual time, as the rest
  launch.uid = kNobody;
  launch.gid = kNobody;
  return Unreachable(launch.exe, kNobody);
}

}  // namespace cdcopy::testing
