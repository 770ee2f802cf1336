// Real faults on real runs of the built cdcopy: a full disk, a disc that cannot be read to its
// end, signals in the middle of a copy, standard output gone, a link planted in the
// installation, two runs at once and a folder the user may not write. Whatever happens, an
// earlier copy survives byte for byte and no temporary file is left behind.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <thread>

#include "sample_world.h"
#include "terminal_session.h"
#include "test_files.h"
#include "texts.h"

namespace cdcopy::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

using texts::kArchiveLine;
using texts::kLogoLine;
const std::string kShim = std::string("LD_PRELOAD=") + FAULT_SHIM;
// The sanitizers' runtime must come first among preloaded libraries unless told otherwise.
const std::string kSanitizerOrder = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";

const std::string kArchive = "KestCore/bnd0.bnd";
const std::string kLogo = "KestCore/video/orrinmark.flk";
const std::string kArchiveOnDisc = "base/INSTALL/DATA/KESTCORE/BND0.BND";
const std::string kLogoOnDisc = "base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK";

int RunToTheEnd(const Launch& launch) {
  TerminalSession session(launch);
  return session.Finish(seconds(30));
}

Launch WithoutTerminal(World& w, std::vector<std::string> env = {}) {
  Launch launch = w.Start();
  launch.withTerminal = false;
  launch.env = std::move(env);
  return launch;
}

void ExpectExitedWithZero(int status) {
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A disc that cannot be read past 128 KiB, for every way the data can be copied; the ways
// before the one under test are refused, as file systems that cannot do them refuse them.
struct ReadErrorCase {
  const char* name;
  std::string refuse;
  std::string faultSeen;
};

void PrintTo(const ReadErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class ReadError : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(ReadError, KeepsTheEarlierCopyAndLeavesNothing) {
  const ReadErrorCase& c = GetParam();
  World w(20000, 400000);
  WriteFile(w.Inst(kArchive), "earlier archive");
  WriteFile(w.Inst(kLogo), "earlier logo");
  const auto before = w.Installed();
  std::string log = w.Root("shim.log");
  int status = RunToTheEnd(WithoutTerminal(
      w, {kShim, kSanitizerOrder, "CDCOPY_SHIM_SOURCE=ORRINMARK.FLK", "CDCOPY_SHIM_EIO_AT=131072",
          "CDCOPY_SHIM_REFUSE=" + c.refuse, "CDCOPY_SHIM_LOG=" + log}));
  ExpectExitedWithZero(status);
  EXPECT_NE(ReadFile(log).find(c.faultSeen + "\n"), std::string::npos) << ReadFile(log);
  EXPECT_EQ(w.Stdout(), kArchiveLine + kLogoLine) << "the logo's failure ends the run";
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), w.Disc(kArchiveOnDisc));
  EXPECT_EQ(ReadFile(w.Inst(kLogo)), "earlier logo");
  EXPECT_EQ(w.Installed(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadError,
    ::testing::Values(ReadErrorCase{"Clone", "", "clone EIO"},
                      ReadErrorCase{"KernelCopy", "clone", "copy_file_range EIO"},
                      ReadErrorCase{"Sendfile", "clone,copy_file_range", "sendfile EIO"},
                      ReadErrorCase{"ReadWrite", "clone,copy_file_range,sendfile", "read EIO"},
                      ReadErrorCase{"KernelCopyIntoANamedTemporaryFile", "clone,tmpfile",
                                    "copy_file_range EIO"},
                      ReadErrorCase{"ReadWriteIntoANamedTemporaryFile",
                                    "clone,copy_file_range,sendfile,tmpfile", "read EIO"}),
    [](const ::testing::TestParamInfo<ReadErrorCase>& info) { return info.param.name; });

// A disc is another file system, where neither a clone nor copy_file_range can copy: the data
// still stays in the kernel, through sendfile. /dev/shm stands in for the drive.
TEST(Faults, ADiscOnAnotherFileSystemIsCopiedBySendfile) {
  struct stat shm, here;
  World w;
  if (stat("/dev/shm", &shm) != 0 || stat(w.Root("").c_str(), &here) != 0 ||
      shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  }
  const std::string disc = "/dev/shm/cdcopy-test-" + std::to_string(getpid());
  const std::string archive = World::Data("archive on another file system", 300000);
  WriteFile(disc + "/INSTALL/DATA/KESTCORE/BND0.BND", archive);
  WriteFile(disc + "/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK", "logo");
  fs::create_symlink(disc, w.Root("discs/shm"));
  w.Insert("shm");
  std::string log = w.Root("shim.log");
  int status = RunToTheEnd(WithoutTerminal(
      w, {kShim, kSanitizerOrder, "CDCOPY_SHIM_SOURCE=BND0.BND", "CDCOPY_SHIM_LOG=" + log}));
  fs::remove_all(disc);
  ExpectExitedWithZero(status);
  EXPECT_EQ(ReadFile(log), "clone\ncopy_file_range\nsendfile\n");
  EXPECT_TRUE(ReadFile(w.Inst(kArchive)) == archive);
}

// A signal in the middle of the archive's copy ends cdcopy as it ends any program, leaving no
// temporary file, named or not, and the earlier copy as it was.
struct SignalCase {
  const char* name;
  int signal;
  bool namedTemporaryFile;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
  *os << c.name;
}

class SignalDuringCopy : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalDuringCopy, LeavesNoTemporaryFileAndTheEarlierCopy) {
  const SignalCase& c = GetParam();
  World w(1 << 20);
  WriteFile(w.Inst(kArchive), "earlier archive");
  const auto before = w.Installed();
  std::string started = w.Root("copy-started");
  std::vector<std::string> env = {kShim, kSanitizerOrder, "CDCOPY_SHIM_SOURCE=BND0.BND",
                                  "CDCOPY_SHIM_DELAY_US=50000", "CDCOPY_SHIM_STARTED=" + started};
  if (c.namedTemporaryFile) env.push_back("CDCOPY_SHIM_REFUSE=tmpfile");
  TerminalSession session(WithoutTerminal(w, env));
  for (int i = 0; i < 200 && !fs::exists(started); ++i)
    std::this_thread::sleep_for(milliseconds(20));
  ASSERT_TRUE(fs::exists(started)) << "the copy never began";
  std::this_thread::sleep_for(milliseconds(200));
  kill(session.Pid(), c.signal);
  int status = session.Finish(seconds(20));
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  EXPECT_EQ(WTERMSIG(status), c.signal);
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), "earlier archive");
  EXPECT_EQ(w.Installed(), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, SignalDuringCopy,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT, false},
                                           SignalCase{"Terminate", SIGTERM, false},
                                           SignalCase{"HangUp", SIGHUP, false},
                                           SignalCase{"InterruptNamed", SIGINT, true},
                                           SignalCase{"TerminateNamed", SIGTERM, true},
                                           SignalCase{"HangUpNamed", SIGHUP, true}),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                           return info.param.name;
                         });

