// Real faults on real runs of the built cdcopy: a full disk, a disc that cannot be read to its
// end, signals in the middle of a copy, standard output gone, a link planted in the
// installation, two runs at once and a folder the user may not write. Whatever happens, an
// earlier copy survives byte for byte and no temporary file is left behind.
#include <gtest/gtest.h>
#include <linux/cdrom.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <linux/fs.h>
#include <regex>
#include <thread>

#include "sample_world.h"
#include "terminal_session.h"
#include "test_files.h"
#include "texts.h"

namespace cdcopy::testing {
namespace {

using cdcopy::testing::PrintTo;

using texts::kArchiveLine;
using texts::kLogoLine;

const std::string kArchive = "KestCore/bnd0.bnd";
const std::string kLogo = "KestCore/video/orrinmark.flk";
const std::string kArchiveOnDisc = "base/INSTALL/DATA/KESTCORE/BND0.BND";
const std::string kLogoOnDisc = "base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK";

// The run's exit status, as ExitCode() gives it.
int RunToTheEnd(const Launch& launch) {
  TerminalSession session(launch);
  return ExitCode(session.Finish(seconds(30)));
}

// The logo's copy fails part way, for every way the data can be copied (the ways before the
// one under test are refused, as file systems that cannot do them refuse them) and every way a
// copy can fail: a read error, a disc that ends early, a size limit, a sync or close that fails.
struct LogoFaultCase {
  const char* name;
  std::vector<std::string> env;
  std::string faultSeen;  // in the shim's log; "" for a fault the kernel makes
  rlim_t fileSizeLimit = RLIM_INFINITY;
};

class LogoFault : public ::testing::TestWithParam<LogoFaultCase> {};

TEST_P(LogoFault, KeepsTheEarlierCopyAndLeavesNothing) {
  const LogoFaultCase& c = GetParam();
  World w(20000, 400000);
  WriteFile(w.Inst(kArchive), "earlier archive");
  WriteFile(w.Inst(kLogo), "earlier logo");
  const auto before = w.Installed();
  std::vector<std::string> env = {"CDCOPY_SHIM_SOURCE=ORRINMARK.FLK"};
  env.insert(env.end(), c.env.begin(), c.env.end());
  Launch launch = WithoutTerminal(w, env);
  launch.fileSizeLimit = c.fileSizeLimit;
  launch.ignoreSizeSignal = false;  // as in any shell with `ulimit -f`
  EXPECT_EQ(RunToTheEnd(launch), 0);
  EXPECT_NE(w.ShimLog().find(c.faultSeen + "\n"), std::string::npos) << w.ShimLog();
  EXPECT_EQ(w.Stdout(), kArchiveLine + kLogoLine) << "the logo's failure ends the run";
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), w.Disc(kArchiveOnDisc));
  EXPECT_EQ(ReadFile(w.Inst(kLogo)), "earlier logo");
  EXPECT_EQ(w.Installed(), before);
}

const std::string kEio = "CDCOPY_SHIM_EIO_AT=131072";
const std::string kEof = "CDCOPY_SHIM_EOF_AT=131072";

INSTANTIATE_TEST_SUITE_P(
    Faults, LogoFault,
    ::testing::ValuesIn(std::vector<LogoFaultCase>{
        {"Clone", {kEio}, "clone EIO"},
        {"KernelCopy", {kEio, "CDCOPY_SHIM_REFUSE=clone"}, "copy_file_range EIO"},
        {"Sendfile", {kEio, "CDCOPY_SHIM_REFUSE=clone,copy_file_range"}, "sendfile EIO"},
        {"ReadWrite", {kEio, "CDCOPY_SHIM_REFUSE=clone,copy_file_range,sendfile"}, "read EIO"},
        {"KernelCopyIntoANamedTemporaryFile",
         {kEio, "CDCOPY_SHIM_REFUSE=clone,tmpfile"},
         "copy_file_range EIO"},
        {"ReadWriteIntoANamedTemporaryFile",
         {kEio, "CDCOPY_SHIM_REFUSE=clone,copy_file_range,sendfile,tmpfile"},
         "read EIO"},
        // A cut-short disc image: the end comes early, with no read error.
        {"KernelCopyEndsEarly", {kEof, "CDCOPY_SHIM_REFUSE=clone"}, "copy_file_range EOF"},
        {"ReadWriteEndsEarly",
         {kEof, "CDCOPY_SHIM_REFUSE=clone,copy_file_range,sendfile,tmpfile"},
         "read EOF"},
        {"SyncFails", {"CDCOPY_SHIM_FAIL=fdatasync"}, "fdatasync EIO"},
        {"CloseFails", {"CDCOPY_SHIM_FAIL=close"}, "close EIO"},
        {"CloseFailsNamed", {"CDCOPY_SHIM_FAIL=close", "CDCOPY_SHIM_REFUSE=tmpfile"}, "close EIO"},
        // SIGXFSZ left at its default would end the run, leaving a named temporary file.
        {"SizeLimit", {"CDCOPY_SHIM_REFUSE=clone,tmpfile"}, "copy_file_range", 64 * 1024}}),
    [](const ::testing::TestParamInfo<LogoFaultCase>& info) { return info.param.name; });

// The data reaches the disk before the copy takes the destination's name, and the name before
// the copy is reported made.
// A copy larger than a window is written behind the read, with the disc read ahead.
TEST(Faults, ACopyIsSyncedBeforeItsRenameAndItsFolderAfter) {
  World w(3 << 20);
  EXPECT_EQ(RunToTheEnd(WithoutTerminal(w)), 0);
  EXPECT_EQ(w.ShimLog(), "read ahead\nsync_file_range\nfdatasync\nlinkat\nrenameat\nfsync\n");
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), w.Disc(kArchiveOnDisc));
}

