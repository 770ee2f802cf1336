// cdcopy.exe under Wine on a virtual X display: the real message boxes answered with keys as a
// person would, discs swapped in drive D: between prompts, then the console bytes, the files and
// their attributes (read back through Windows' own attrib) checked. Wine runs as an ordinary
// user, because only for one does it refuse to overwrite a read-only file.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "terminal_session.h"
#include "test_files.h"
#include "texts.h"

namespace cdcopy::testing {
namespace {

using cdcopy::testing::PrintTo;

using texts::kCaption;
constexpr const char* kTestUser = "cdcopy-wine";

// Whether the kernel starts a 32-bit program: asked as scripts/install-deps asks it.
bool KernelRuns32BitPrograms() {
  static const bool runs = Capture({CDCOPY_SOURCE_DIR "/scripts/runs-32-bit-programs"}).status == 0;
  return runs;
}

// A stale executable must not pass for the sources under test: those the Windows build compiles.
fs::file_time_type NewestSource() {
  auto newest = fs::file_time_type::min();
  for (const char* dir : {"app", "copy", "platform"}) {
    for (const auto& e : fs::recursive_directory_iterator(fs::path(CDCOPY_SOURCE_DIR) / dir)) {
      if (e.is_regular_file() && e.path().string().find("/posix/") == std::string::npos) {
        newest = std::max(newest, e.last_write_time());
      }
    }
  }
  return newest;
}

// Xvfb, a Wine prefix and a wineserver kept running, shared by every test of this program.
class WineSession : public ::testing::Environment {
 public:
  void SetUp() override {
    // Set by CTest, which runs this program once for each executable.
    const char* exe = std::getenv("CDCOPY_WINDOWS_EXE");
    const char* arch = std::getenv("CDCOPY_WINDOWS_ARCH");
    exe_ = exe ? exe : "build-win/cdcopy.exe";
    arch_ = arch ? arch : "x64";
    wine_ = FindProgram({"wine64", "/usr/lib/wine/wine64", "wine"});
    wineserver_ =
        FindProgram({"wineserver", "/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"});
    display_.Start();
    objdump_ = FindProgram({"x86_64-w64-mingw32-objdump"});
    if (access(exe_.c_str(), R_OK) != 0) {
      Lacks(exe_ + " (build it with cmake/mingw-w64" + (arch_ == "x86" ? "-i686" : "") + ".cmake)");
    } else if (!fs::exists(fs::path(exe_).parent_path() / "hold_file.exe") ||
               !fs::exists(fs::path(exe_).parent_path() / "win32_layer_test.exe")) {
      Lacks("hold_file.exe and win32_layer_test.exe beside " + exe_ +
            " (its build with the tests on)");
    } else if (fs::last_write_time(exe_) < NewestSource()) {
      broken_ = exe_ + " is older than its sources: build it again";
    }
    if (objdump_.empty()) Lacks("x86_64-w64-mingw32-objdump (binutils-mingw-w64-x86-64)");
    if (wine_.empty() || wineserver_.empty()) Lacks("wine64 and wineserver (wine64)");
    if (!display_.Missing().empty()) Lacks(display_.Missing());
    // wine64 hands a 32-bit program to the 32-bit loader, from Debian's i386 architecture, which
    // only a kernel that runs 32-bit programs can start: no package brings that.
    if (arch_ == "x86" && !KernelRuns32BitPrograms()) {
      unrunnable_ =
          "this kernel cannot run 32-bit programs (no IA-32 emulation), so 32-bit Wine "
          "cannot start here";
    } else if (arch_ == "x86" && access("/usr/lib/wine/wine", X_OK) != 0) {
      Lacks("/usr/lib/wine/wine (wine32, from Debian's i386 architecture)");
    }
    if (geteuid() == 0) {
      passwd* user = getpwnam(kTestUser);
      if (!user) {
        Lacks(std::string("the ordinary user ") + kTestUser + " (scripts/install-deps adds it)");
      } else {
        account_ = {user->pw_uid, user->pw_gid, true};
      }
    }
    if (!missing_.empty() || !unrunnable_.empty()) return;

    std::string pattern = "/tmp/cdcopy-wine-XXXXXX";
    root_ = mkdtemp(pattern.data());
    chmod(root_.c_str(), 0755);
    fs::create_directories(root_ + "/home");
    fs::create_directories(root_ + "/tmp");
    // Wine's user may not reach the build folder (a clone in a private folder): it runs a copy.
    const std::string built = exe_;
    exe_ = root_ + "/cdcopy.exe";
    fs::copy_file(built, exe_);
    for (const char* helper : {"hold_file.exe", "win32_layer_test.exe"}) {
      fs::copy_file(fs::path(built).parent_path() / helper, root_ + "/" + helper);
    }
    fs::copy_file(FAULT_SHIM, root_ + "/fault_shim.so");
    // As Windows 7, 8 and early 10 see it: the manifest's UTF-8 code page unknown.
    std::string bytes = ReadFile(exe_);
    const std::string codePage = "<activeCodePage xmlns=";
    auto at = bytes.find(codePage);
    if (at != std::string::npos) {
      auto end = bytes.find("</activeCodePage>", at) + std::strlen("</activeCodePage>");
      bytes.replace(at, end - at, std::string(end - at, ' '));
    }
    WriteFile(root_ + "/cdcopy-ansi.exe", bytes);
    ChownTree(root_, account_);
    if (Capture({"/usr/bin/test", "-r", exe_}, {}, account_).status != 0) {
      broken_ = "user " + std::string(kTestUser) + " cannot reach " + exe_ +
                " (is the temporary folder /tmp open to every user?)";
      return;
    }
    if (!display_.Broken().empty()) return void(broken_ = display_.Broken());
    auto started = Clock::now();
    Output boot = Capture({wine_, "wineboot", "-i"}, WineEnv(), account_, seconds(300));
    // Once more where the first start failed at once, as one did beside a busy build; what Wine
    // said goes into the reason should the second fail too.
    if (boot.status != 0)
      boot = Capture({wine_, "wineboot", "-i"}, WineEnv(), account_, seconds(300));
    if (boot.status != 0) {
      broken_ = "wineboot -i failed with status " + std::to_string(boot.status) + ": " +
                (boot.text + boot.errors).substr(0, 1000);
      return;
    }
    std::printf("Wine prefix made in %.1f s\n",
                std::chrono::duration<double>(Clock::now() - started).count());
    // A server that stays up spares every run of cdcopy.exe its start-up.
    Capture({wineserver_, "-p"}, WineEnv(), account_);
  }