TEST(Faults, TerminateOrHangUpAtAPromptRestoresTheTerminal) {
  for (int signal : {SIGTERM, SIGHUP}) {
    World w;
    TerminalSession session(w.Start());
    ASSERT_TRUE(session.WaitFor("Press Enter for OK", 1, seconds(20))) << session.Screen();
    kill(session.Pid(), signal);
    int status = session.Finish(seconds(20));
    ASSERT_TRUE(WIFSIGNALED(status)) << signal;
    EXPECT_EQ(WTERMSIG(status), signal);
    termios after;
    ASSERT_EQ(tcgetattr(session.Slave(), &after), 0);
    EXPECT_EQ(after.c_lflag, session.InitialSettings().c_lflag) << signal;
  }
}

// The installation on a file system too small for the archive: both attempts fail, the notice
// ends the run, and the earlier copy and the free space are as they were. As root the file
// system is a small tmpfs; otherwise a file size limit stands in for it.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(World& w) : dir_(w.Root("inst")) {
    if (geteuid() != 0) return;
    mounted_ = mount("cdcopy-test", dir_.c_str(), "tmpfs", 0, "size=256k") == 0;
    if (mounted_) fs::create_directories(dir_ + "/KestCore/video");
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  unsigned long FreeBlocks() const {
    struct statvfs st;
    return statvfs(dir_.c_str(), &st) == 0 ? st.f_bfree : 0;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST(Faults, DiskFullKeepsTheEarlierCopyAndTheFreeSpace) {
  World w(1 << 20);
  SmallFileSystem small(w);
  WriteFile(w.Inst(kArchive), "earlier archive");
  const auto before = w.Installed();
  const unsigned long freeBefore = small.FreeBlocks();
  Launch launch = w.Start();
  if (!small.Mounted()) launch.fileSizeLimit = 64 * 1024;
  TerminalSession session(launch);
  ASSERT_TRUE(session.WaitFor("Press Enter for OK", 1, seconds(20))) << session.Screen();
  session.Type("\r");
  ASSERT_TRUE(session.WaitFor("Copy failed - You can play with the Kestrion", 1, seconds(30)))
      << session.Screen();
  session.Type("\r");
  ExpectExitedWithZero(session.Finish(seconds(20)));
  EXPECT_EQ(w.Stdout(), kArchiveLine);
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), "earlier archive");
  EXPECT_EQ(w.Installed(), before);
  if (small.Mounted()) {
    EXPECT_EQ(small.FreeBlocks(), freeBefore);
  }
}