// Each window is handed to the disk as soon as it is copied and the disc asked for the next one;
// the run waits for the disk only once four windows wait to be written. Five whole windows: the
// last one ends the copy.
TEST(Faults, ACopyIsWrittenBehindItsReadWindowByWindow) {
  World w(5 << 20);
  fs::permissions(w.Root("discs/" + kArchiveOnDisc), fs::perms::owner_write, fs::perm_options::add);
  fs::resize_file(w.Root("discs/" + kArchiveOnDisc), 5 << 20);
  EXPECT_EQ(RunToTheEnd(WithoutTerminal(w, {"CDCOPY_SHIM_CALLS=1", "CDCOPY_SHIM_REFUSE=clone"})),
            0);
  EXPECT_EQ(w.ShimLog(),
            "read ahead 0+1024\n"
            "sync_file_range 0+1024 write\nread ahead 1024+1024\n"
            "sync_file_range 1024+1024 write\nread ahead 2048+1024\n"
            "sync_file_range 2048+1024 write\nread ahead 3072+1024\n"
            "sync_file_range 3072+1024 write\nread ahead 4096+1024\n"
            "sync_file_range 4096+1024 write\nsync_file_range 0+1024 wait\nread ahead 5120+1024\n"
            "fdatasync\nlinkat\nrenameat\nfsync\n"
            "read ahead 0+1024\n");  // the logo, smaller than a window
}

// A disc is another file system, where neither a clone nor copy_file_range can copy: the data
// still stays in the kernel, through sendfile. /dev/shm stands in for the drive.
TEST(Faults, ADiscOnAnotherFileSystemIsCopiedBySendfile) {
  World w;
  const std::string disc = ShmFolder(w.Root(""));
  if (disc.empty()) GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  const std::string archive = SampleData("archive on another file system", 300000);
  WriteFile(disc + "/INSTALL/DATA/KESTCORE/BND0.BND", archive);
  WriteFile(disc + "/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK", "logo");
  fs::create_symlink(disc, w.Root("discs/shm"));
  w.Insert("shm");
  int status = RunToTheEnd(WithoutTerminal(w, {"CDCOPY_SHIM_SOURCE=BND0.BND"}));
  fs::remove_all(disc);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(
      w.ShimLog().starts_with("source opened\nclone\nread ahead\ncopy_file_range\nsendfile\n"))
      << w.ShimLog();
  EXPECT_TRUE(ReadFile(w.Inst(kArchive)) == archive);
}

// A signal in the middle of the archive's copy ends cdcopy as it ends any program, leaving no
// temporary file, named or not, and the earlier copy as it was.
struct SignalCase {
  const char* name;
  int signal;
  bool namedTemporaryFile;
  bool atName = false;  // raised as the temporary file gets its name, else sent mid-copy
};