  void TearDown() override {
    if (!root_.empty() && !wineserver_.empty()) Capture({wineserver_, "-k"}, WineEnv(), account_);
    display_.Stop();
    if (!root_.empty()) TempDir::RemoveTree(root_);
  }

  // The tools that this machine lacks, or "".
  std::string Missing() const {
    return missing_.empty() ? "" : "the Windows tests need " + missing_;
  }
  // What went wrong in starting the display or Wine, or "".
  const std::string& Broken() const { return broken_; }
  // Why this machine cannot run the executable under Wine at all, or "".
  const std::string& Unrunnable() const { return unrunnable_; }

  // With `display` false, no box can be shown: none waits for an answer.
  std::vector<std::string> WineEnv(const std::string& debug = "-all", bool display = true) const {
    // TMPDIR: Wine's server makes its folder there, and it goes with the rest.
    // LANG: arguments reach Wine as UTF-8; its Windows code page stays 1252.
    std::vector<std::string> env = {"HOME=" + root_ + "/home",
                                    "PATH=/usr/bin:/bin",
                                    "LANG=C.UTF-8",
                                    "TMPDIR=" + root_ + "/tmp",
                                    "WINEPREFIX=" + root_ + "/prefix",
                                    "WINEDEBUG=" + debug,
                                    "WINEDLLOVERRIDES=mscoree,mshtml="};
    if (display) env.push_back("DISPLAY=" + display_.Name());
    return env;
  }

  const XDisplay& Display() const { return display_; }
  const std::string& Exe() const { return exe_; }
  const std::string& Arch() const { return arch_; }
  const std::string& Wine() const { return wine_; }
  const std::string& Objdump() const { return objdump_; }
  const std::string& Root() const { return root_; }
  const Account& User() const { return account_; }

 private:
  void Lacks(const std::string& what) { missing_ += (missing_.empty() ? "" : ", ") + what; }