TEST(Faults, ClosedStandardOutputChangesNothing) {
  World w;
  Launch launch = WithoutTerminal(w);
  launch.closeStdout = true;
  ExpectExitedWithZero(RunToTheEnd(launch));
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), w.Disc(kArchiveOnDisc));
  EXPECT_EQ(ReadFile(w.Inst(kLogo)), w.Disc(kLogoOnDisc));
}

TEST(Faults, LinkPlantedAtADestinationIsReplacedAndItsTargetUntouched) {
  World w;
  WriteFile(w.Root("precious"), "precious", 0644);
  fs::create_symlink(w.Root("precious"), w.Inst(kArchive));
  ExpectExitedWithZero(RunToTheEnd(WithoutTerminal(w)));
  EXPECT_FALSE(fs::is_symlink(w.Inst(kArchive)));
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), w.Disc(kArchiveOnDisc));
  EXPECT_EQ(ReadFile(w.Root("precious")), "precious");
  EXPECT_EQ(Mode(w.Root("precious")), 0644u);
}

TEST(Faults, TwoRunsAtOnceLeaveEveryFileWhole) {
  for (std::string refuse : {"", "tmpfile"}) {
    World w(1 << 20);
    // Slowed down, so that the two runs' copies of the archive overlap.
    std::vector<std::string> env = {kShim, kSanitizerOrder, "CDCOPY_SHIM_SOURCE=BND0.BND",
                                    "CDCOPY_SHIM_DELAY_US=10000", "CDCOPY_SHIM_REFUSE=" + refuse};
    Launch first = WithoutTerminal(w, env);
    Launch second = first;
    second.stdoutPath = w.Root("stdout2");
    auto start = Clock::now();
    TerminalSession one(first);
    TerminalSession two(second);
    ExpectExitedWithZero(one.Finish(seconds(30)));
    ExpectExitedWithZero(two.Finish(seconds(30)));
    // A run whose copy the other spoilt would have paused to try again.
    EXPECT_LT(Clock::now() - start, seconds(5)) << refuse;
    EXPECT_EQ(w.Stdout(), kArchiveLine + kLogoLine) << refuse;
    EXPECT_EQ(ReadFile(w.Root("stdout2")), kArchiveLine + kLogoLine) << refuse;
    EXPECT_EQ(ReadFile(w.Inst(kArchive)), w.Disc(kArchiveOnDisc));
    EXPECT_EQ(ReadFile(w.Inst(kLogo)), w.Disc(kLogoOnDisc));
    EXPECT_EQ(w.Installed(), (std::vector<std::string>{"KestCore", kArchive, "KestCore/video",
                                                       kLogo, "Velmora", "halvane"}));
  }
}

// Root may write anywhere, so as root the run is made as an ordinary user.
TEST(Faults, FolderTheUserMayNotWriteFailsTheCopyAndTouchesNothing) {
  World w;
  WriteFile(w.Inst(kArchive), "earlier archive");
  Launch launch = WithoutTerminal(w);
  if (geteuid() == 0) {
    chmod(w.Root("").c_str(), 0755);
    launch.uid = 65534;  // nobody
    launch.gid = 65534;
  } else {
    chmod(w.Inst("KestCore").c_str(), 0555);
  }
  const auto before = w.Installed();
  ExpectExitedWithZero(RunToTheEnd(launch));
  chmod(w.Inst("KestCore").c_str(), 0755);
  EXPECT_EQ(w.Stdout(), kArchiveLine) << "the archive's failure ends the run";
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), "earlier archive");
  EXPECT_EQ(w.Installed(), before);
}

}  // namespace
}  // namespace cdcopy::testing