class SignalDuringCopy : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalDuringCopy, LeavesNoTemporaryFileAndTheEarlierCopy) {
  const SignalCase& c = GetParam();
  World w(1 << 20);
  WriteFile(w.Inst(kArchive), "earlier archive");
  const auto before = w.Installed();
  std::vector<std::string> env = {"CDCOPY_SHIM_SOURCE=BND0.BND"};
  if (c.namedTemporaryFile) env.push_back("CDCOPY_SHIM_REFUSE=tmpfile");
  if (c.atName) env.push_back("CDCOPY_SHIM_SIGNAL_AT_NAME=" + std::to_string(c.signal));
  Launch launch = WithoutTerminal(w, env);
  Hold hold(launch);
  TerminalSession session(launch);
  // Mid-copy: held as the copy begins.
  if (!c.atName) {
    ASSERT_TRUE(hold.Until("copy")) << "the copy never began";
    kill(session.Pid(), c.signal);
  }
  hold.Until("");
  EXPECT_EQ(ExitCode(session.Finish(seconds(20))), 128 + c.signal);
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), "earlier archive");
  EXPECT_EQ(w.Installed(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SignalDuringCopy,
    ::testing::Values(
        SignalCase{"Interrupt", SIGINT, false}, SignalCase{"Terminate", SIGTERM, false},
        SignalCase{"HangUp", SIGHUP, false}, SignalCase{"InterruptNamed", SIGINT, true},
        SignalCase{"TerminateNamed", SIGTERM, true}, SignalCase{"HangUpNamed", SIGHUP, true},
        // Any signal that ends a process by default.
        SignalCase{"UserSignalNamed", SIGUSR1, true}, SignalCase{"AlarmNamed", SIGALRM, true},
        SignalCase{"CpuLimitNamed", SIGXCPU, true}, SignalCase{"RealTimeNamed", SIGRTMIN + 1, true},
        SignalCase{"AbortNamed", SIGABRT, true}, SignalCase{"QuitNamed", SIGQUIT, true},
        SignalCase{"LastRealTimeNamed", SIGRTMAX, true},
        SignalCase{"SegmentationFaultNamed", SIGSEGV, true},
        SignalCase{"HangUpAsTheCopyIsNamed", SIGHUP, false, true},
        SignalCase{"TerminateAsTheNamedCopyIsMade", SIGTERM, true, true}),
    [](const ::testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

TEST(Faults, TerminateOrHangUpAtAPromptRestoresTheTerminal) {
  // 0: SIGTERM comes just as the answered box gives the terminal back.
  for (int signal :
       {0, SIGTERM, SIGHUP, SIGUSR2, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
    World w;
    Launch launch = w.Start();
    if (!signal) launch.env = {"CDCOPY_SHIM_TERM_AT_RESTORE=1"};
    TerminalSession session(launch);
    ASSERT_TRUE(session.WaitFor(kBoxWaits));
    signal ? (void)kill(session.Pid(), signal) : session.Type("\r");
    EXPECT_EQ(ExitCode(session.Finish(seconds(20))), 128 + (signal ? signal : SIGTERM));
    EXPECT_TRUE(session.SettingsRestored()) << signal;
  }
  // Started with hang-ups ignored (nohup), cdcopy keeps ignoring them.
  World w;
  Launch launch = w.Start();
  launch.ignoredSignal = SIGHUP;
  TerminalSession session(launch);
  ASSERT_TRUE(session.WaitFor(kBoxWaits));
  kill(session.Pid(), SIGHUP);
  session.Type("\x1b");
  ASSERT_TRUE(session.WaitFor("Copy cancelled", 1, seconds(5)));
  session.Type("\r");
  EXPECT_EQ(ExitCode(session.Finish(seconds(20))), 0);
}

// Stopped from outside while a box waits, cdcopy leaves the terminal to the shell; continued,
// it takes its keys one at a time again and draws the box anew. A stop that its process group
// cannot take (no shell to continue it) changes nothing.
TEST(Faults, AStopAtAPromptGivesTheTerminalBackAndAContinueRedrawsTheBox) {
  World w;
  TerminalSession session(w.Start());
  ASSERT_TRUE(session.WaitFor(kBoxWaits));
  kill(session.Pid(), SIGSTOP);
  ASSERT_TRUE(Eventually([&] { return State(session.Pid()) == 'T'; }));
  tcsetattr(session.Slave(), TCSANOW, &session.InitialSettings());  // as the shell does
  kill(session.Pid(), SIGCONT);
  for (int box = 2; box <= 3; ++box) {
    ASSERT_TRUE(session.WaitFor(kBoxWaits, box, seconds(5)));
    EXPECT_EQ(session.Settings().c_lflag & (ICANON | ECHO), 0u) << "box " << box;
    kill(session.Pid(), SIGTSTP);
  }
  ASSERT_TRUE(session.WaitFor(kBoxWaits, 4, seconds(5)));
  session.Type("\x1b");
  ASSERT_TRUE(session.WaitFor("Copy cancelled", 1, seconds(5)));
  session.Type("\r");
  EXPECT_EQ(ExitCode(session.Finish(seconds(20))), 0);
  EXPECT_TRUE(session.SettingsRestored());

  // Stopped from outside or by Ctrl-Z typed at the box, then continued in the
  // background (`bg`): the shell's terminal stays as it is.
  for (bool typed : {false, true}) {
    World bg;
    Launch launch = bg.Start();
    launch.asShellJob = true;
    TerminalSession shell(launch);
    ASSERT_TRUE(shell.WaitFor(kBoxWaits));
    const pid_t job = shell.Foreground();
    // Stopped, the run has given the terminal back itself: the shell, held, has not yet.
    kill(shell.Pid(), SIGSTOP);
    typed ? shell.Type("\x1a") : void(kill(job, SIGTSTP));
    ASSERT_TRUE(Eventually([&] { return State(job) == 'T'; }));
    EXPECT_NE(shell.Settings().c_lflag & ICANON, 0u) << "keys one at a time while stopped";
    kill(shell.Pid(), SIGCONT);
    ASSERT_TRUE(Eventually([&] { return shell.Foreground() != job && State(job) == 'S'; }));
    EXPECT_NE(shell.Settings().c_lflag & ICANON, 0u) << "keys one at a time in the background";
    kill(job, SIGTERM);
    EXPECT_EQ(ExitCode(shell.Finish(seconds(20))), 128 + SIGTERM);
  }
}

// A drive named by its device that says its tray is open, or that it has no disc, has nothing
// coming: the copy fails at once instead of waiting for a mount. One still becoming ready is
// waited for.
TEST(AsRoot, ADriveWithItsTrayOpenFailsAtOnce) {
  World w;
  DriveDevice drive;
  REQUIRE_DRIVE(drive, w);
  struct {
    std::string status;  // what the drive answers, call after call
    bool mountedLater;   // once the run has waited 2 s for it
    std::string waits;   // asked for, with no mount wait where nothing is coming
    std::string stdoutBytes;
  } cases[] = {{"2", false, "sleep 5000 ms\n", kArchiveLine},  // CDS_TRAY_OPEN
               {"1", false, "sleep 5000 ms\n", kArchiveLine},  // CDS_NO_DISC
               // Opened while the drive was becoming ready: noticed at once, not at the end.
               {"3,2", false, "mount wait 0 s\nsleep 5000 ms\n", kArchiveLine},
               {"3", true, "mount wait 2 s\n", kArchiveLine + kLogoLine}};  // CDS_DRIVE_NOT_READY
  for (const auto& c : cases) {
    Launch launch = WithoutTerminal(w, {"CDCOPY_SHIM_DRIVE_STATUS=" + c.status});
    launch.args[0] = drive.Root();
    Hold hold(launch);
    TerminalSession run(launch);
    EXPECT_TRUE(!c.mountedLater || drive.InsertOnceWaitedFor(hold, "base"))
        << "no wait for the disc";
    hold.Until("");
    EXPECT_EQ(ExitCode(run.Finish(seconds(30))), 0);
    drive.Eject();
    EXPECT_EQ(w.Waits(), c.waits) << c.status;
    EXPECT_NE(w.ShimLog().find("drive status\n"), std::string::npos) << c.status;
    EXPECT_EQ(w.Stdout(), c.stdoutBytes) << c.status;
    fs::remove(w.Root("shim.log"));
  }
}

// The installation on a file system too small for the archive: both attempts fail, the notice
// ends the run, and the earlier copy and the free space are as they were. As root the file
// system is a small tmpfs; otherwise a file size limit stands in for it.
TEST(AsRoot, DiskFullKeepsTheEarlierCopyAndTheFreeSpace) {
  World w(1 << 20);
  SmallFileSystem small(w.Root("inst"), "size=256k");
  if (small.Mounted()) fs::create_directories(w.Inst("KestCore/video"));
  WriteFile(w.Inst(kArchive), "earlier archive");
  const auto before = w.Installed();
  const unsigned long freeBefore = small.FreeBlocks();
  Launch launch = w.Start();
  if (!small.Mounted()) launch.fileSizeLimit = 64 * 1024;
  TerminalSession session(launch);
  ASSERT_TRUE(session.WaitFor(kBoxWaits));
  session.Type("\r");
  ASSERT_TRUE(session.WaitFor("Copy failed - You can play with the Kestrion", 1, seconds(30)));
  session.Type("\r");
  EXPECT_EQ(ExitCode(session.Finish(seconds(20))), 0);
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
  EXPECT_EQ(RunToTheEnd(launch), 0);
  ExpectBaseCopied(w);
}

TEST(Faults, LinkPlantedAtADestinationIsReplacedAndItsTargetUntouched) {
  World w;
  WriteFile(w.Root("precious"), "precious", 0644);
  fs::create_symlink(w.Root("precious"), w.Inst(kArchive));
  EXPECT_EQ(RunToTheEnd(WithoutTerminal(w)), 0);
  EXPECT_FALSE(fs::is_symlink(w.Inst(kArchive)));
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), w.Disc(kArchiveOnDisc));
  EXPECT_EQ(ReadFile(w.Root("precious")), "precious");
  EXPECT_EQ(Mode(w.Root("precious")), 0644u);
}

TEST(Faults, TwoRunsAtOnceLeaveEveryFileWhole) {
  for (std::string refuse : {"", "tmpfile"}) {
    World w(1 << 20);
    // The second run starts as the first is about to rename its copy, so that its sweep meets
    // the first's temporary file; the first goes on once the second's copy has begun.
    Launch second =
        WithoutTerminal(w, {"CDCOPY_SHIM_SOURCE=BND0.BND", "CDCOPY_SHIM_REFUSE=" + refuse});
    Launch first = second;
    second.stdoutPath = w.Root("stdout2");
    second.stderrPath = w.Root("stderr2");
    Hold holdOne(first), holdTwo(second);
    TerminalSession one(first);
    ASSERT_TRUE(holdOne.Until("rename"));
    TerminalSession two(second);
    ASSERT_TRUE(holdTwo.Until("copy"));
    holdOne.Go();
    holdOne.Until("");
    holdTwo.Go();
    holdTwo.Until("");
    EXPECT_EQ(ExitCode(one.Finish(seconds(30))), 0);
    EXPECT_EQ(ExitCode(two.Finish(seconds(30))), 0);
    // A run whose copy the other spoilt would have paused to try again, or failed.
    EXPECT_EQ(w.Waits(), "") << refuse;
    for (const std::string& err : {w.Stderr(), ReadFile(w.Root("stderr2"))}) {
      EXPECT_EQ(err.find("Copy failed"), std::string::npos) << refuse << err;
    }
    EXPECT_EQ(w.Stdout(), kArchiveLine + kLogoLine) << refuse;
    EXPECT_EQ(ReadFile(w.Root("stdout2")), kArchiveLine + kLogoLine) << refuse;
    ExpectBaseCopied(w);
    EXPECT_EQ(w.Installed(), (std::vector<std::string>{"KestCore", kArchive, "KestCore/video",
                                                       kLogo, "Velmora", "halvane"}));
  }
}

// A signal as a named temporary file is made: a file of that name that another process made
// first is not removed.
TEST(Faults, ASignalAsATemporaryFileIsMadeRemovesNoOneElsesFile) {
  World w;
  EXPECT_EQ(RunToTheEnd(
                WithoutTerminal(w, {"CDCOPY_SHIM_REFUSE=tmpfile", "CDCOPY_SHIM_TERM_AT_CREATE=1"})),
            128 + SIGTERM);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(w.Inst("KestCore")))
    left.push_back(ReadFile(e.path()));
  EXPECT_EQ(left, std::vector<std::string>{"another's"});
}

// A leftover whose name is given to another file as the sweep opens it: that file stays.
TEST(Faults, TheSweepRemovesOnlyTheLeftoverItOpened) {
  World w;
  WriteFile(w.Inst("KestCore/.cdcopy-4194305-0.tmp"), "left");
  WriteFile(w.Inst("KestCore/.swap"), "another's");
  EXPECT_EQ(RunToTheEnd(WithoutTerminal(w, {"CDCOPY_SHIM_SWAP_AT_OPEN=.cdcopy-4194305-0.tmp"})), 0);
  EXPECT_EQ(ReadFile(w.Inst("KestCore/.cdcopy-4194305-0.tmp")), "another's");
}

// Root may write anywhere, so as root the run is made as an ordinary user.
TEST(AsRoot, FolderTheUserMayNotWriteFailsTheCopyAndTouchesNothing) {
  World w;
  WriteFile(w.Inst(kArchive), "earlier archive");
  Launch launch = WithoutTerminal(w);
  if (geteuid() == 0) {
    std::string unreachable = AsNobody(w, launch);
    ASSERT_EQ(unreachable, "");
  } else {
    chmod(w.Inst("KestCore").c_str(), 0555);
  }
  const auto before = w.Installed();
  EXPECT_EQ(RunToTheEnd(launch), 0);
  chmod(w.Inst("KestCore").c_str(), 0755);
  EXPECT_EQ(w.Stdout(), kArchiveLine) << "the archive's failure ends the run";
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), "earlier archive");
  EXPECT_EQ(w.Installed(), before);
}