  std::string exe_, arch_, wine_, wineserver_, objdump_;
  std::string missing_, broken_, unrunnable_, root_;
  Account account_;
  XDisplay display_;
};

WineSession* const session =
    static_cast<WineSession*>(::testing::AddGlobalTestEnvironment(new WineSession));

// Tools that are there but do not start always fail the tests; missing ones skip them, saying
// why, except under CI. `runs`: the test runs the executable, which this machine may not be
// able to.
#define REQUIRE_WINE(runs)                                                             \
  do {                                                                                 \
    if (!session->Broken().empty()) FAIL() << session->Broken();                       \
    SKIP_OR_FAIL(session->Missing());                                                  \
    if (runs && !session->Unrunnable().empty()) GTEST_SKIP() << session->Unrunnable(); \
  } while (0)

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string(1, c) + '\0';
  return out;
}

// Functions that Windows XP's KERNEL32 lacks, among those a MinGW runtime may bring in.
const char* const kNewerThanXp =
    "AcquireSRWLockExclusive AcquireSRWLockShared CreateEventExA CreateEventExW "
    "CreateSymbolicLinkA FlsAlloc FlsFree FlsGetValue FlsSetValue GetErrorMode "
    "GetFileInformationByHandleEx GetFinalPathNameByHandleA GetSystemTimePreciseAsFileTime "
    "GetTickCount64 InitOnceExecuteOnce InitializeConditionVariable "
    "InitializeCriticalSectionEx InitializeSRWLock ReleaseSRWLockExclusive "
    "ReleaseSRWLockShared SetFileInformationByHandle SetThreadErrorMode "
    "SleepConditionVariableCS SleepConditionVariableSRW TryAcquireSRWLockExclusive "
    "WakeAllConditionVariable WakeConditionVariable";

TEST(WindowsExecutable, ImportsOnlySystemDllsAndCarriesItsManifestAndVersion) {
  REQUIRE_WINE(false);
  Output dump = Capture({session->Objdump(), "-p", session->Exe()});
  ASSERT_EQ(dump.status, 0);
  std::set<std::string> dlls, functions;
  std::stringstream lines(dump.text);
  for (std::string line; std::getline(lines, line);) {
    auto at = line.find("DLL Name: ");
    if (at != std::string::npos) dlls.insert(line.substr(at + 10));
    std::stringstream fields(line);
    std::string vma, hint, name;
    if (line.starts_with("\t") && fields >> vma >> hint >> name &&
        hint.find_first_not_of("0123456789") == std::string::npos) {
      functions.insert(name);
    }
  }
  EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.dll", "USER32.dll", "msvcrt.dll"}));
  EXPECT_TRUE(functions.count("SetErrorMode"));
  for (const char* wide : {"GetCommandLineW", "CreateFileW", "MoveFileExW", "MessageBoxW"}) {
    EXPECT_TRUE(functions.count(wide)) << wide;
    EXPECT_FALSE(functions.count(std::string(wide).replace(std::strlen(wide) - 1, 1, "A")));
  }
  std::stringstream newer(kNewerThanXp);
  for (std::string name; newer >> name;) EXPECT_FALSE(functions.count(name)) << name;
  EXPECT_NE(dump.text.find("(Windows CUI)"), std::string::npos);
  EXPECT_NE(dump.text.find("TERMINAL_SERVICE_AWARE"), std::string::npos);
  const char* format = session->Arch() == "x86" ? "file format pei-i386" : "file format pei-x86-64";
  EXPECT_NE(dump.text.find(format), std::string::npos) << format;

  // The manifest and the version resource, as they stand in the file.
  const std::string bytes = ReadFile(session->Exe());
  for (const std::string& text :
       {std::string("level=\"asInvoker\""), std::string(">UTF-8</activeCodePage>"),
        std::string(">PerMonitorV2, PerMonitor</dpiAwareness>"),
        std::string("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
        std::string("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), Utf16("ProductVersion"),
        Utf16(CDCOPY_VERSION), Utf16("cdcopy.exe")}) {
    EXPECT_NE(bytes.find(text), std::string::npos) << text;
  }
}

const std::string kArchive = "base/INSTALL/DATA/KESTCORE/BND0.BND";

// Each scenario gets its own discs and its own installation below C:\.
class Installation {
 public:
  explicit Installation(const std::string& name)
      : name_(name),
        discs_(session->Root() + "/discs-" + name),
        dir_(session->Root() + "/prefix/drive_c/" + name + "/Kestrion") {
    WriteSampleDiscs(discs_);
    for (const char* folder : {"KestCore", "halvane", "Velmora"}) {
      fs::create_directories(dir_ + "/" + folder);
    }
    Insert("base");
  }
  ~Installation() {
    if (second_.joinable()) second_.join();
    for (auto& helper : helpers_) helper->Finish(seconds(30));
  }

  // Puts a file system of `kib` KiB, owned by Wine's user, in place of an installation folder.
  void MountSmallDisk(const std::string& relative, int kib) {
    const Account& as = session->User();
    disks_.push_back(std::make_unique<SmallFileSystem>(
        Inst(relative), "size=" + std::to_string(kib) + "k,uid=" + std::to_string(as.uid) +
                            ",gid=" + std::to_string(as.gid)));
    if (!disks_.back()->Mounted()) skip_ = "needs root, to mount a small file system";
  }
  const std::string& Skip() const { return skip_; }

  // Hands everything to the user Wine runs as, then makes the discs read-only as a drive would.
  void Ready() {
    ChownTree(discs_, session->User());
    ChownTree(session->Root() + "/prefix/drive_c/" + name_, session->User());
    for (const auto& entry : fs::recursive_directory_iterator(discs_)) {
      fs::permissions(entry.path(), fs::perms(entry.is_directory() ? 0555 : 0444));
    }
  }

  void Insert(const std::string& disc) {
    std::string drive = session->Root() + "/prefix/dosdevices/d:";
    fs::create_symlink(discs_ + "/" + disc, drive + ".new");
    fs::rename(drive + ".new", drive);
  }

  // Another program holds the file (below the installation, or on D:) open from now until `ms`
  // milliseconds after `after` appears, shared as hold_file's `how` says.
  void Hold(const std::string& file, int ms, const std::string& after, std::string how = "") {
    auto windows = [this](auto n) { return n.starts_with("D:") ? n : WindowsPath() + n; };
    std::string said = discs_ + ".held";
    fs::remove(said);
    helpers_.push_back(std::make_unique<TerminalSession>(
        Program({session->Wine(), session->Root() + "/hold_file.exe", windows(file),
                 std::to_string(ms), windows(after), how},
                session->WineEnv(), session->User(), said)));
    EXPECT_TRUE(Eventually([&] { return ReadFile(said).starts_with("held"); }));
  }

  // A second run at once into this installation, with no display: started once this run's
  // logo is in its temporary file, waiting for the logo's destination held until then; the
  // hold ends as the second run's own temporary file comes, after its sweep of that folder.
  void SecondRunWhileTheLogoWaits() {
    fs::remove(Inst("../released"));  // left by an earlier repetition
    Hold("\\KestCore\\video\\orrinmark.flk", 0, "\\..\\released");
    second_ = std::thread([this] {
      // The earlier logo, and the first run's temporary file beside it.
      auto temporaries = [this] { return Tree(Inst("KestCore/video")); };
      std::vector<std::string> first;
      EXPECT_TRUE(Eventually([&] { return (first = temporaries()).size() > 1; }));
      TerminalSession run(Program({session->Wine(), session->Exe(), "D:\\", WindowsPath()},
                                  session->WineEnv("-all", false), session->User()));
      EXPECT_TRUE(Eventually([&] { return temporaries() != first; }));
      WriteFile(Inst("../released"), "");
      EXPECT_EQ(ExitCode(run.Finish(seconds(30))), 0);
    });
  }
  void FinishSecondRun() { second_.join(); }

  // Adds to `env` the fault shim with `setting`, which slows the reads of `source` or cuts them
  // short. A 64-bit preload cannot go into 32-bit Wine: there the scenario is skipped.
  void AddShim(std::vector<std::string>& env, const std::string& setting,
               const std::string& source = kArchive) {
    if (session->Arch() == "x86") skip_ = "the fault shim is 64-bit";
    env.insert(env.end(), {"LD_PRELOAD=" + session->Root() + "/fault_shim.so",
                           "CDCOPY_SHIM_SOURCE=" + discs_ + "/" + source,
                           "CDCOPY_SHIM_STARTED=" + discs_ + ".started", setting});
  }

  // A run with no display, the copy of `source` stuck on a slow disc (or slowed, each 64 KiB
  // taking `delayUs`), given `signal` mid-copy. Answers how long the run took to end, and puts
  // its standard error, with Wine's trace of every box tried, into `errors`.
  Clock::duration StopMidCopy(int signal, const std::string& delayUs = "20000000",
                              const std::string& source = kArchive, std::string* errors = nullptr) {
    std::vector<std::string> env = session->WineEnv("-all,trace+dialog", false);
    AddShim(env, "CDCOPY_SHIM_DELAY_US=" + delayUs, source);
    if (!skip_.empty()) return {};
    fs::remove(discs_ + ".started");  // an earlier repetition's
    Ready();
    // Held until the process is gone, so the next run cannot find it still open.
    TerminalSession run(Program({session->Wine(), session->Exe(), "D:\\", WindowsPath()}, env,
                                session->User(), "", discs_ + ".stderr"));
    EXPECT_TRUE(Eventually([&] { return fs::exists(discs_ + ".started"); }));
    auto sent = Clock::now();
    kill(run.Pid(), signal);
    run.Finish(seconds(30));
    auto took = Clock::now() - sent;
    if (errors) *errors = ReadFile(discs_ + ".stderr");
    return took;
  }

  std::string Disc(const std::string& relative) const { return ReadFile(discs_ + "/" + relative); }
  std::string Inst(const std::string& relative) const { return dir_ + "/" + relative; }
  const mode_t fresh = 0;  // Wine decides the mode: only writable is asked
  std::string WindowsPath(const std::string& folder = "Kestrion") const {
    return "C:\\" + name_ + "\\" + folder;
  }

  // Every file of the installation as Windows' attrib lists it: attributes, then the path
  // below the installation.
  std::vector<std::string> Attributes() const {
    Output out = Capture({session->Wine(), "attrib", "/s", WindowsPath() + "\\*"},
                         session->WineEnv(), session->User());
    std::vector<std::string> files;
    std::stringstream lines(out.text);
    std::string prefix = WindowsPath() + "\\";
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      auto at = line.find(prefix);
      // A folder holding only folders is reported as "<path>\*: File Not Found".
      if (at == std::string::npos || line.find(": File Not Found") != std::string::npos) continue;
      std::string flags;
      for (char c : line.substr(0, at)) {
        if (c != ' ') flags += c;
      }
      files.push_back(flags + " " + line.substr(at + prefix.size()));
    }
    std::sort(files.begin(), files.end());
    return files;
  }

 private:
  std::string name_, discs_, dir_, skip_;
  std::vector<std::unique_ptr<SmallFileSystem>> disks_;
  std::vector<std::unique_ptr<TerminalSession>> helpers_;
  std::thread second_;
};

// The text of every box Wine has shown so far, from its msgbox trace on standard error.
std::vector<std::string> BoxTexts(const std::string& stderrText) {
  std::vector<std::string> texts;
  const std::string mark = "trace:msgbox:MSGBOX_OnInit L\"";
  for (auto at = stderrText.find(mark); at != std::string::npos;
       at = stderrText.find(mark, at + 1)) {
    std::string text;
    for (auto i = at + mark.size(); i < stderrText.size() && stderrText[i] != '"'; ++i) {
      char c = stderrText[i];
      if (c == '\\' && i + 1 < stderrText.size()) {
        c = stderrText[++i];
        if (c == 'n') c = '\n';
      }
      text += c;
    }
    texts.push_back(text);
  }
  return texts;
}

const std::string kBasePrompt = texts::BasePrompt("D:\\");
const std::string kFirstPrompt = texts::FirstPrompt("D:\\");
const std::string kSecondPrompt = texts::SecondPrompt("D:\\");
using texts::kArchiveFailed;
using texts::kCancelled;
using texts::kLogoFailed;

// The console bytes: the C runtime writes each line feed as CR LF.
std::string Crlf(const std::string& text) {
  std::string bytes;
  for (char c : text) bytes += c == '\n' ? "\r\n" : std::string(1, c);
  return bytes;
}
const std::string kArchiveLine = Crlf(texts::kArchiveLine);
const std::string kLogoLine = Crlf(texts::kLogoLine);
const std::string kFirstLines = Crlf(texts::kFirstLines);
const std::string kSecondLines = Crlf(texts::kSecondLines);

// One box: its whole text, the disc to put in the drive while it is up, the key that answers it
// and the least time since the previous answer.
struct Box {
  std::string text;
  std::string disc = "";
  std::string key = "Return";
  int atLeastSeconds = 0;
  std::function<void(Installation&)> whileUp = nullptr;
};

struct Scenario {
  const char* name;
  std::function<void(Installation&)> prepare;
  std::vector<Box> boxes;
  std::string stdoutBytes;
  std::vector<std::string> attributes;
  std::function<void(Installation&)> verify;
  // The installation argument's last folder, in place of the installation's own.
  std::string installFolder = "Kestrion";
  bool ansiCodePage = false;  // the executable without the manifest's UTF-8 code page
  std::string shim = "";      // a fault on the base disc's archive
};

class UnderWine : public ::testing::TestWithParam<Scenario> {};

TEST_P(UnderWine, RunsAsAPersonExpects) {
  REQUIRE_WINE(true);
  const Scenario& s = GetParam();
  Installation inst(s.name);
  std::vector<std::string> env = session->WineEnv("-all,trace+msgbox");
  if (!s.shim.empty()) inst.AddShim(env, s.shim);
  s.prepare(inst);
  if (!inst.Skip().empty()) GTEST_SKIP() << inst.Skip();
  inst.Ready();

  std::string out = session->Root() + "/" + s.name + ".stdout";
  std::string err = session->Root() + "/" + s.name + ".stderr";
  TerminalSession run(Program(
      {session->Wine(), s.ansiCodePage ? session->Root() + "/cdcopy-ansi.exe" : session->Exe(),
       "D:\\", inst.WindowsPath(s.installFolder)},
      env, session->User(), out, err));

  std::set<std::string> answered;
  auto previous = Clock::now();
  for (std::size_t i = 0; i < s.boxes.size(); ++i) {
    const Box& box = s.boxes[i];
    std::string id = session->Display().WaitForWindow(answered, seconds(30), kCaption);
    ASSERT_FALSE(id.empty()) << "box " << i + 1 << " never came; stderr:\n" << ReadFile(err);
    auto texts = BoxTexts(ReadFile(err));
    ASSERT_EQ(texts.size(), i + 1) << ReadFile(err);
    EXPECT_EQ(texts.back(), box.text) << "box " << i + 1;
    EXPECT_GE(Clock::now() - previous, seconds(box.atLeastSeconds)) << "box " << i + 1;
    if (!box.disc.empty()) inst.Insert(box.disc);
    if (box.whileUp) box.whileUp(inst);
    answered.insert(id);
    // Taken before the key goes in: the box may be seen gone only well after it took the key.
    previous = Clock::now();
    ASSERT_TRUE(session->Display().Answer(id, box.key, kCaption))
        << "box " << i + 1 << " stayed up";
  }
  EXPECT_EQ(ExitCode(run.Finish(seconds(30))), 0);
  EXPECT_EQ(BoxTexts(ReadFile(err)).size(), s.boxes.size()) << "a box nobody answered";
  EXPECT_EQ(ReadFile(out), s.stdoutBytes);
  EXPECT_EQ(inst.Attributes(), s.attributes);
  s.verify(inst);
}

// Copies carry the archive attribute alone: never read-only, as the discs' files are.
const std::vector<std::string> kBaseFiles = {"A KestCore\\bnd0.bnd",
                                             "A KestCore\\video\\orrinmark.flk"};

// The base disc copied, both expansions cancelled.
const std::vector<Box> kBaseOnly = {
    {kBasePrompt, "base"}, {kFirstPrompt, "", "Escape"}, {kSecondPrompt, "", "Escape"}};

void Nothing(Installation&) {}
// The earlier archive kept, and below, with nothing beside it.
void EarlierArchiveKept(Installation& inst) {
  EXPECT_TRUE(ReadFile(inst.Inst("KestCore/bnd0.bnd")) == "earlier archive");
}
void OnlyTheEarlierArchive(Installation& inst) {
  EarlierArchiveKept(inst);
  EXPECT_EQ(Tree(inst.Inst("KestCore")), std::vector<std::string>{"bnd0.bnd"});
}
const std::string kLong(209, 'x');
// 120 characters in 240 bytes, 80 in 240: the logo's destination over 259 bytes either way.
const std::string kCyrillic = Repeat("Игры", 30), kChinese = Repeat("游戏", 40);

// The base disc copied into an installation folder named `folder`, beside the installation's own.
Scenario CopiedInto(const char* name, const std::string& folder, bool ansiCodePage = false) {
  return Scenario{name,
                  [folder](Installation& inst) {
                    fs::create_directories(inst.Inst("../" + folder + "/kestcore"));
                  },
                  kBaseOnly,
                  kArchiveLine + kLogoLine,
                  {},
                  [folder](Installation& inst) {
                    ExpectCopied(inst, "../" + folder + "/kestcore/video/orrinmark.flk",
                                 "base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK");
                  },
                  folder,
                  ansiCodePage};
}

INSTANTIATE_TEST_SUITE_P(
    Cdcopy, UnderWine,
    ::testing::Values(
        Scenario{
            "FullRunWithThreeDiscs",
            Nothing,
            {{kBasePrompt, "base"}, {kFirstPrompt, "first"}, {kSecondPrompt, "second"}},
            kArchiveLine + kLogoLine + kFirstLines + kSecondLines,
            {"A KestCore\\bnd0.bnd", "A KestCore\\video\\orrinmark.flk", "A Velmora\\bnd0.bnd",
             "A Velmora\\video\\logo.flk", "A halvane\\bnd0.bnd", "A halvane\\video\\logo.flk"},
            ExpectAllCopied<Installation>},
        Scenario{"EscapeAtBasePromptCancelsWithAWarning",
                 Nothing,
                 {{kBasePrompt, "", "Escape"}, {kCancelled}},
                 "",
                 {},
                 Nothing},
        Scenario{"ArchiveMissingFailsAfterThePause",
                 Nothing,
                 {{kBasePrompt, "empty"}, {kArchiveFailed, "", "Return", 5}},
                 kArchiveLine,
                 {},
                 Nothing},
        Scenario{
            "ReadOnlyEarlierCopyIsReplacedOnTheSecondAttempt",
            [](Installation& inst) {
              WriteFile(inst.Inst("KestCore/BND0.BND"), "earlier copy", 0444);
            },
            {{kBasePrompt, "base"}, {kFirstPrompt, "", "Escape", 5}, {kSecondPrompt, "", "Escape"}},
            kArchiveLine + kLogoLine,
            {"A KestCore\\BND0.BND", "A KestCore\\video\\orrinmark.flk"},
            [](Installation& inst) {
              ExpectCopied(inst, "KestCore/BND0.BND", "base/INSTALL/DATA/KESTCORE/BND0.BND");
            }},
        // A disk too full for the archive: both attempts fail, and the earlier copy stays
        // whole, with no temporary file beside it.
        Scenario{"DiskFullKeepsTheEarlierCopy",
                 [](Installation& inst) {
                   inst.MountSmallDisk("KestCore", 128);
                   WriteFile(inst.Inst("KestCore/bnd0.bnd"), "earlier archive");
                 },
                 {{kBasePrompt, "base"}, {kArchiveFailed, "", "Return", 5}},
                 kArchiveLine,
                 {"A KestCore\\bnd0.bnd"},
                 OnlyTheEarlierArchive},
        // A folder on a disk of its own (a mounted volume): the copy is made in it, since a
        // move cannot cross disks.
        Scenario{"DestinationFolderOnADiskOfItsOwn",
                 [](Installation& inst) { inst.MountSmallDisk("KestCore", 4096); }, kBaseOnly,
                 kArchiveLine + kLogoLine, kBaseFiles, ExpectBaseCopied<Installation>},
        Scenario{
            "LogoMissingEndsWithTheLogoNotice",
            Nothing,
            {{kBasePrompt, "nologo"}, {kLogoFailed}},
            kArchiveLine + kLogoLine,
            {"A KestCore\\bnd0.bnd"},
            [](Installation& inst) { EXPECT_TRUE(fs::is_directory(inst.Inst("KestCore/video"))); }},
        // The second expansion's disc at the first one's prompt would replace the first
        // expansion's archive with its own: nothing is copied from it.
        Scenario{"WrongDiscAtTheFirstExpansionPromptCopiesNothing",
                 Nothing,
                 {{kBasePrompt, "base"}, {kFirstPrompt, "second"}, {kSecondPrompt, "", "Escape"}},
                 kArchiveLine + kLogoLine + kFirstLines,
                 kBaseFiles,
                 [](Installation& inst) { EXPECT_TRUE(fs::is_empty(inst.Inst("halvane"))); }},
        // The C runtime expands no wildcard: a '?' reaches the run as typed, and the folder the
        // pattern would match stays empty.
        Scenario{"WildcardInTheInstallationReachesTheRunAsTyped",
                 Nothing,
                 {{kBasePrompt, "base"}, {kArchiveFailed, "", "Return", 5}},
                 kArchiveLine,
                 {},
                 [](Installation& inst) { EXPECT_TRUE(fs::is_empty(inst.Inst("KestCore"))); },
                 "Kestrio?"},
        // Where Windows knows no UTF-8 code page, a folder named in Polish, beside the one that
        // the ANSI code page's best fit would make of its name, and one named in Cyrillic
        // receive the files.
        Scenario{"PolishInstallationFolder",
                 [](Installation& inst) {
                   for (const char* folder : {"../Łódź/kestcore", "../Lódz/kestcore"}) {
                     fs::create_directories(inst.Inst(folder));
                   }
                 },
                 kBaseOnly,
                 kArchiveLine + kLogoLine,
                 {},
                 [](Installation& inst) {
                   ExpectCopied(inst, "../Łódź/kestcore/bnd0.bnd",
                                "base/INSTALL/DATA/KESTCORE/BND0.BND");
                   EXPECT_TRUE(fs::is_empty(inst.Inst("../Lódz/kestcore")));
                 },
                 "Łódź",
                 true},
        CopiedInto("CyrillicInstallationFolder", "Игры", true),
        // Folders over 259 bytes of UTF-8 and under 259 characters, in two scripts.
        CopiedInto("LongCyrillicFolder", kCyrillic), CopiedInto("LongChineseFolder", kChinese),
        // A second run into the same installation while this one's logo waits for its held
        // destination: the second run's sweep leaves the first run's temporary file alone.
        Scenario{
            "TwoRunsAtOnce",
            [](Installation& inst) {
              WriteFile(inst.Inst("KestCore/video/orrinmark.flk"), "earlier logo");
            },
            {{kBasePrompt, "base", "Return", 0,
              [](Installation& inst) { inst.SecondRunWhileTheLogoWaits(); }},
             {kFirstPrompt, "", "Escape", 0, [](Installation& inst) { inst.FinishSecondRun(); }},
             {kSecondPrompt, "", "Escape"}},
            kArchiveLine + kLogoLine,
            kBaseFiles,
            ExpectBaseCopied<Installation>},
        // A destination held for the whole run: the retries give up, twice, and the notice comes.
        Scenario{
            "DestinationHeldForTheWholeRun",
            [](Installation& inst) {
              WriteFile(inst.Inst("KestCore/bnd0.bnd"), "earlier archive");
              fs::remove(inst.Inst("../released"));
            },
            {{kBasePrompt, "base", "Return", 0,
              [](Installation& inst) { inst.Hold("\\KestCore\\bnd0.bnd", 0, "\\..\\released"); }},
             {kArchiveFailed, "", "Return", 5,
              [](Installation& inst) { WriteFile(inst.Inst("../released"), ""); }}},
            kArchiveLine,
            {"A KestCore\\bnd0.bnd"},
            EarlierArchiveKept},
        // Other programs hold files open for a moment: here the logo, until 1.5 s after the
        // archive lands, and the disc's logo, unshared, until 1 s after. The copy waits.
        Scenario{"DestinationHeldOpenByAnotherProgramIsReplaced",
                 [](Installation& inst) {
                   WriteFile(inst.Inst("KestCore/video/orrinmark.flk"), "earlier logo");
                 },
                 {{kBasePrompt, "base", "Return", 0,
                   [](Installation& inst) {
                     inst.Hold("\\KestCore\\video\\orrinmark.flk", 1500, "\\KestCore\\bnd0.bnd");
                     inst.Hold("D:\\INSTALL\\DATA\\KESTCORE\\VIDEO\\ORRINMARK.FLK", 1000,
                               "\\KestCore\\bnd0.bnd", "alone");
                   }},
                  {kFirstPrompt, "", "Escape"},
                  {kSecondPrompt, "", "Escape"}},
                 kArchiveLine + kLogoLine,
                 kBaseFiles,
                 ExpectBaseCopied<Installation>},
        // The logo's destination is 257 characters long, its temporary name longer still.
        Scenario{"LongDestination",
                 [](Installation& inst) {
                   fs::create_directories(inst.Inst("../" + kLong + "/KestCore/video"));
                 },
                 kBaseOnly,
                 kArchiveLine + kLogoLine,
                 {},
                 [](Installation& inst) {
                   ExpectCopied(inst, "../" + kLong + "/KestCore/video/orrinmark.flk",
                                "base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK");
                 },
                 kLong},
        // A run killed mid-copy leaves its temporary file; the next one removes it, but nothing
        // else named like one: a Unix link to a file elsewhere (under Wine no reparse point), and
        // a running copy's own, held open as a run holds it until the logo lands.
        // The leftover was hidden: Wine keeps the attribute in user.DOSATTRIB.
        Scenario{"KilledRunsLeftoverIsSweptByTheNext",
                 [](Installation& inst) {
                   fs::remove_all(inst.Inst("KestCore"));  // as an earlier repetition left it
                   fs::create_directory(inst.Inst("KestCore"));
                   inst.StopMidCopy(SIGKILL);
                   if (!inst.Skip().empty()) return;
                   std::string hidden = "none";
                   for (const auto& e : fs::directory_iterator(inst.Inst("KestCore"))) {
                     char value[16] = {};
                     if (e.path().extension() != ".tmp") continue;
                     getxattr(e.path().c_str(), "user.DOSATTRIB", value, sizeof value - 1);
                     hidden = std::strtoul(value, nullptr, 16) & 2 ? "hidden" : "visible";
                   }
                   EXPECT_EQ(hidden, "hidden");
                   WriteFile(inst.Inst("../elsewhere"), "someone's file");
                   fs::create_symlink("../../elsewhere", inst.Inst("KestCore/.cdcopy-1-2.tmp"));
                   WriteFile(inst.Inst("KestCore/.cdcopy-3-4.tmp"), "a running copy's", 0666);
                   WriteFile(inst.Inst("KestCore/.cdcopy-x-0.tmp"), "not cdcopy's", 0666);
                   inst.Hold("\\KestCore\\.cdcopy-3-4.tmp", 0, "\\KestCore\\video\\orrinmark.flk",
                             "as-copy");
                 },
                 kBaseOnly,
                 kArchiveLine + kLogoLine,
                 {"A KestCore\\bnd0.bnd", "A KestCore\\video\\orrinmark.flk",
                  "AH KestCore\\.cdcopy-1-2.tmp", "AH KestCore\\.cdcopy-3-4.tmp",
                  "AH KestCore\\.cdcopy-x-0.tmp"},
                 [](Installation& inst) {
                   EXPECT_TRUE(ReadFile(inst.Inst("../elsewhere")) == "someone's file");
                   EXPECT_EQ(
                       Tree(inst.Inst("KestCore")),
                       (std::vector<std::string>{".cdcopy-1-2.tmp", ".cdcopy-3-4.tmp",
                                                 ".cdcopy-x-0.tmp", "bnd0.bnd", "video",
                                                 "video/orrinmark.flk"}));
                 }},
        // Ctrl-C with the disc's read stuck past the handler's wait: no temporary file stays.
        Scenario{"CtrlCMidCopyKeepsTheEarlierCopy",
                 [](Installation& inst) {
                   WriteFile(inst.Inst("KestCore/bnd0.bnd"), "earlier archive");
                   inst.StopMidCopy(SIGINT);
                 },
                 {{kBasePrompt, "", "Escape"}, {kCancelled}},
                 "",
                 {"A KestCore\\bnd0.bnd"},
                 OnlyTheEarlierArchive},
        // Ctrl-C with the archive's copy slowed, not stuck: it stops at once.
        Scenario{"CtrlCStopsASlowedCopyAtOnce",
                 [](Installation& inst) {
                   WriteFile(inst.Inst("KestCore/bnd0.bnd"), "earlier archive");
                   EXPECT_LT(inst.StopMidCopy(SIGINT, "200000"), seconds(1));
                 },
                 {{kBasePrompt, "", "Escape"}, {kCancelled}},
                 "",
                 {"A KestCore\\bnd0.bnd"},
                 EarlierArchiveKept},
        // Ctrl-C during the logo's copy: nothing more is shown, not even the logo's notice.
        Scenario{"NothingShownAfterCtrlC",
                 [](Installation& inst) {
                   std::string errors, box = "DIALOG_CreateIndirect";
                   inst.StopMidCopy(SIGINT, "2000000",
                                    "base/INSTALL/DATA/KESTCORE/VIDEO/ORRINMARK.FLK", &errors);
                   EXPECT_EQ(errors.find(box), errors.rfind(box)) << "a box after the prompt";
                 },
                 {{kBasePrompt, "", "Escape"}, {kCancelled}},
                 "",
                 {"A KestCore\\bnd0.bnd"},
                 Nothing},
        // A disc whose archive ends before its size says is no copy, twice.
        Scenario{"ArchiveCutShortIsNoCopy",
                 Nothing,
                 {{kBasePrompt, "base"}, {kArchiveFailed, "", "Return", 5}},
                 kArchiveLine,
                 {},
                 [](Installation& inst) { EXPECT_TRUE(fs::is_empty(inst.Inst("KestCore"))); },
                 "Kestrion",
                 false,
                 "CDCOPY_SHIM_EOF_AT=1000"},
        Scenario{
            "FirstExpansionSkippedSecondCopied",
            // A video folder already there, in a case of its own, is the one used.
            [](Installation& inst) { fs::create_directories(inst.Inst("Velmora/VIDEO")); },
            {{kBasePrompt, "base"}, {kFirstPrompt, "first", "Escape"}, {kSecondPrompt, "second"}},
            kArchiveLine + kLogoLine + kSecondLines,
            {"A KestCore\\bnd0.bnd", "A KestCore\\video\\orrinmark.flk",
             "A Velmora\\VIDEO\\logo.flk", "A Velmora\\bnd0.bnd"},
            [](Installation& inst) {
              ExpectBaseCopied(inst);
              EXPECT_TRUE(fs::is_empty(inst.Inst("halvane")));
            }}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// Without a display no box can be shown: the base disc is copied without asking and the
// expansions are skipped. Before any file or box call, the system is told to fail calls on a
// drive without a disc instead of showing its own box. Only the program's own process is
// judged: wine64 starts a 32-bit program through a launcher of its own (start.exe), which looks
// the executable up first, a step Windows' loader takes without any process of its own.
TEST(WindowsExecutable, WithoutADisplayTheBaseDiscIsCopiedAndNoSystemBoxCanCome) {
  REQUIRE_WINE(true);
  Installation inst("NoDisplay");
  inst.Ready();
  Output run = Capture({session->Wine(), session->Exe(), "D:\\", inst.WindowsPath()},
                       session->WineEnv("+pid,+relay,+loaddll", false), session->User());
  EXPECT_EQ(ExitCode(run.status), 0);
  EXPECT_EQ(run.text, kArchiveLine + kLogoLine);
  ExpectBaseCopied(inst);
  EXPECT_TRUE(fs::is_empty(inst.Inst("halvane")));
  auto loaded = run.errors.find("\\cdcopy.exe\" at ");
  ASSERT_NE(loaded, std::string::npos) << "the program's process never loaded it";
  auto from = run.errors.rfind('\n', loaded) + 1;
  const std::string pid = run.errors.substr(from, run.errors.find(':', from) - from + 1);
  std::string relay;
  int driveWaits = 0;  // the drive root probed: only after the prompt that goes ahead
  std::stringstream lines(run.errors);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(pid)) continue;
    relay += line + '\n';
    driveWaits += line.find("Call KERNEL32.GetFileAttributesW(") != std::string::npos &&
                  line.find(" L\"D:\\\\\")") != std::string::npos;
  }
  EXPECT_EQ(driveWaits, 1) << "the Kestrion prompt, not shown, goes ahead; the others do not";
  auto errorMode = relay.find("Call KERNEL32.SetErrorMode(00000001)");
  ASSERT_NE(errorMode, std::string::npos);
  EXPECT_LT(errorMode, relay.find("Call KERNEL32.GetFileAttributesW("));
  EXPECT_LT(errorMode, relay.find("Call user32.MessageBoxW("));
  // Each copy reaches the disk before it takes the destination's name.
  EXPECT_LT(relay.find("Call KERNEL32.FlushFileBuffers("),
            relay.find("Call KERNEL32.MoveFileExW("));
}

// A killed run's leftover is swept by the next run also where the installation is given with
// the \\?\ prefix, which resolves no "." in a name.
TEST(WindowsExecutable, LeftoverSweptUnderAPrefixedInstallation) {
  REQUIRE_WINE(true);
  Installation inst("PrefixedInstallation");
  fs::remove_all(inst.Inst("KestCore"));  // as an earlier repetition left it
  fs::create_directory(inst.Inst("KestCore"));
  inst.StopMidCopy(SIGKILL);
  if (!inst.Skip().empty()) GTEST_SKIP() << inst.Skip();
  ASSERT_EQ(Tree(inst.Inst("KestCore")).size(), 1u) << "no leftover";
  Output run = Capture({session->Wine(), session->Exe(), "D:\\", "\\\\?\\" + inst.WindowsPath()},
                       session->WineEnv("-all", false), session->User());
  EXPECT_EQ(Tree(inst.Inst("KestCore")),
            (std::vector<std::string>{"bnd0.bnd", "video", "video/orrinmark.flk"}))
      << run.errors;
}

// Double-clicked in Explorer, cdcopy has a console of its own, which closes when it ends: the
// usage is shown in a box instead, and nothing on standard error. `start` gives it such a
// console.
TEST(WindowsExecutable, UsageInABoxWhenItsConsoleIsItsOwn) {
  REQUIRE_WINE(true);
  std::string exe = "Z:" + session->Exe();
  std::replace(exe.begin(), exe.end(), '/', '\\');
  std::string err = session->Root() + "/start.stderr";
  TerminalSession run(Program({session->Wine(), "start", "/wait", exe},
                              session->WineEnv("-all,trace+msgbox"), session->User(), "", err));
  std::string id = session->Display().WaitForWindow({}, seconds(30), "cdcopy");
  ASSERT_FALSE(id.empty()) << "no usage box";
  EXPECT_EQ(BoxTexts(ReadFile(err)),
            std::vector<std::string>{"usage: cdcopy DRIVE_ROOT INSTALL_DIR\n"});
  EXPECT_EQ(ReadFile(err).find("usage: cdcopy DRIVE_ROOT INSTALL_DIR\r"), std::string::npos);
  // Wine does not always pass input to a box that comes up beside the console window `start`
  // opens, so the box's process is ended from outside once its text is known; the exit status
  // after the usage is checked where the usage goes to standard error.
  session->Display().Xdotool({"windowkill", id});
  run.Finish(seconds(30));
}

// Command lines as a prompt or an installer's script gives them, through Wine's cmd, with no
// display, so that no box waits: the one the README gives installer authors copies the base
// disc; so does one whose trailing backslash inside the quotes escapes the closing quote, and
// one with the drive root quoted too, whose backslash escapes its closing quote.
TEST(WindowsExecutable, CommandLinesAsCmdSplitsThem) {
  REQUIRE_WINE(true);
  struct {
    const char* name;
    const char* installArgument;
    const char* driveArgument = "D:\\";
  } cases[] = {{"RecommendedLine", "\"C:\\RecommendedLine\\Kestrion\""},
               {"TrailingBackslash", "\"C:\\TrailingBackslash\\Kestrion\\\""},
               {"QuotedDriveRoot", "\"C:\\QuotedDriveRoot\\Kestrion\"", "\"D:\\\""}};
  for (const auto& c : cases) {
    Installation inst(c.name);
    WriteFile(inst.Inst("../run.bat"), "@\"Z:" + session->Exe() + "\" " + c.driveArgument + " " +
                                           c.installArgument + "\r\n");
    inst.Ready();
    Output run = Capture({session->Wine(), "cmd", "/c", "C:\\" + std::string(c.name) + "\\run.bat"},
                         session->WineEnv("-all", false), session->User());
    EXPECT_EQ(ExitCode(run.status), 0) << c.name;
    EXPECT_TRUE(fs::exists(inst.Inst("KestCore/bnd0.bnd"))) << c.name;
    EXPECT_EQ(run.text, kArchiveLine + kLogoLine) << c.name;
  }
}

// The layer's names that Wine cannot show wrong (it has no MAX_PATH limit), its command line and
// its copy's attributes, checked by the layer's own test program.
TEST(WindowsExecutable, LayerChecksPass) {
  REQUIRE_WINE(true);
  Output run = Capture({session->Wine(), session->Root() + "/win32_layer_test.exe"},
                       session->WineEnv(), session->User());
  EXPECT_EQ(ExitCode(run.status), 0) << run.text;
  EXPECT_EQ(run.text, "passed\r\n");
}

TEST(WindowsExecutable, HelpShowsWindowsOwnCommandLine) {
  REQUIRE_WINE(true);
  Output run =
      Capture({session->Wine(), session->Exe(), "--help"}, session->WineEnv(), session->User());
  EXPECT_EQ(ExitCode(run.status), 0);
  EXPECT_NE(run.text.find("\r\n  cdcopy.exe D:\\ \"C:\\Games\\Kestrion\"\r\n"), std::string::npos);
  EXPECT_EQ(run.text.find("/dev/"), std::string::npos) << run.text;
}

TEST(WindowsExecutable, MissingArgumentsPrintUsage) {
  REQUIRE_WINE(true);
  Output run = Capture({session->Wine(), session->Exe()}, session->WineEnv(), session->User());
  EXPECT_EQ(ExitCode(run.status), 2);
  EXPECT_EQ(run.errors, "usage: cdcopy DRIVE_ROOT INSTALL_DIR\r\n");
}

// A machine without Wine's tools, or one that cannot run this executable, skips the rows; if
// none failed, CTest is told the whole program skipped, with the rows' reason, not that it passed
// on the one row that needs no Wine.
bool MachineRefuses() {
  return !session->Missing().empty() || !session->Unrunnable().empty();
}

}  // namespace
}  // namespace cdcopy::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  return status == 0 && cdcopy::testing::MachineRefuses() ? CDCOPY_SKIPPED : status;
}
