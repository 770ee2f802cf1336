// The POSIX platform layer on real folders: the contract the run relies on from Windows.
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <clocale>
#include <cwchar>
#include <sstream>

#include "platform/posix/boxes/box_layout.h"
#include "platform/posix/boxes/terminal_box.h"
#include "platform/posix/copying/file_copy.h"
#include "platform/posix/copying/temp_file.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/reach/case_blind_path.h"
#include "platform/posix/reach/drive_device.h"
#include "platform/posix/reach/walk.h"
#include "sample_world.h"
#include "test_files.h"

namespace cdcopy::testing {
namespace {

// The boxes measure text in the locale the environment gives; these tests draw in UTF-8.
[[maybe_unused]] const bool kUtf8Terminal = setenv("LC_ALL", "C.UTF-8", 1) == 0;

using posix::PosixPlatform;

// A path as the run hands it over: composed from `root` where it begins with it and a separator
// follows; from no root of the run's otherwise.
template <typename Path>
Path Under(const std::string& root, const std::string& full) {
  const bool under = full.starts_with(root) &&
                     (root.ends_with('/') || full[root.size()] == '/' || full[root.size()] == '\\');
  return Path{{full.c_str(), under ? root.size() : 0}};
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  // Composed paths use '\' after the folder, as the run composes them.
  std::string Win(const std::string& relative) { return dir_.Path() + "\\" + relative; }
  std::string At(const std::string& relative) { return dir_ / relative; }
  DiscPath Src(const std::string& full, const std::string& drive = "") {
    return Under<DiscPath>(drive.empty() ? dir_.Path() + "/" : drive, full);
  }
  InstallPath Dst(const std::string& full) { return Under<InstallPath>(dir_.Path(), full); }

  // The folder is both the drive root and the installation.
  PosixPlatform Platform(posix::PlatformOptions options = {}, const std::string& drive = "") {
    return PosixPlatform(drive.empty() ? (dir_.Path() + "/").c_str() : drive.c_str(),
                         dir_.Path().c_str(), options);
  }

  TempDir dir_;
  PosixPlatform platform_ = Platform();
  const mode_t fresh_ = 0666 & ~CurrentUmask();
};

// The rows that need root to run in full: their own suite, which gives them their label.
using AsRoot = PosixPlatformTest;

TEST_F(PosixPlatformTest, NamesMatchWithoutRegardToCase) {
  WriteFile(At("disc/INSTALL/DATA/KESTCORE/BND0.BND;1"), "archive", 0555);
  fs::create_directories(At("inst/KESTCORE"));

  // On a disc, a name with an ISO 9660 version after it is the name.
  ASSERT_TRUE(platform_.CopyFileA(Src(At("disc/") + "install\\data\\kestcore\\bnd0.bnd"),
                                  Dst(Win("inst\\kestcore\\bnd0.bnd")), false));
  ASSERT_TRUE(platform_.CreateDirectoryA(Dst(Win("inst\\kestcore\\video"))));
  EXPECT_FALSE(platform_.CreateDirectoryA(Dst(Win("inst\\Kestcore\\VIDEO"))));
  // Everything went into the one KESTCORE folder; no second one beside it.
  EXPECT_EQ(Tree(At("inst")),
            (std::vector<std::string>{"KESTCORE", "KESTCORE/bnd0.bnd", "KESTCORE/video"}));
  EXPECT_EQ(ReadFile(At("inst/KESTCORE/bnd0.bnd")), "archive");
  // A drive folder without its slash is that folder.
  const std::string noSlash = At("disc") + "install\\data\\kestcore\\bnd0.bnd";
  EXPECT_TRUE(
      Platform({}, At("disc"))
          .CopyFileA({{noSlash.c_str(), At("disc").size()}}, Dst(Win("inst\\copy")), false));
}

// A drive named by its device: where its file system's root is mounted, from the mount table.
TEST(DriveDevice, FindsWhereTheDevicesRootIsMounted) {
  const char* table =
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "40 22 7:0 / /media/alice/KESTRION ro - squashfs /dev/loop0 ro\n"
      "41 22 7:0 /sub /mnt/bind ro - squashfs /dev/loop0 ro\n"  // a bind mount of a folder
      "42 22 7:1 /sub /mnt/only-a-folder ro - squashfs /dev/loop1 ro\n"
      "43 22 11:0 / /run/media/bob/MISSION\\040PACK\\134TWO ro - iso9660 /dev/sr0 ro\n"
      "44 22 7:10 / /media/ten ro - squashfs /dev/loop10 ro\n"
      "46 22 7:3 / /media/KESTRION\\040 ro - squashfs /dev/loop3 ro\n"   // an escape at the end
      "45 22 7:0 / /media/alice/KESTRION1 ro - squashfs /dev/loop0 ro";  // newest, no newline
  struct {
    unsigned major, minor;
    const char* mountedAt;  // "" for nowhere
  } cases[] = {{7, 0, "/media/alice/KESTRION1"},
               {7, 1, ""},
               {11, 0, "/run/media/bob/MISSION PACK\\TWO"},
               {7, 10, "/media/ten"},
               {7, 3, "/media/KESTRION "},
               {7, 2, ""}};
  for (const auto& c : cases) {
    std::vector<std::string> points = posix::FindMountPoints(table, c.major, c.minor);
    EXPECT_EQ(points.empty() ? "" : points.back(), c.mountedAt) << c.major << ":" << c.minor;
  }
  // A FUSE mount's own user: none where a line does not say, or two lines disagree.
  const char* fuse =
      "50 22 0:50 / /k rw - fuse.bindfs /a rw,xuser_id=0,user_id=1000,group_id=1000\n"
      "51 22 0:51 / /l rw - fuse.sshfs b rw,group_id=0\n"
      "52 22 0:52 / /m rw - fuse c rw,user_id=1000\n53 22 0:52 / /n rw - fuse c rw,user_id=0\n"
      "54 22 0:54 / /o rw - ext4 d rw,user_id=1000";
  const std::optional<uid_t> users[] = {1000, {}, {}, {}, {}};
  for (unsigned minor = 50; minor <= 54; minor += minor == 52 ? 2 : 1) {
    EXPECT_EQ(posix::FuseMountUser(fuse, 0, minor), users[minor - 50]) << minor;
  }
}

TEST_F(PosixPlatformTest, ExactNameWinsThenTheSmallestOfSeveralMatches) {
  WriteFile(At("d/data/f"), "exact");
  WriteFile(At("d/Data/f"), "Data");
  WriteFile(At("d/DATA/f"), "DATA");
  EXPECT_TRUE(platform_.CopyFileA(Src(At("d\\data\\f")), Dst(At("exact")), false));
  EXPECT_TRUE(platform_.CopyFileA(Src(At("d\\dATA\\f")), Dst(At("blind")), false));
  EXPECT_EQ(ReadFile(At("exact")), "exact");
  EXPECT_EQ(ReadFile(At("blind")), "DATA");  // "DATA" sorts before "Data"

  // Every letter folds, and a name that only begins with the one asked for is another name.
  WriteFile(At("d/ABCDEFGHIJKLMNOPQRSTUVWXYZ"), "alphabet");
  posix::EntryName found;
  posix::UniqueFd d(open(At("d").c_str(), O_PATH | O_DIRECTORY));
  EXPECT_TRUE(posix::FindEntry(d.Get(), "abcdefghijklmnopqrstuvwxyz", found));
  WriteFile(At("inst/BND0.BND.BAK"), "backup");
  posix::UniqueFd inst(open(At("inst").c_str(), O_PATH | O_DIRECTORY));
  EXPECT_FALSE(posix::FindEntry(inst.Get(), "bnd0.bnd", found)) << found;
  EXPECT_TRUE(platform_.CopyFileA(Src(At("exact")), Dst(Win("inst\\bnd0.bnd")), false));
  EXPECT_EQ(Tree(At("inst")), (std::vector<std::string>{"BND0.BND.BAK", "bnd0.bnd"}));
  EXPECT_EQ(ReadFile(At("inst/BND0.BND.BAK")), "backup");
}

TEST_F(PosixPlatformTest, CopyReplacesAnExistingFileWhateverItsCase) {
  WriteFile(At("src"), "new");
  WriteFile(At("inst/BND0.BND"), "old and longer");
  ASSERT_TRUE(platform_.CopyFileA(Src(At("src")), Dst(Win("inst\\bnd0.bnd")), false));
  EXPECT_EQ(Tree(At("inst")), std::vector<std::string>{"BND0.BND"});
  EXPECT_EQ(ReadFile(At("inst/BND0.BND")), "new");
}

TEST_F(PosixPlatformTest, ReadOnlyDestinationIsRefusedUntilItsAttributesAreReset) {
  WriteFile(At("src"), "new");
  WriteFile(At("dst"), "old", 0444);
  EXPECT_FALSE(platform_.CopyFileA(Src(At("src")), Dst(At("dst")), false));
  EXPECT_EQ(ReadFile(At("dst")), "old");

  platform_.SetFileAttributesA(Dst(At("dst")), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(Mode(At("dst")), fresh_);
  EXPECT_TRUE(platform_.CopyFileA(Src(At("src")), Dst(At("dst")), false));
  EXPECT_EQ(ReadFile(At("dst")), "new");
}

TEST_F(PosixPlatformTest, FailedCopiesLeaveTheEarlierCopyAndNoTemporaryFile) {
  WriteFile(At("inst/dst"), "earlier");
  fs::create_directories(At("disc/adir"));
  WriteFile(At("disc/ok"), "ok");
  mkfifo(At("disc/fifo").c_str(), 0644);
  // A disc cannot lead a copy outside itself, by a link at any step below the drive root.
  WriteFile(At("outside/BND0.BND"), "secret", 0600);
  const timespec longAgo[2] = {{1000, 0}, {UTIME_OMIT, 0}};
  utimensat(AT_FDCWD, At("outside/BND0.BND").c_str(), longAgo, 0);
  fs::create_directories(At("disc/DATA"));
  fs::create_symlink(At("outside/BND0.BND"), At("disc/DATA/BND0.BND"));
  fs::create_directories(At("disc2"));
  fs::create_symlink(At("outside"), At("disc2/DATA"));
  struct Case {
    const char* why;
    std::string source;
    std::string destination;
    std::string drive = "";
  } cases[] = {
      {"source missing", At("disc/missing"), At("inst/dst")},
      {"source is a folder", At("disc/adir"), At("inst/dst")},
      {"source is a FIFO, which must not block the copy", At("disc/fifo"), At("inst/dst")},
      {"destination folder missing", At("disc/adir"), At("inst/nowhere/dst")},
      {"destination is a folder", At("inst/dst"), At("inst")},
      {"the file on the disc is a link", At("disc/") + "data\\bnd0.bnd", At("inst/dst")},
      {"a folder on the disc is a link", At("disc2/") + "data\\bnd0.bnd", At("inst/dst")},
      {"a drive root that is no block device", "/dev/null/data\\bnd0.bnd", At("inst/dst"),
       "/dev/null/"},
      {"a drive root that does not exist", "/dev/cdcopy-none/data\\bnd0.bnd", At("inst/dst"),
       "/dev/cdcopy-none/"},
      {"a source outside the drive root", At("disc/ok"), At("inst/dst"), At("disc/adir/")},
      {"a destination outside the installation", At("disc/ok"), dir_.Path() + "-other\\dst"},
      // The roots are taken as given; only the names below them are matched without case.
      {"a drive root in another case than its folder", At("DISC/") + "ok", At("inst/dst"),
       At("DISC/")},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Platform({}, c.drive).CopyFileA(Src(c.source, c.drive), Dst(c.destination), false))
        << c.why;
    EXPECT_EQ(ReadFile(At("inst/dst")), "earlier") << c.why;
    EXPECT_EQ(Tree(At("inst")), std::vector<std::string>{"dst"}) << c.why;
  }
  WriteFile(At("src"), "new");
  EXPECT_FALSE(platform_.CopyFileA(Src(At("src")), Dst(At("inst/dst")), true));
  EXPECT_EQ(ReadFile(At("inst/dst")), "earlier");
  struct stat outside;
  ASSERT_EQ(stat(At("outside/BND0.BND").c_str(), &outside), 0);
  EXPECT_EQ(outside.st_atim.tv_sec, 1000) << "the file outside the disc was read";
}

TEST_F(PosixPlatformTest, SuccessfulCopyIsWholeAndLeavesNothingElse) {
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  WriteFile(At("disc/big"), big, 0555);
  fs::create_directories(At("inst"));
  ASSERT_TRUE(platform_.CopyFileA(Src(At("disc/big")), Dst(At("inst/big")), false));
  EXPECT_TRUE(ReadFile(At("inst/big")) == big);
  EXPECT_EQ(Tree(At("inst")), std::vector<std::string>{"big"});
  EXPECT_EQ(fs::last_write_time(At("inst/big")), fs::last_write_time(At("disc/big")));
}

// Between file systems the kernel may refuse to copy; the copy must then still be whole.
TEST_F(PosixPlatformTest, CopiesAcrossFileSystems) {
  const std::string source = ShmFolder(dir_.Path());
  if (source.empty()) GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  const std::string data(1 << 20, 'x');
  WriteFile(source, data + "tail");
  const std::string drive = source.substr(0, source.rfind('/') + 1);
  bool copied = Platform({}, drive).CopyFileA(Src(source, drive), Dst(At("dst")), false);
  fs::remove(source);
  ASSERT_TRUE(copied);
  EXPECT_TRUE(ReadFile(At("dst")) == data + "tail");
}

TEST_F(PosixPlatformTest, CopiesLandWritableAsAResetLeavesThem) {
  const mode_t mask = CurrentUmask();
  struct Case {
    mode_t source;
    mode_t umask;
    mode_t copied;
    mode_t reset;
  } cases[] = {
      // A disc's read-only file is made writable through the new file before it is seen, so
      // another run never meets a read-only copy.
      {0555, mask, fresh_, fresh_},
      {0755, mask, fresh_, fresh_},  // never executable
      {0600, mask, fresh_, fresh_},
      // A umask that takes the owner's write bit must not make the copy read-only for good.
      {0555, 0222, 0644, 0644},
  };
  for (const Case& c : cases) {
    WriteFile(At("src"), "x", c.source);
    fs::remove(At("dst"));
    umask(c.umask);
    bool copied = platform_.CopyFileA(Src(At("src")), Dst(At("dst")), false);
    EXPECT_EQ(Mode(At("dst")), c.copied) << std::oct << c.source;
    platform_.SetFileAttributesA(Dst(At("dst")), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(Mode(At("dst")), c.reset) << std::oct << c.source;
    bool replaced = platform_.CopyFileA(Src(At("src")), Dst(At("dst")), false);
    umask(mask);
    EXPECT_TRUE(copied && replaced) << std::oct << c.source;
  }
  platform_.SetFileAttributesA(Dst(At("dst")), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Mode(At("dst")), 0444 & ~mask);
  EXPECT_FALSE(platform_.SetFileAttributesA(Dst(At("none")), FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(PosixPlatformTest, LinkAtTheDestinationIsReplacedNeverFollowed) {
  WriteFile(At("outside"), "keep me", 0444);
  WriteFile(At("src"), "copy");
  fs::create_directories(At("inst"));
  fs::create_symlink(At("outside"), At("inst/dst"));

  platform_.SetFileAttributesA(Dst(At("inst/dst")), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(Mode(At("outside")), 0444u);
  ASSERT_TRUE(platform_.CopyFileA(Src(At("src")), Dst(At("inst/dst")), false));
  EXPECT_FALSE(fs::is_symlink(At("inst/dst")));
  EXPECT_EQ(ReadFile(At("inst/dst")), "copy");
  EXPECT_EQ(ReadFile(At("outside")), "keep me");
}

// As root into another user's installation, each call does only what that user could, and the
// next one is root's again: root's own extra group does not come along, a folder only a group
// the owner is not in may write gets nothing, nor a folder that a planted link leads to, and a
// disc's file only root may read is still read.
TEST_F(AsRoot, EachCallDoesOnlyWhatTheOwnerCould) {
  const group* games = getgrnam("games");
  SKIP_OR_FAIL(geteuid() == 0 && games ? "" : "needs root and a games group");
  chmod(dir_.Path().c_str(), 0755);
  for (const char* folder : {"inst/KestCore", "inst/halvane", "rootonly", "grouponly"}) {
    fs::create_directories(At(folder));
  }
  fs::create_symlink(At("rootonly"), At("inst/KestCore/planted"));
  fs::create_symlink(At("grouponly"), At("inst/KestCore/grouped"));
  WriteFile(At("disc/rootonly.bnd"), "root's", 0400);
  ChownTree(At("inst"), {kNobody, kNobody, true});
  chown(At("inst/halvane").c_str(), 0, games->gr_gid);
  chmod(At("inst/halvane").c_str(), 0775);
  chown(At("grouponly").c_str(), 0, games->gr_gid);
  chmod(At("grouponly").c_str(), 0770);
  chmod(At("rootonly").c_str(), 0700);
  const int wrong = InChild([&] {
    setgroups(1, &games->gr_gid);
    return (platform_.CreateDirectoryA(Dst(Win("inst\\KestCore\\planted\\video"))) ? 1 : 0) |
           (platform_.CreateDirectoryA(Dst(Win("inst\\KestCore\\grouped\\video"))) ? 2 : 0) |
           (platform_.CreateDirectoryA(Dst(Win("inst\\halvane\\video"))) ? 4 : 0) |
           (platform_.CopyFileA(Src(At("disc\\rootonly.bnd")), Dst(Win("inst\\KestCore\\bnd0.bnd")),
                                false)
                ? 0
                : 8);
  });
  EXPECT_EQ(wrong, 0) << "1: below a planted link, 2: with root's group, 4: with the folder's "
                         "group, 8: the disc read as the owner";
  struct stat copy {};
  EXPECT_EQ(stat(At("inst/KestCore/bnd0.bnd").c_str(), &copy) == 0 ? copy.st_uid : 0, kNobody);
}

// A user's groups, from the account files alone: the primary one from the user's line, the
// others where a group lists the user's name.
TEST(Identity, AUsersGroupsComeFromTheAccountFiles) {
  const posix::Accounts accounts{
      "root:x:0:0::/root:/bin/sh\nu:x:1000:1000::/home/u:/bin/sh\nv:x:1001:100::/:/bin/sh\n",
      "# comment\nusers:x:100:\nstaff:x:50:u,ghost\nu:x:1000:\ngames:x:60:v,u\n"};
  EXPECT_EQ(accounts.User(1000).gid, 1000u);
  EXPECT_EQ(accounts.User(1000).groups, (std::vector<gid_t>{1000, 50, 60}));
  EXPECT_EQ(accounts.User(1001).groups, (std::vector<gid_t>{100, 60}));
  EXPECT_TRUE(accounts.User(4242).groups.empty()) << "unknown to the files: no group at all";
  bool unknown = false;
  EXPECT_EQ(accounts.Members(50, unknown), std::vector<uid_t>{1000});
  EXPECT_TRUE(unknown) << "ghost";
  EXPECT_EQ(accounts.Members(100, unknown = false), std::vector<uid_t>{1001});
  EXPECT_FALSE(unknown);
}

const posix::Accounts kFiles{
    "root:x:0:0::/:/bin/sh\nalice:x:1000:1000::/:/bin/sh\nbob:x:1001:1001::/:/bin/sh\n"
    "alice2:x:1002:1002::/:/bin/sh\n",
    "root:x:0:\nalice:x:1000:\nbob:x:1001:\nalice2:x:1002:\ngames:x:60:alice2,bob\n"
    "staff:x:50:alice,ghost\n"};

// Who may change an entry of a folder, as a run with root's rights judges it, from the
// test's own account files: whoever runs the test.
TEST(Identity, WhoCanChangeAFoldersEntries) {
  using Kind = posix::Identity::Kind;
  const posix::Accounts unread{kFiles.passwd, kFiles.group, false};
  const posix::Identity none = posix::Nobody(), alice{Kind::User, 1000, 1000, {}}, root{},
                        bob{Kind::User, 1001, 1001, {}}, games{Kind::Group, 65534, 60, {}},
                        staff{Kind::Group, 65534, 50, {}};
  enum { kUnknown = 1, kFuse = 2, kUnread = 4, kNotRoot = 8, kListsBob = 16, kListsGames = 32 };
  const struct {
    const char* name;
    uid_t uid;
    gid_t gid;
    mode_t mode;
    posix::Identity who;
    int entryOwner = -1;  // none: a name not made yet
    int flags = 0;
    std::optional<uid_t> mountUser = {};
  } rows[] = {{"the owner's", 1000, 1000, 0755, alice},
              {"root's", 0, 0, 0755, root},
              {"a run without root's rights", 1000, 1000, 0777, root, -1, kNotRoot},
              {"a group of several", 0, 60, 0775, games},
              {"a group of one", 0, 1000, 0775, alice},
              {"a group of one and one the files cannot name", 0, 50, 0775, staff},
              {"root's group, root alone in it", 0, 0, 0775, root},
              {"the owner in the group", 1001, 60, 0775, games},
              {"the owner not in the group, alice2 is", 1000, 60, 0775, none},
              {"anyone's without the sticky bit", 1000, 1000, 0757, none},
              {"sticky: the entry's owner", 0, 0, 01777, bob, 1001},
              {"sticky, nothing there yet", 0, 0, 01777, root},
              {"sticky: two users", 1000, 1000, 01777, none, 1001},
              {"an access list that cannot be read", 1000, 1000, 0755, none, -1, kUnknown},
              {"an access list that lets bob write", 1000, 1000, 0755, none, -1, kListsBob},
              {"an access list that lets a group write", 0, 0, 0755, games, -1, kListsGames},
              {"FUSE: its user", 0, 0, 0755, bob, -1, kFuse, 1001},
              {"FUSE: root's daemon, as it reports", 1000, 1000, 0755, alice, -1, kFuse, 0},
              {"FUSE: no user told", 0, 0, 0755, none, -1, kFuse},
              {"account files unread", 1000, 1000, 0755, none, -1, kUnread}};
  for (const auto& row : rows) {
    posix::FolderView view;
    view.unknown = row.flags & kUnknown, view.fuse = row.flags & kFuse;
    view.mountUser = row.mountUser;
    if (row.flags & kListsBob) view.listedUsers = {1001};
    if (row.flags & kListsGames) view.listedGroups = {60};
    view.st.st_uid = row.uid, view.st.st_gid = row.gid, view.st.st_mode = S_IFDIR | row.mode;
    struct stat entry {};
    entry.st_uid = static_cast<uid_t>(row.entryOwner);
    const posix::Identity who =
        WhoCanChange(view, row.entryOwner < 0 ? nullptr : &entry,
                     (row.flags & kUnread) ? unread : kFiles, (row.flags & kNotRoot) ? 1000 : 0);
    EXPECT_EQ(std::tie(who.kind, who.uid, who.gid),
              std::tie(row.who.kind, row.who.uid, row.who.gid))
        << row.name;
  }
  // Met the other way round: a user and a group they are not in, or are.
  EXPECT_EQ(Meet(kFiles.User(1000), games).kind, Kind::Nobody);
  EXPECT_EQ(Meet(kFiles.User(1001), games).kind, Kind::Group);
}

// A switch puts back exactly what it replaced; once one cannot be put back, nothing more is
// done, not even as the run itself.
TEST_F(AsRoot, ASwitchRestoresWhatItReplacedAndAFailedOneStopsTheRun) {
  SKIP_OR_FAIL(NeedsRoot());
  const int wrong = InChild([] {
    posix::Credentials run(0, kFiles);
    int wrong = 0;
    {
      posix::ActingAs alice(run, kFiles.User(1000));
      { posix::ActingAs bob(run, kFiles.User(1001)); }
      wrong |= setfsuid(static_cast<uid_t>(-1)) == 1000 ? 0 : 1;
      if (setresuid(1000, 1000, 1000) != 0) return 8;  // root's rights gone for good
    }
    wrong |= posix::ActingAs(run, kFiles.User(1000)).Holds() ? 2 : 0;
    wrong |= posix::ActingAs(run, posix::Identity{}).Holds() ? 4 : 0;
    return wrong;
  });
  EXPECT_EQ(wrong, 0) << "1: not the one replaced, 2 or 4: acting after a failed restore";
}

// The walk from "/" follows links as the kernel would: ".." in a target steps back up, and
// the 41st link in one walk is one too many.
TEST_F(PosixPlatformTest, TheWalkFollowsLinksAsTheKernelDoes) {
  fs::create_directories(At("a/b"));
  fs::create_symlink("../../a", At("a/b/up"));
  fs::create_symlink("a", At("l0"));
  for (int i = 1; i <= 40; ++i) {
    const std::string from = std::string("l").append(std::to_string(i - 1));
    fs::create_symlink(from, At(std::string("l").append(std::to_string(i))));
  }
  const struct {
    const char* path;
    const char* reached;  // nullptr: none, ELOOP
  } rows[] = {{"a/b/up/b", "a/b"}, {"l39", "a"}, {"l40", nullptr}};
  posix::Credentials run;
  for (const auto& row : rows) {
    posix::Walk walk(run, {}, {});
    struct stat here {
    }, expected{};
    const bool entered = walk.StartAtRoot() && walk.EnterAll(At(row.path), false) &&
                         fstat(walk.Here().fd.Get(), &here) == 0;
    if (row.reached) stat(At(row.reached).c_str(), &expected);
    EXPECT_EQ(std::pair(entered, here.st_ino), std::pair(row.reached != nullptr, expected.st_ino))
        << row.path;
  }
  // Only the installation and what is below it: not a folder whose name begins as its does.
  PosixPlatform platform(At("").c_str(), At("a").c_str());
  EXPECT_FALSE(platform.CreateDirectoryA(Under<InstallPath>(At("a"), At("ab") + "\\video")));
  PosixPlatform upper(At("").c_str(), At("A").c_str());
  EXPECT_FALSE(upper.CreateDirectoryA(Under<InstallPath>(At("A"), At("A") + "\\video")));
  EXPECT_FALSE(fs::exists(At("a/video")));
}

// In a folder anyone may write (sticky, as /tmp), a leftover of another user's is theirs.
TEST_F(AsRoot, TheSweepInAStickyFolderTakesOnlyItsOwnLeftovers) {
  SKIP_OR_FAIL(NeedsRoot());
  chmod(dir_.Path().c_str(), 01777);
  WriteFile(At(".cdcopy-4194305-0.tmp"), "theirs");
  WriteFile(At(".cdcopy-4194305-1.tmp"), "its own");
  lchown(At(".cdcopy-4194305-0.tmp").c_str(), kNobody, kNobody);
  const int folder = open(dir_.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  posix::SweepLeftovers(folder);
  close(folder);
  EXPECT_EQ(Tree(At("")), std::vector<std::string>{".cdcopy-4194305-0.tmp"});
}

// Whoever shows the copy is told as a wait for the disc begins and as it ends; a disc that is
// there is no wait.
TEST_F(AsRoot, AWaitForTheDiscIsToldAsItBeginsAndEnds) {
  World w;
  DriveDevice drive;
  REQUIRE_DRIVE(drive, w);
  std::string told;
  posix::DiscWait wait{true, std::chrono::milliseconds(50),
                       [&told](bool waiting) { told += waiting ? "begins " : "ends "; }};
  const std::string device = drive.Root().substr(0, drive.Root().size() - 1);
  struct stat st {};
  ASSERT_EQ(stat(device.c_str(), &st), 0);
  drive.Eject();
  EXPECT_FALSE(posix::OpenMountedDevice(device.c_str(), st.st_rdev, wait));
  drive.Insert("base");
  wait.allowed = true;
  EXPECT_TRUE(posix::OpenMountedDevice(device.c_str(), st.st_rdev, wait));
  EXPECT_EQ(told, "begins ends ");
}

TEST_F(PosixPlatformTest, CreateDirectoryMakesOneLevelOnly) {
  EXPECT_FALSE(platform_.CreateDirectoryA(Dst(Win("a\\b"))));
  EXPECT_FALSE(fs::exists(At("a")));
  EXPECT_TRUE(platform_.CreateDirectoryA(Dst(Win("a"))));
  EXPECT_FALSE(platform_.CreateDirectoryA(Dst(Win("A"))));
  EXPECT_TRUE(fs::is_directory(At("a")));
  EXPECT_EQ(Mode(At("a")), 0777 & ~CurrentUmask());
}

TEST_F(PosixPlatformTest, AttributesTellFoldersFromFilesWithoutRegardToCase) {
  WriteFile(At("disc/DATA/MAX/VELMORA/VIDEO/LOGO.FLK"), "logo", 0444);
  WriteFile(At("disc/DATA/ALL/BND0.BND"), "archive", 0644);
  fs::create_symlink(At("disc/DATA/MAX/VELMORA"), At("disc/DATA/MAX/LINKED"));
  struct {
    const char* path;
    std::uint32_t attributes;
  } cases[] = {{"disc\\data\\max\\velmora", FILE_ATTRIBUTE_DIRECTORY},
               // A link on the disc is not followed, so it cannot pass for the other disc's folder.
               {"disc\\data\\max\\linked", INVALID_FILE_ATTRIBUTES},
               {"disc\\data\\max\\velmora\\video\\logo.flk", FILE_ATTRIBUTE_READONLY},
               {"disc\\data\\all\\bnd0.bnd", FILE_ATTRIBUTE_ARCHIVE},
               {"disc\\data\\max\\halvane", INVALID_FILE_ATTRIBUTES},
               {"disc\\data\\all\\bnd0.bnd\\more", INVALID_FILE_ATTRIBUTES}};
  for (const auto& c : cases) {
    EXPECT_EQ(platform_.GetFileAttributesA(Src(At(c.path))), c.attributes) << c.path;
  }
}

TEST_F(PosixPlatformTest, OverlongComponentsFindNothing) {
  const std::string name(300, 'n');
  EXPECT_FALSE(platform_.CreateDirectoryA(Dst(Win(name))));
  EXPECT_FALSE(platform_.CopyFileA(Src(At(name + "\\f")), Dst(At("dst")), false));
  EXPECT_FALSE(platform_.CreateDirectoryA(Dst("")));
}

// Every way of copying, into either kind of temporary file: each is where some file system
// leaves the copy.
struct Way {
  posix::TempFileKind kind;
  posix::CopyMethod method;
};

std::string WayName(const ::testing::TestParamInfo<Way>& info) {
  const char* methods[] = {"Clone", "KernelCopy", "Sendfile", "ReadWrite"};
  return std::string(info.param.kind == posix::TempFileKind::Named ? "Named" : "Unnamed") +
         methods[static_cast<int>(info.param.method)];
}

class EveryWayOfCopying : public ::testing::TestWithParam<Way> {
 protected:
  bool Copy(const std::string& from, const std::string& to) {
    return PosixPlatform((dir_.Path() + "/").c_str(), dir_.Path().c_str(),
                         {GetParam().kind, GetParam().method})
        .CopyFileA(Under<DiscPath>(dir_.Path() + "/", from), Under<InstallPath>(dir_.Path(), to),
                   false);
  }
  TempDir dir_;
};

TEST_P(EveryWayOfCopying, ReplacesWholeAndLeavesNothingElse) {
  // Empty, one byte, just past the read buffer, and large.
  for (std::size_t size : {0, 1, (1 << 17) + 1, (3 << 20) + 7}) {
    std::string data(size, 'd');
    for (std::size_t i = 0; i < size; i += 4093) data[i] = static_cast<char>('a' + i % 26);
    WriteFile(dir_ / "src", data, 0555);
    WriteFile(dir_ / "inst/dst", "earlier");
    ASSERT_TRUE(Copy(dir_ / "src", dir_ / "inst/dst")) << size;
    EXPECT_TRUE(ReadFile(dir_ / "inst/dst") == data) << size;
    EXPECT_EQ(Mode(dir_ / "inst/dst"), 0666 & ~CurrentUmask()) << "made writable before the rename";
    EXPECT_EQ(Tree(dir_ / "inst"), std::vector<std::string>{"dst"});
    chmod((dir_ / "inst/dst").c_str(), 0644);
    chmod((dir_ / "src").c_str(), 0644);
  }
}

// A temporary name already taken, by a file that a running copy holds, is passed over.
TEST_P(EveryWayOfCopying, PassesOverATakenTemporaryName) {
  const std::string held = dir_ / ("inst/.cdcopy-" + std::to_string(getpid()) + "-0.tmp");
  WriteFile(held, "held");
  WriteFile(dir_ / "src", "copy");
  posix::UniqueFd lock(open(held.c_str(), O_RDONLY));
  ASSERT_EQ(flock(lock.Get(), LOCK_EX), 0);
  EXPECT_TRUE(Copy(dir_ / "src", dir_ / "inst/dst"));
  EXPECT_EQ(ReadFile(held), "held");
}

TEST_P(EveryWayOfCopying, FullDiskKeepsTheEarlierCopyAndLeavesNothing) {
  WriteFile(dir_ / "src", std::string(1 << 20, 's'));
  WriteFile(dir_ / "inst/dst", "earlier");
  const int copied = InChild([&] {
    // A file size limit fails the writes as a full disk would.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64 << 10, 64 << 10};
    setrlimit(RLIMIT_FSIZE, &limit);
    return Copy(dir_ / "src", dir_ / "inst/dst") ? 1 : 0;
  });
  EXPECT_EQ(copied, 0) << "the copy must answer failure";
  EXPECT_EQ(ReadFile(dir_ / "inst/dst"), "earlier");
  EXPECT_EQ(Tree(dir_ / "inst"), std::vector<std::string>{"dst"});
}

INSTANTIATE_TEST_SUITE_P(
    PosixCopy, EveryWayOfCopying,
    ::testing::Values(Way{posix::TempFileKind::UnnamedWherePossible, posix::CopyMethod::Clone},
                      Way{posix::TempFileKind::UnnamedWherePossible, posix::CopyMethod::KernelCopy},
                      Way{posix::TempFileKind::UnnamedWherePossible, posix::CopyMethod::Sendfile},
                      Way{posix::TempFileKind::UnnamedWherePossible, posix::CopyMethod::ReadWrite},
                      Way{posix::TempFileKind::Named, posix::CopyMethod::KernelCopy},
                      Way{posix::TempFileKind::Named, posix::CopyMethod::Sendfile},
                      Way{posix::TempFileKind::Named, posix::CopyMethod::ReadWrite}),
    WayName);

// Where the file system can share blocks, the copy shares the source's instead of duplicating
// them: on an XFS loop image, made as root where loop devices can be mounted.
TEST_F(AsRoot, CopiesShareBlocksWhereTheFileSystemCan) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount an XFS loop image";
  if (FindProgram({"mkfs.xfs"}).empty()) GTEST_SKIP() << "needs mkfs.xfs (xfsprogs)";
  TempDir dir;
  const std::string image = dir / "xfs.img", mnt = dir / "mnt";
  fs::create_directories(mnt);
  WriteFile(image, "");
  ASSERT_EQ(truncate(image.c_str(), 320 << 20), 0);
  ASSERT_EQ(std::system(("mkfs.xfs -q -m reflink=1 " + image).c_str()), 0);
  if (std::system(("mount -o loop " + image + " " + mnt + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no loop device can be mounted here";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{mnt};

  std::string data(4 << 20, 'x');
  for (std::size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(i / 4096);
  WriteFile(mnt + "/src", data);
  ASSERT_TRUE(PosixPlatform((mnt + "/").c_str(), mnt.c_str())
                  .CopyFileA(Under<DiscPath>(mnt + "/", mnt + "/src"),
                             Under<InstallPath>(mnt, mnt + "/dst"), false));
  EXPECT_TRUE(ReadFile(mnt + "/dst") == data);

  int fd = open((mnt + "/dst").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  alignas(fiemap) char buffer[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
  auto* map = reinterpret_cast<fiemap*>(buffer);
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_extent_count = 1;
  ASSERT_EQ(ioctl(fd, FS_IOC_FIEMAP, map), 0);
  close(fd);
  ASSERT_EQ(map->fm_mapped_extents, 1u);
  EXPECT_TRUE(map->fm_extents[0].fe_flags & FIEMAP_EXTENT_SHARED)
      << "the copy's blocks are its own";
}

void OnAlarm(int) {}

TEST(PosixSleep, SleepsTheWholeTimeThroughSignals) {
  struct sigaction action {};
  action.sa_handler = OnAlarm;  // no SA_RESTART: every tick interrupts the sleep
  struct sigaction previous;
  sigaction(SIGALRM, &action, &previous);
  itimerval tick{{0, 10000}, {0, 10000}};
  setitimer(ITIMER_REAL, &tick, nullptr);

  auto start = std::chrono::steady_clock::now();
  PosixPlatform("", "").Sleep(120);
  auto elapsed = std::chrono::steady_clock::now() - start;

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(elapsed, std::chrono::milliseconds(120));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
}

// Nobody sees a box without a terminal: what it says, and its answer, go to standard error.
TEST(PosixMessageBox, AnswersZeroWithoutATerminalAndSaysSoOnStandardError) {
  TempDir dir;
  const int answer = InChild([&] {
    setsid();  // no controlling terminal any more, and no desktop
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    int err = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    posix::Credentials run;
    return posix::TerminalMessageBox("two\nlines \x1b[2J", "caption", MB_OKCANCEL,
                                     posix::DesktopUser(run, getuid()));
  });
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(
      ReadFile(dir / "stderr"),
      "[caption]\ntwo\nlines ?[2J\n(no terminal: answered as if the box could not be shown)\n\n");
}

// Started by `su user -c` with standard input read-only and standard error on another terminal,
// as a user who may not open the terminal again: the box goes where the run writes to its own.
TEST_F(AsRoot, ABoxGoesOnlyWhereItCanBeWrittenOnTheRunsTerminal) {
  SKIP_OR_FAIL(NeedsRoot("needs root, to be a user who may not open the terminal"));
  const int out = InChild([] {
    setsid();  // no controlling terminal
    const int run = posix_openpt(O_RDWR | O_NOCTTY), other = posix_openpt(O_RDWR | O_NOCTTY);
    for (int master : {run, other}) unlockpt(master);
    dup2(open(ptsname(run), O_RDONLY | O_NOCTTY), STDIN_FILENO);
    dup2(open(ptsname(run), O_WRONLY | O_NOCTTY), STDOUT_FILENO);
    dup2(open(ptsname(other), O_RDWR | O_NOCTTY), STDERR_FILENO);
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 99;
    return posix::OpenBoxTerminal().out;
  });
  EXPECT_EQ(out, STDOUT_FILENO) << "2: another terminal; 3 and up: standard input, read-only";
}

TEST(PosixMessageBox, DrawsAFrameAroundCaptionIconTextAndButtons) {
  struct Case {
    unsigned type;
    const char* mark;
    const char* buttons;
  } cases[] = {
      {MB_OKCANCEL | MB_ICONINFORMATION, "(i)", "[  OK  ]   [ Cancel ]"},
      {MB_OK | MB_ICONWARNING, "/!\\", "[  OK  ]"},
      {MB_OK | MB_ICONERROR, "(X)", "[  OK  ]"},
  };
  for (const Case& c : cases) {
    std::string box =
        posix::DrawMessageBox("first line\nsecond \x1b[2J line", "Caption", c.type, 80);
    std::istringstream in(box);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 8u) << box;
    EXPECT_EQ(lines[0], "");
    EXPECT_TRUE(lines[1].starts_with("+- Caption -")) << box;
    for (std::size_t i = 1; i < lines.size(); ++i)
      EXPECT_EQ(lines[i].size(), lines[1].size()) << box;
    EXPECT_NE(lines[3].find(std::string(c.mark) + "   first line"), std::string::npos) << box;
    // No escape reaches the terminal.
    EXPECT_NE(lines[4].find("second ?[2J line"), std::string::npos) << box;
    EXPECT_TRUE(lines[6].ends_with(std::string(c.buttons) + "  |")) << box;
    EXPECT_EQ(box.find('\x1b'), std::string::npos);
  }
}

// Columns as the terminal shows them (wide characters take two), and no control character
// reaches it, C1 ones included, whether raw or encoded.
TEST(PosixMessageBox, MeasuresTextAsTheTerminalShowsIt) {
  ASSERT_TRUE(std::setlocale(LC_ALL, "C.UTF-8"));
  std::string box = posix::DrawMessageBox(
      "Drive /media/\xe5\x85\x89\xe7\x9b\x98/ raw \x9b"
      "2J encoded \xc2\x9b"
      "2J",
      "C", MB_OK, 80);
  EXPECT_NE(box.find("raw ?2J encoded ?2J"), std::string::npos) << box;
  std::istringstream in(box);
  std::vector<int> widths;
  for (std::string line; std::getline(in, line);) {
    std::wstring wide(line.size(), L'\0');
    std::mbstate_t state{};
    const char* from = line.c_str();
    wide.resize(mbsrtowcs(wide.data(), &from, wide.size(), &state));
    if (!line.empty()) widths.push_back(wcswidth(wide.c_str(), wide.size()));
  }
  std::setlocale(LC_ALL, "C");
  ASSERT_GT(widths.size(), 3u);
  EXPECT_EQ(std::count(widths.begin(), widths.end(), widths[0]), std::ssize(widths)) << box;
}

TEST(PosixMessageBox, WrapsLinesWiderThanTheTerminal) {
  const std::string text(150, 'w');
  std::string box = posix::DrawMessageBox(text.c_str(), "C", MB_OK, 60);
  std::istringstream in(box);
  std::size_t ws = 0;
  for (std::string line; std::getline(in, line);) {
    EXPECT_LE(line.size(), 60u) << line;
    ws += static_cast<std::size_t>(std::count(line.begin(), line.end(), 'w'));
  }
  EXPECT_EQ(ws, text.size());
  // Each line as wide as the box leaves for text: 60 less the frame, margins and icon column.
  EXPECT_NE(box.find(std::string(48, 'w') + "  |\n"), std::string::npos) << box;
}

}  // namespace
}  // namespace cdcopy::testing