// Run with sudo into a user's installation, cdcopy must leave the copies and the video folder
// to that user, whose own later run then replaces them.
TEST(AsRoot, ARootRunLeavesTheCopiesToTheInstallationsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  World w;
  WriteFile(w.Inst(kArchive), "earlier archive");
  for (const auto& entry : fs::recursive_directory_iterator(w.Inst(""))) {
    lchown(entry.path().c_str(), kNobody, kNobody);
  }
  // A copy is the file of whoever made it: an earlier one of someone else's is replaced all the
  // same, since the owner may rename over it, and the new one is the owner's.
  lchown(w.Inst(kArchive).c_str(), kNobody - 1, kNobody - 1);
  EXPECT_EQ(RunToTheEnd(WithoutTerminal(w)), 0);
  for (const std::string& made : {kArchive, kLogo, std::string("KestCore/video")}) {
    struct stat st;
    ASSERT_EQ(lstat(w.Inst(made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_uid, kNobody) << made;
    EXPECT_EQ(st.st_gid, kNobody) << made;
  }
  WriteFile(w.Root("discs/newer/INSTALL/DATA/KESTCORE/BND0.BND"), "newer archive", 0444);
  WriteFile(w.Root("discs/newer/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK"), "newer logo", 0444);
  w.Insert("newer");
  Launch launch = WithoutTerminal(w);
  ASSERT_EQ(AsNobody(w, launch), "");
  EXPECT_EQ(RunToTheEnd(launch), 0);
  EXPECT_EQ(ReadFile(w.Inst(kArchive)), "newer archive");
  EXPECT_EQ(ReadFile(w.Inst(kLogo)), "newer logo");
}

// What a run may meet in the installation and on the disc. Run with root's rights into an
// ordinary user's installation, it does there only what that user could: links and hard links
// the user plants lead nowhere the user could not go. A disc's device node is never opened.
struct OddCase {
  const char* name;
  std::function<std::string(World&, Launch&, DriveDevice&)> prepare;  // "" or why not here
  std::string stdoutBytes = kArchiveLine + kLogoLine;
  std::string logo = SampleData("orrin logo", 5000);  // what the installed logo holds after
  std::function<void(World&)> verify = [](World&) {};
};

class OddWorld : public ::testing::TestWithParam<OddCase> {};

TEST_P(OddWorld, DoesOnlyWhatTheOwnerCouldAndLeavesNothing) {
  const OddCase& c = GetParam();
  World w;
  DriveDevice drive;
  Launch launch = WithoutTerminal(w);
  SKIP_OR_FAIL(c.prepare(w, launch, drive));
  EXPECT_EQ(RunToTheEnd(launch), 0);
  EXPECT_EQ(w.Stdout(), c.stdoutBytes);
  EXPECT_EQ(ReadFile(w.Inst(kLogo)), c.logo);
  EXPECT_EQ(w.ShimLog().find("source opened"), std::string::npos) << w.ShimLog();
  EXPECT_EQ(w.ShimLog().find("chown by name"), std::string::npos) << w.ShimLog();
  if (fs::exists(w.Root("rootonly"))) {
    EXPECT_EQ(Tree(w.Root("rootonly")), std::vector<std::string>{"orrinmark.flk"});
    EXPECT_EQ(Mode(w.Root("rootonly/orrinmark.flk")), 0600u);
  }
  const std::regex temporary(R"((^|/)\.cdcopy-[0-9]+-[0-9]+\.tmp$)");
  for (const auto& e : fs::recursive_directory_iterator(w.Inst(""))) {
    EXPECT_FALSE(std::regex_search(e.path().string(), temporary)) << e.path();
    EXPECT_TRUE(!e.is_regular_file() || e.is_symlink() || (Mode(e.path()) & 0200)) << e.path();
  }
  c.verify(w);
}

// The installation and what is planted in it belong to nobody, who cannot read a root-only file.
std::string OwnedByNobody(World& w, const std::string& planted = "", const std::string& to = "") {
  if (geteuid() != 0) return "needs root, to run as root into another user's installation";
  chmod(w.Root("").c_str(), 0755);
  WriteFile(w.Root("rootonly/orrinmark.flk"), "root's own", 0600);
  if (!planted.empty()) fs::remove_all(w.Inst(planted));
  if (!planted.empty()) fs::create_symlink(to, w.Inst(planted));
  ChownTree(w.Inst(""), {kNobody, kNobody, true});
  return "";
}

// A link of nobody's in a folder of root's that anyone may write (sticky, as /tmp) to an
// installation of root's; the run is into shared/Kestrion.
std::string LinkInAStickyFolder(World& w, Launch& launch, const std::string& link) {
  std::string why = OwnedByNobody(w);
  fs::create_directories(w.Root("rootinst/KestCore"));
  chmod(w.Root("rootinst").c_str(), 0700);
  fs::create_directories(w.Root("shared"));
  chmod(w.Root("shared").c_str(), 01777);
  fs::create_symlink(w.Root("rootinst"), w.Root("shared/" + link));
  lchown(w.Root("shared/" + link).c_str(), kNobody, kNobody);
  launch.args[1] = w.Root("shared/Kestrion");
  return why;
}

void RootinstUntouched(World& w) {
  EXPECT_EQ(Tree(w.Root("rootinst")), std::vector<std::string>{"KestCore"});
}

std::string InDrive(World& w, Launch& launch, DriveDevice& drive) {
  std::string why = drive.Open(w);
  if (!why.empty()) return why;
  drive.Insert("base");
  launch.args[0] = drive.Root();
  return "";
}

std::string CoverInDrive(World& w, Launch& launch, DriveDevice& drive, const std::string& below) {
  std::string why = InDrive(w, launch, drive);
  return why.empty() ? drive.Cover(below, w.Root("discs/base/" + below)) : why;
}

// A user whose own group is not the one of their number, with that group to themselves.
const passwd* Games() {
  const passwd* games = getpwnam("games");
  return geteuid() == 0 && games && games->pw_gid != games->pw_uid ? games : nullptr;
}
const std::string kNeedsGames = "needs root and the games user, whose group is not its number";
constexpr uid_t kStranger = 12345;  // neither is in the account files
constexpr uid_t kPlanter = 23456;

// An access list that lets `uid` write `path`, as `setfacl -m u:UID:rwx` makes it.
std::string GrantWrite(const std::string& path, uid_t uid) {
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  } const list[] = {{0x01, 7, ~0u}, {0x02, 7, uid}, {0x04, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 5, ~0u}};
  std::string value("\2\0\0\0", 4);
  value.append(reinterpret_cast<const char*>(list), sizeof list);
  return setxattr(path.c_str(), "system.posix_acl_access", value.data(), value.size(), 0) == 0
             ? ""
             : "no access lists on this file system";
}

// A link planted in a folder of root's, to the folder of `victim`, once `opened` lets the planter
// write that folder.
std::string PlantedInRootsFolder(World& w, uid_t victim,
                                 const std::function<std::string()>& opened) {
  if (geteuid() != 0) return "needs root";
  chmod(w.Root("").c_str(), 0755);
  WriteFile(w.Root("theirs/BND0.BND"), "theirs");
  ChownTree(w.Root("theirs"), {victim, victim, true});
  chmod(w.Root("theirs").c_str(), 0700);
  fs::remove_all(w.Inst("KestCore"));
  fs::create_symlink(w.Root("theirs"), w.Inst("KestCore"));
  lchown(w.Inst("KestCore").c_str(), kPlanter, kPlanter);
  return opened();
}

std::string AccessListOpens(World& w, Launch&, DriveDevice&) {
  const passwd* games = Games();
  if (!games) return kNeedsGames;
  return PlantedInRootsFolder(w, games->pw_uid, [&] {
    chown(w.Inst("").c_str(), 0, games->pw_gid);
    return GrantWrite(w.Inst(""), kPlanter);
  });
}

// The installation is nobody's own FUSE mount of their folder, where a link leads to a folder
// only root may enter. A user's mount needs /dev/fuse open to them and allow_other allowed:
// both only while mounting.
std::string UsersFuseMount(World& w, Launch&, DriveDevice&) {
  const std::string bindfs = FindProgram({"bindfs"});
  if (geteuid() != 0 || bindfs.empty() || FindProgram({"fusermount3"}).empty())
    return "needs root, bindfs (bindfs) and fusermount3 (fuse3)";
  std::string why = OwnedByNobody(w);
  chmod(w.Root("rootonly").c_str(), 0700);
  for (const auto& e : fs::directory_iterator(w.Inst(""))) fs::remove_all(e.path());
  fs::create_directories(w.Root("theirs"));
  fs::create_symlink(w.Root("rootonly"), w.Root("theirs/KestCore"));
  ChownTree(w.Root("theirs"), {kNobody, kNobody, true});
  const std::string conf = ReadFile("/etc/fuse.conf");
  struct stat device {};
  stat("/dev/fuse", &device);
  WriteFile("/etc/fuse.conf", conf + "\nuser_allow_other\n", 0644);
  chmod("/dev/fuse", 0666);
  Output mounted = Capture({bindfs, "--force-user=root", "--force-group=root", "-o", "allow_other",
                            w.Root("theirs"), w.Inst("")},
                           {}, {kNobody, kNobody, true});
  chmod("/dev/fuse", device.st_mode & 07777);
  conf.empty() ? (void)fs::remove("/etc/fuse.conf") : WriteFile("/etc/fuse.conf", conf, 0644);
  return mounted.status == 0 ? why : "bindfs could not mount: " + mounted.errors;
}

void CopiesOwnedBy(World& w, uid_t uid, gid_t gid) {
  for (const std::string& made : {kArchive, std::string("KestCore/video"), kLogo}) {
    struct stat st {};
    EXPECT_EQ(lstat(w.Inst(made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_uid, uid) << made;
    EXPECT_EQ(st.st_gid, gid) << made;
  }
}

void TheirsUntouched(World& w) {
  EXPECT_EQ(ReadFile(w.Root("theirs/BND0.BND")), "theirs");
}

void SetFolderFlags(World& w, int flags) {
  int fd = open(w.Inst("KestCore/video").c_str(), O_RDONLY | O_DIRECTORY);
  if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) flags = -1;
  close(fd);
}

// A row's installation whose KestCore has this owner, group and mode, after `more`.
std::function<std::string(World&, Launch&, DriveDevice&)> KestCoreOf(
    uid_t uid, gid_t gid, mode_t mode, std::function<void(World&)> more = [](World&) {}) {
  return [=](World& w, Launch&, DriveDevice&) {
    more(w);
    chown(w.Inst("KestCore").c_str(), uid, gid);
    chmod(w.Inst("KestCore").c_str(), mode);
    return NeedsRoot();
  };
}

std::string SharedGroupsFolder(World& w, Launch&, DriveDevice&) {
  const passwd* sync = getpwnam("sync");  // in nobody's group, with others
  if (geteuid() != 0 || !sync || sync->pw_gid != kNobody) {
    return "needs root and sync, in nobody's group";
  }
  ChownTree(w.Inst(""), {sync->pw_uid, kNobody, true});
  chmod(w.Inst("KestCore").c_str(), 02775);
  return "";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OddWorld,
    ::testing::Values(
        // A link swapped in between the reset's look at the earlier logo and its change: the
        // change stays with the file looked at.
        OddCase{"LinkSwappedInAtTheReset",
                [](World& w, Launch& launch, DriveDevice&) {
                  w.Insert("nologo");
                  WriteFile(w.Inst(kLogo), "earlier logo", 0444);
                  WriteFile(w.Root("outside/kept"), "kept", 0444);
                  fs::create_symlink(w.Root("outside/kept"), w.Inst("KestCore/video/.swap"));
                  launch.env.push_back("CDCOPY_SHIM_SWAP_AT_CHANGE=orrinmark.flk");
                  return "";
                },
                kArchiveLine + kLogoLine, "kept",
                [](World& w) { EXPECT_EQ(Mode(w.Root("outside/kept")), 0444u); }},
        OddCase{"AKilledRunsLeftoversAreSweptAndNothingElse",
                [](World& w, Launch&, DriveDevice&) {
                  for (const char* name : {".cdcopy-4194305-0.tmp", ".cdcopy-x-0.tmp",
                                           "a.cdcopy-1-2.tmp", ".cdcopy-1-2.tmp.bak"}) {
                    WriteFile(w.Inst("KestCore/") + name, "left");
                  }
                  return "";
                },
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) {
                  EXPECT_FALSE(fs::exists(w.Inst("KestCore/.cdcopy-4194305-0.tmp")));
                  EXPECT_TRUE(fs::exists(w.Inst("KestCore/.cdcopy-x-0.tmp")));
                  EXPECT_TRUE(fs::exists(w.Inst("KestCore/a.cdcopy-1-2.tmp")));
                  EXPECT_TRUE(fs::exists(w.Inst("KestCore/.cdcopy-1-2.tmp.bak")));
                }},
        OddCase{"DriveRootWithABackslashInItsName",
                [](World& w, Launch& launch, DriveDevice&) {
                  fs::create_directories(w.Root("media"));
                  fs::create_symlink(w.Root("discs/base"), w.Root("media/MISSION PACK\\TWO"));
                  launch.args[0] = w.Root("media/MISSION PACK\\TWO/");
                  return "";
                }},
        // Network and foreign file systems: no locks (ENOLCK), no folder flags (ENOTTY).
        OddCase{"NoLocksNorFolderFlags",
                [](World&, Launch& launch, DriveDevice&) {
                  launch.env.push_back("CDCOPY_SHIM_FAIL=flock,getflags");
                  return "";
                },
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) {
                  for (const char* fault : {"flock ENOLCK\n", "getflags ENOTTY\n"})
                    EXPECT_NE(w.ShimLog().find(fault), std::string::npos) << fault;
                }}),
    [](const ::testing::TestParamInfo<OddCase>& info) { return info.param.name; });

// Run with root's rights, for an ordinary user's installation or a drive named by its device.
INSTANTIATE_TEST_SUITE_P(
    AsRoot, OddWorld,
    ::testing::Values(
        // The owner's link where the video folder goes, to a folder only root may enter.
        OddCase{"PlantedFolderLinkLeadsNowhere",
                [](World& w, Launch&, DriveDevice&) {
                  return OwnedByNobody(w, "KestCore/video", w.Root("rootonly"));
                },
                kArchiveLine + kLogoLine, "root's own"},
        // No logo on the disc: only the attribute reset after the failed copy meets the link.
        OddCase{"PlantedFolderLinkMeetsTheReset",
                [](World& w, Launch&, DriveDevice&) {
                  w.Insert("nologo");
                  return OwnedByNobody(w, "KestCore/video", w.Root("rootonly"));
                },
                kArchiveLine + kLogoLine, "root's own"},
        OddCase{"PlantedHardLinkMeetsTheReset",
                [](World& w, Launch&, DriveDevice&) {
                  w.Insert("nologo");
                  fs::create_directories(w.Inst("KestCore/video"));
                  std::string why = OwnedByNobody(w);
                  if (why.empty())
                    fs::create_hard_link(w.Root("rootonly/orrinmark.flk"), w.Inst(kLogo));
                  return why;
                },
                kArchiveLine + kLogoLine, "root's own"},
        OddCase{"OwnersOwnFolderLinkGetsTheCopies",
                [](World& w, Launch&, DriveDevice&) {
                  fs::create_directories(w.Root("elsewhere"));
                  lchown(w.Root("elsewhere").c_str(), kNobody, kNobody);
                  return OwnedByNobody(w, "KestCore", w.Root("elsewhere"));
                },
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) {
                  for (const char* made : {"elsewhere/bnd0.bnd", "elsewhere/video/orrinmark.flk"}) {
                    struct stat st {};
                    EXPECT_EQ(lstat(w.Root(made).c_str(), &st) == 0 ? st.st_uid : 0, kNobody);
                  }
                }},
        OddCase{"DeviceNodeOnTheDiscIsNeverOpened",
                [](World& w, Launch& launch, DriveDevice&) {
                  launch.env.push_back("CDCOPY_SHIM_SOURCE=ORRINMARK.FLK");
                  std::string disc = w.Root("discs/base/" + kLogoOnDisc.substr(5));
                  fs::remove(disc);
                  return mknod(disc.c_str(), S_IFCHR | 0444, makedev(1, 3)) == 0 ? "" : NeedsRoot();
                },
                kArchiveLine + kLogoLine, ""},
        OddCase{"WithoutProcTheCopiesAreStillWritable",
                [](World&, Launch& launch, DriveDevice&) {
                  launch.withoutProc = true;
                  return NeedsRoot();
                }},
        OddCase{"AppendOnlyFolderIsRefusedBeforeAnythingIsWritten",
                [](World& w, Launch&, DriveDevice&) {
                  WriteFile(w.Inst(kLogo), "earlier logo");
                  SetFolderFlags(w, FS_APPEND_FL);
                  return NeedsRoot();
                },
                kArchiveLine + kLogoLine, "earlier logo", [](World& w) { SetFolderFlags(w, 0); }},
        // Only the named device's file system is copied from: not a folder mounted over it
        // (the archive then fails twice, five seconds apart, with no wait for a mount, since
        // the cover stays), nor one mounted inside it.
        OddCase{"MountOverTheDiscIsNotTheDisc",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  return CoverInDrive(w, launch, drive, "");
                },
                kArchiveLine, "", [](World& w) { EXPECT_EQ(w.Waits(), "sleep 5000 ms\n"); }},
        OddCase{"MountInsideTheDiscIsNotTheDisc",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  return CoverInDrive(w, launch, drive, "INSTALL/DATA/KESTCORE/VIDEO");
                },
                kArchiveLine + kLogoLine, ""},
        // The installation reached through the owner's link to a folder of root's that anyone
        // may write (sticky): the owner's folder there leads nowhere the owner could not go.
        OddCase{"OwnersLinkToASharedFolder",
                [](World& w, Launch& launch, DriveDevice&) {
                  std::string why = OwnedByNobody(w, "KestCore/video", w.Root("rootonly"));
                  lchown(w.Inst("").c_str(), 0, 0);
                  chmod(w.Inst("").c_str(), 01777);
                  fs::create_directories(w.Root("home"));
                  fs::create_symlink(w.Root("inst"), w.Root("home/Kestrion"));
                  ChownTree(w.Root("home"), {kNobody, kNobody, true});
                  launch.args[1] = w.Root("home/Kestrion");
                  return why;
                },
                kArchiveLine + kLogoLine, "root's own"},
        // The owner's link in a folder of root's that anyone may write (sticky, as /tmp): only
        // the link's owner and root can change it, so it leads nowhere its owner could not go.
        OddCase{"LinkInAStickyFolderLeadsNowhere",
                [](World& w, Launch& launch, DriveDevice&) {
                  return LinkInAStickyFolder(w, launch, "Kestrion");
                },
                kArchiveLine, "", RootinstUntouched},
        // The same link swapped in for root's own after the walk looked at the name:
        // what is judged is what was opened.
        OddCase{"LinkSwappedInAStickyFolderLeadsNowhere",
                [](World& w, Launch& launch, DriveDevice&) {
                  launch.env.push_back("CDCOPY_SHIM_SWAP_AT_OPEN=Kestrion");
                  fs::create_directories(w.Root("shared"));
                  fs::create_symlink(w.Root("rootinst"), w.Root("shared/Kestrion"));
                  return LinkInAStickyFolder(w, launch, ".swap");
                },
                kArchiveLine, "", RootinstUntouched},
        // A folder of root's that a group may write, whoever its members are, or an access
        // list opens to a user: the planter's link leads nowhere they could not go.
        OddCase{"LinkInAFolderItsGroupMayWrite",
                [](World& w, Launch&, DriveDevice&) {
                  return PlantedInRootsFolder(w, kStranger, [&] {
                    chown(w.Inst("").c_str(), 0, kPlanter);
                    return chmod(w.Inst("").c_str(), 02775) == 0 ? "" : "cannot chmod";
                  });
                },
                kArchiveLine, "", TheirsUntouched},
        // The folder's group, as its mode shows it, is the victim's alone.
        OddCase{"LinkInAFolderAnAccessListOpens", AccessListOpens, kArchiveLine, "",
                TheirsUntouched},
        // Read without /proc (a chroot), the access list still counts.
        OddCase{"LinkInAFolderAnAccessListOpensWithoutProc",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  launch.withoutProc = true;
                  return AccessListOpens(w, launch, drive);
                },
                kArchiveLine, "", TheirsUntouched},
        // An access list that cannot be read counts as one that lets anyone in.
        OddCase{"LinkInAFolderWhoseAccessListCannotBeRead",
                [](World& w, Launch& launch, DriveDevice&) {
                  launch.env.push_back("CDCOPY_SHIM_FAIL=xattr");
                  return PlantedInRootsFolder(w, kStranger, [] { return std::string(); });
                },
                kArchiveLine, "", TheirsUntouched},
        // A user's FUSE mount whose daemon says root owns everything: the owner's link there
        // leads nowhere the user could not go.
        OddCase{"UsersFuseMountClaimingRootLeadsNowhere", UsersFuseMount, kArchiveLine, "",
                [](World& w) { umount2(w.Inst("").c_str(), MNT_DETACH); }},
        // What is made belongs to the folder's owner and group, never to the walk's identity.
        OddCase{"ASharedGroupsFolderGetsCopiesOfItsOwner", SharedGroupsFolder,
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) { CopiesOwnedBy(w, getpwnam("sync")->pw_uid, kNobody); }},
        // Named where the file system has no unnamed files: made with root's rights, so that
        // no one running as the identity the run takes there can open it before the owner has it.
        OddCase{"ASharedGroupsFolderGetsNamedCopiesNoOneElseHeld",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  launch.env.push_back("CDCOPY_SHIM_REFUSE=tmpfile");
                  return SharedGroupsFolder(w, launch, drive);
                },
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) {
                  CopiesOwnedBy(w, getpwnam("sync")->pw_uid, kNobody);
                  EXPECT_EQ(w.ShimLog().find("named by another"), std::string::npos);
                }},
        // In a sticky folder the run may not rename over another user's copy: what it made is
        // removed all the same, though by then it is the folder owner's.
        OddCase{"StickyFolderWithAnotherUsersCopyLeavesNothing",
                KestCoreOf(kStranger, kStranger, 01777,
                           [](World& w) {
                             WriteFile(w.Inst(kArchive), "theirs");
                             lchown(w.Inst(kArchive).c_str(), kPlanter, kPlanter);
                           }),
                kArchiveLine, "",
                [](World& w) { EXPECT_EQ(ReadFile(w.Inst(kArchive)), "theirs"); }},
        // The drive's device named through a link its owner can change is no drive.
        OddCase{"DeviceThroughAUsersLinkIsNoDrive",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  std::string why = InDrive(w, launch, drive);
                  fs::create_directories(w.Root("theirs"));
                  fs::create_symlink(launch.args[0].substr(0, launch.args[0].size() - 1),
                                     w.Root("theirs/cd"));
                  lchown(w.Root("theirs").c_str(), kNobody, kNobody);
                  launch.args[0] = w.Root("theirs/cd/");
                  return why;
                },
                kArchiveLine, ""},
        // The video folder made for the installation's owner, filled as the run acts there.
        OddCase{"AFolderAGroupMayWriteGetsItsLogo", KestCoreOf(0, kPlanter, 0775),
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) {
                  struct stat video {};
                  lstat(w.Inst("KestCore/video").c_str(), &video);
                  EXPECT_EQ(std::pair(video.st_gid, video.st_mode & 0020),
                            std::pair(kPlanter, 0020u));
                }},
        OddCase{"AFolderAnyoneMayWriteGetsItsLogo", KestCoreOf(kStranger, kStranger, 0777),
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) { CopiesOwnedBy(w, kStranger, kStranger); }},
        // Where anyone may make a name but not take another's (sticky), nor in what is made.
        OddCase{"AStickyFolderGetsNoFolderAnyoneMayWrite", KestCoreOf(kStranger, kStranger, 01777),
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) { EXPECT_EQ(Mode(w.Inst("KestCore/video")) & 0002, 0u); }},
        OddCase{"RootsGroupFolderGetsRootsCopies", KestCoreOf(0, 0, 0775), kArchiveLine + kLogoLine,
                SampleData("orrin logo", 5000), [](World& w) { CopiesOwnedBy(w, 0, 0); }},
        // A drive folder a user may change is read with that user's rights: their hard link to
        // a file only root may read is not copied.
        OddCase{"HardLinkInAUsersDriveFolderIsNotRead",
                [](World& w, Launch&, DriveDevice&) {
                  ChownTree(w.Root("discs/base"), {kNobody, kNobody, true});
                  fs::remove(w.Root("discs/" + kArchiveOnDisc));
                  fs::create_hard_link(w.Root("outside/secret"), w.Root("discs/" + kArchiveOnDisc));
                  return NeedsRoot();
                },
                kArchiveLine, "",
                [](World& w) {
                  EXPECT_EQ(w.Waits(), "sleep 5000 ms\n");
                  EXPECT_FALSE(fs::exists(w.Inst(kArchive)));
                }},
        // The owner's own group, from the account files: a folder that only it may enter is
        // the owner's to use, whatever the installation folder's group.
        OddCase{"OwnersOwnGroupReachesItsFolder",
                [](World& w, Launch&, DriveDevice&) {
                  const passwd* games = Games();
                  if (!games) return kNeedsGames;
                  chmod(w.Root("").c_str(), 0755);
                  fs::create_directories(w.Root("gamesonly"));
                  fs::create_symlink(w.Root("gamesonly"), w.Inst("KestCore/video"));
                  ChownTree(w.Inst(""), {games->pw_uid, kNobody, true});
                  chown(w.Root("gamesonly").c_str(), 0, games->pw_gid);
                  chmod(w.Root("gamesonly").c_str(), 0770);
                  return std::string();
                }},
        // A folder its owner may write and search but not list: the copy lands, and is not
        // reported failed for want of a sync of the folder.
        OddCase{"FolderTheOwnerMayNotList",
                [](World& w, Launch&, DriveDevice&) {
                  std::string why = OwnedByNobody(w);
                  chmod(w.Inst("KestCore").c_str(), 0300);
                  WriteFile(w.Root("shim.log"), "", 0666);  // logged to as the owner too
                  return why;
                },
                kArchiveLine + kLogoLine, SampleData("orrin logo", 5000),
                [](World& w) {
                  EXPECT_EQ(w.Waits(), "");
                  EXPECT_NE(w.ShimLog().find("syncfs\n"), std::string::npos) << w.ShimLog();
                  ExpectBaseCopied(w);
                }},
        OddCase{"FileMountedOverADiscFileIsNotTheDiscs",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  return CoverInDrive(w, launch, drive, kLogoOnDisc.substr(5));
                },
                kArchiveLine + kLogoLine, ""},
        // A drive folder without its slash is that folder, as a device without it is the device.
        OddCase{"DriveFolderWithoutItsSlash",
                [](World&, Launch& launch, DriveDevice&) {
                  launch.args[0].pop_back();
                  return std::string();
                }},
        // The drive named by its device without the slash, as a shell completes it.
        OddCase{"DriveDeviceWithoutItsSlash",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  std::string why = InDrive(w, launch, drive);
                  launch.args[0].pop_back();
                  return why;
                }},
        OddCase{"DriveDeviceWithItsSlashDoubled",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  std::string why = InDrive(w, launch, drive);
                  launch.args[0] += '/';
                  return why;
                }},
        // The disc mounted at a second folder too, something mounted over that one: the
        // first still shows the disc.
        OddCase{"DiscMountedTwiceTheNewerCovered",
                [](World& w, Launch& launch, DriveDevice& drive) {
                  std::string why = InDrive(w, launch, drive);
                  return why.empty()
                             ? drive.MountAgainCovered(w.Root("again"), w.Root("discs/first"))
                             : why;
                }}),
    [](const ::testing::TestParamInfo<OddCase>& info) { return info.param.name; });

}  // namespace
}  // namespace cdcopy::testing
