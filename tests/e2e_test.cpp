// The built cdcopy, driven through a pseudo-terminal as a person would drive it: discs swapped
// in the drive at each prompt, keys typed into the boxes, then its output and files checked.
#include <gtest/gtest.h>

#include <regex>

#include <functional>

#include "sample_world.h"
#include "terminal_session.h"
#include "test_files.h"
#include "texts.h"

namespace cdcopy::testing {
namespace {

using cdcopy::testing::PrintTo;

using texts::kArchiveLine;
using texts::kFirstLines;
using texts::kLogoLine;
using texts::kSecondLines;

const std::vector<std::string> kEmptyInstall = {"KestCore", "Velmora", "halvane"};
// One box: what it must say, the disc to put in the drive while it is up, the keys typed into
// it one after another, and keys typed during the pause that follows, if one does.
struct Step {
  std::string says;
  std::string disc;
  std::vector<std::string> keys;
  std::string strayKeys = "";
  bool late = false;  // from a drive device: mounted once the run has waited 2 s for it
};

constexpr const char* kNoDisc = "-";  // from a drive device: the drive is left empty

struct Scenario {
  const char* name;
  std::function<void(World&)> prepare;
  std::vector<Step> steps;
  std::string stdoutBytes;
  std::function<void(World&)> verify;
  bool fromDriveDevice = false;  // DRIVE_ROOT names a loop device, each disc mounted by label
  std::string waits = "";        // the pauses and mount waits asked for, under virtual time
};

// The box's text as words, without its frame and the line breaks that wrapping put in.
std::string Unframed(const std::string& screen) {
  std::string words;
  for (char c : screen) {
    if (c == '|' || std::isspace(static_cast<unsigned char>(c))) {
      if (!words.empty() && words.back() != ' ') words += ' ';
    } else {
      words += c;
    }
  }
  return words;
}

class Interactive : public ::testing::TestWithParam<Scenario> {};

TEST_P(Interactive, RunsAsAPersonExpects) {
  const Scenario& s = GetParam();
  World world;
  DriveDevice drive;
  if (s.fromDriveDevice) REQUIRE_DRIVE(drive, world);
  s.prepare(world);
  Launch launch = world.Start({"extra", "arguments"});
  if (s.fromDriveDevice) launch.args[0] = drive.Root();
  // The run is held where the row takes part in its time: each key typed once the box waits,
  // keys typed during a pause, a disc mounted during a wait. Other rows run as shipped.
  Hold hold;
  const bool held = !s.waits.empty() || std::ranges::any_of(s.steps, [](const Step& step) {
    return step.keys.size() > 1 || !step.strayKeys.empty() || step.late;
  });
  held ? hold.Into(launch) : void(AsShipped(launch));
  TerminalSession session(launch);
  const Step none{};
  const Step* answered = &none;
  auto untilKey = [&] {
    for (std::string next = hold.Next(); !next.empty(); next = hold.Next()) {
      if (next == "key") return true;
      if (next == "sleep") session.Type(answered->strayKeys);
      if (next == "mount" && answered->late) drive.Insert(answered->disc);
      hold.Go();
    }
    return false;
  };
  for (std::size_t i = 0; i < s.steps.size(); ++i) {
    const Step& step = s.steps[i];
    std::size_t before = session.Screen().size();
    ASSERT_TRUE(!held || untilKey()) << "box " << i + 1 << " never waited for a key";
    ASSERT_TRUE(session.WaitFor(kBoxWaits, static_cast<int>(i) + 1))
        << "box " << i + 1 << " never came";
    EXPECT_NE(Unframed(session.Screen().substr(before)).find(Unframed(step.says)),
              std::string::npos)
        << "box " << i + 1 << " should say " << step.says << "\n"
        << session.Screen().substr(before);
    // To a file, the progress lines arrive together as the run ends, as on Windows.
    EXPECT_EQ(world.Stdout(), "") << "box " << i + 1;
    if (!step.disc.empty() && !s.fromDriveDevice) world.Insert(step.disc);
    if (!step.disc.empty() && s.fromDriveDevice) {
      drive.Insert(step.disc == kNoDisc || step.late ? "" : step.disc);
    }
    // The box is drawn after it discards earlier keys, so its first key goes in at once; each
    // further one as a separate key press, once the box waits again.
    for (std::size_t k = 0; k < step.keys.size(); ++k) {
      ASSERT_TRUE(!held || k == 0 || untilKey()) << "box " << i + 1 << " took no key";
      session.Type(step.keys[k]);
      if (held) hold.Go();
    }
    answered = &step;
  }
  EXPECT_FALSE(held && untilKey()) << "a box more";
  ASSERT_EQ(ExitCode(session.Finish(seconds(20))), 0) << session.Screen();
  EXPECT_TRUE(session.SettingsRestored()) << "the terminal was left changed";
  EXPECT_TRUE(session.Screen().ends_with("\n")) << "the last box's line was left open";
  EXPECT_EQ(world.Stdout(), s.stdoutBytes);
  EXPECT_EQ(world.Stderr(), "");
  EXPECT_EQ(world.Waits(), s.waits);
  s.verify(world);
}

const Step kBasePrompt{"(i)   Insert your Kestrion CD-ROM in Drive ", "", {"\r"}};

INSTANTIATE_TEST_SUITE_P(
    Cdcopy, Interactive,
    ::testing::Values(
        Scenario{"FullRunWithThreeDiscs",
                 [](World&) {},
                 {{"Insert your Kestrion CD-ROM in Drive ", "base", {"\r"}},
                  {"Insert your Mission Pack One: Tessarand CD-ROM into Drive ", "first", {"o"}},
                  // An arrow key answers nothing; the Enter after it does.
                  {"Insert your Mission Pack Two: Ostmere CD-ROM into Drive ",
                   "second",
                   {"\x1b[B", "\r"}}},
                 kArchiveLine + kLogoLine + kFirstLines + kSecondLines,
                 [](World& w) {
                   ExpectAllCopied(w);
                   EXPECT_EQ(w.Installed(),
                             (std::vector<std::string>{
                                 "KestCore", "KestCore/bnd0.bnd", "KestCore/video",
                                 "KestCore/video/orrinmark.flk", "Velmora", "Velmora/bnd0.bnd",
                                 "Velmora/video", "Velmora/video/logo.flk", "halvane",
                                 "halvane/bnd0.bnd", "halvane/video", "halvane/video/logo.flk"}));
                 }},
        Scenario{"EscapeAtBasePromptCancelsWithAWarning",
                 [](World&) {},
                 {{"Insert your Kestrion CD-ROM", "", {"\x1b"}},
                  {"/!\\   Copy cancelled - You can play with the Kestrion CD-ROM inserted, or you "
                   "can copy bnd0.bnd manually.",
                   "",
                   {"\r"}}},
                 "",
                 [](World& w) { EXPECT_EQ(w.Installed(), kEmptyInstall); }},
        Scenario{"EndOfInputAtBasePromptIsTheCloseBox",
                 [](World&) {},
                 {{"Insert your Kestrion CD-ROM", "", {"\x04"}}, {"Copy cancelled - ", "", {"c"}}},
                 "",
                 [](World& w) { EXPECT_EQ(w.Installed(), kEmptyInstall); }},
        Scenario{"ArchiveMissingFailsAfterThePause",
                 [](World&) {},
                 {{"Insert your Kestrion CD-ROM", "empty", {"\r"}},
                  {"(X)   Copy failed - You can play with the Kestrion CD-ROM inserted, or you can "
                   "copy bnd0.bnd manually.",
                   "",
                   {"\r"}}},
                 kArchiveLine,
                 [](World& w) { EXPECT_EQ(w.Installed(), kEmptyInstall); },
                 false,
                 "sleep 5000 ms\n"},
        // A link on the disc is not followed out of it: as good as no archive at all.
        Scenario{"ArchiveLinkedOutsideTheDiscIsNotCopied",
                 [](World&) {},
                 {{"Insert your Kestrion CD-ROM", "linked", {"\r"}},
                  {"(X)   Copy failed - You can play", "", {"\r"}}},
                 kArchiveLine,
                 [](World& w) { EXPECT_EQ(w.Installed(), kEmptyInstall); },
                 false,
                 "sleep 5000 ms\n"},
        Scenario{"ReadOnlyEarlierCopyIsReplacedOnTheSecondAttempt",
                 [](World& w) { WriteFile(w.Inst("KestCore/BND0.BND"), "earlier copy", 0444); },
                 // The Enter pressed during the pause must not answer the next prompt.
                 {{"Insert your Kestrion CD-ROM", "base", {"\r"}, "\r"},
                  {"Insert your Mission Pack One", "", {"\x1b"}},
                  {"Insert your Mission Pack Two", "", {"c"}}},
                 kArchiveLine + kLogoLine,
                 [](World& w) {
                   ExpectCopied(w, "KestCore/BND0.BND", "base/INSTALL/DATA/KESTCORE/BND0.BND");
                   EXPECT_FALSE(fs::exists(w.Inst("KestCore/bnd0.bnd")));
                 },
                 false,
                 "sleep 5000 ms\n"},
        Scenario{"LogoMissingEndsWithTheLogoNotice",
                 [](World&) {},
                 {{"Insert your Kestrion CD-ROM", "nologo", {"\r"}},
                  {"(X)   Copy failed - You can play the game but the Orrin Logo video will not "
                   "play without the CD-ROM inserted.",
                   "",
                   {"\r"}}},
                 kArchiveLine + kLogoLine,
                 [](World& w) {
                   EXPECT_TRUE(fs::exists(w.Inst("KestCore/bnd0.bnd")));
                   EXPECT_TRUE(fs::is_directory(w.Inst("KestCore/video")));
                 }},
        // No disc in the drive for the first expansion, the second one not installed: nothing
        // copied, nothing said, only the first expansion's video folder made.
        Scenario{"ExpansionFailuresPassUnseen",
                 [](World& w) { fs::remove(w.Inst("Velmora")); },
                 {kBasePrompt, {"Tessarand", "empty", {"\r"}}, {"Ostmere", "second", {"\r"}}},
                 kArchiveLine + kLogoLine + kFirstLines + kSecondLines,
                 [](World& w) {
                   ExpectBaseCopied(w);
                   EXPECT_EQ(w.Installed(),
                             (std::vector<std::string>{
                                 "KestCore", "KestCore/bnd0.bnd", "KestCore/video",
                                 "KestCore/video/orrinmark.flk", "halvane", "halvane/video"}));
                 }},
        Scenario{"WrongDiscAtTheFirstExpansionPromptCopiesNothing",
                 [](World& w) { WriteFile(w.Inst("halvane/bnd0.bnd"), "good archive"); },
                 {kBasePrompt, {"Tessarand", "second", {"\r"}}, {"Ostmere", "", {"\r"}}},
                 kArchiveLine + kLogoLine + kFirstLines + kSecondLines,
                 [](World& w) {
                   EXPECT_EQ(ReadFile(w.Inst("halvane/bnd0.bnd")), "good archive");
                   EXPECT_FALSE(fs::exists(w.Inst("halvane/video")));
                   ExpectCopied(w, "Velmora/bnd0.bnd", "second/DATA/ALL/BND0.BND");
                 }},
        Scenario{"FirstExpansionSkippedSecondCopied",
                 // A video folder already there, in a case of its own, is the one used.
                 [](World& w) { fs::create_directories(w.Inst("Velmora/VIDEO")); },
                 {kBasePrompt, {"Tessarand", "first", {"c"}}, {"Ostmere", "second", {"\r"}}},
                 kArchiveLine + kLogoLine + kSecondLines,
                 [](World& w) {
                   ExpectBaseCopied(w);
                   EXPECT_TRUE(fs::is_empty(w.Inst("halvane")));
                   ExpectCopied(w, "Velmora/bnd0.bnd", "second/DATA/ALL/BND0.BND");
                   ExpectCopied(w, "Velmora/VIDEO/logo.flk",
                                "second/DATA/MAX/VELMORA/VIDEO/LOGO.FLK");
                   EXPECT_FALSE(fs::exists(w.Inst("Velmora/video")));
                 }}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// As root, for a loop device as the drive.
INSTANTIATE_TEST_SUITE_P(
    AsRoot, Interactive,
    ::testing::Values(
        // The drive named by its device: each disc is found wherever it is mounted, and the
        // disc of an expansion is mounted at a folder of its own.
        Scenario{"FromADriveDeviceEachDiscWhereverItIsMounted",
                 [](World&) {},
                 {{"Insert your Kestrion CD-ROM in Drive /dev/loop", "base", {"\r"}},
                  {"Tessarand", "first", {"\r"}},
                  {"Ostmere", "second", {"\r"}}},
                 kArchiveLine + kLogoLine + kFirstLines + kSecondLines,
                 [](World& w) {
                   ExpectBaseCopied(w);
                   ExpectCopied(w, "halvane/bnd0.bnd", "first/DATA/ALL/BND0.BND");
                   ExpectCopied(w, "Velmora/video/logo.flk",
                                "second/DATA/MAX/VELMORA/VIDEO/LOGO.FLK");
                 },
                 true},
        // A disc still being mounted when the prompt is answered is waited for; with none
        // coming, the wait lasts its whole bound, once for both of the expansion's files. The
        // next answered box allows a wait again, for a disc mounted late once more.
        Scenario{"FromADriveDeviceADiscMountedTwoSecondsLater",
                 [](World&) {},
                 {{"Kestrion", "base", {"\r"}, "", true},
                  {"Tessarand", kNoDisc, {"\r"}},
                  {"Ostmere", "second", {"\r"}, "", true}},
                 kArchiveLine + kLogoLine + kFirstLines + kSecondLines,
                 [](World& w) {
                   ExpectBaseCopied(w);
                   ExpectCopied(w, "Velmora/bnd0.bnd", "second/DATA/ALL/BND0.BND");
                 },
                 true,
                 "mount wait 2 s\nmount wait 10 s\nmount wait 2 s\n"},
        // Nothing mounted within the wait: the archive fails as with no disc, the pause and the
        // second attempt follow at once, without a second wait.
        Scenario{"FromADriveDeviceNothingMounted",
                 [](World&) {},
                 {{"Kestrion", kNoDisc, {"\r"}},
                  {"(X)   Copy failed - You can play with the Kestrion", "", {"\r"}}},
                 kArchiveLine,
                 [](World& w) { EXPECT_EQ(w.Installed(), kEmptyInstall); },
                 true,
                 "mount wait 10 s\nsleep 5000 ms\n"}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// Without a terminal no box can be shown: the base disc is copied without asking and the
// expansions are skipped, whatever becomes of standard output.
TEST(Cdcopy, WithoutATerminalTheBaseDiscIsCopiedWhateverStdoutIs) {
  int closedPipe[2];
  ASSERT_EQ(pipe(closedPipe), 0);
  close(closedPipe[0]);
  TempDir dir;
  struct {
    const char* name;
    int fd;
  } outputs[] = {{"a file", -1},
                 {"a broken pipe", closedPipe[1]},
                 {"a full device", open("/dev/full", O_WRONLY)},
                 {"the file standard error goes to",
                  open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644)}};
  for (const auto& output : outputs) {
    World world;
    Launch launch = WithoutTerminal(world);
    AsShipped(launch);
    launch.stdoutFd = output.fd;
    if (output.name == outputs[3].name) launch.fds = {{STDERR_FILENO, output.fd}};
    TerminalSession session(launch);
    EXPECT_EQ(ExitCode(session.Finish(seconds(20))), 0) << output.name;
    if (output.fd < 0) {
      EXPECT_EQ(world.Stdout(), kArchiveLine + kLogoLine);
      // Nobody saw the boxes: standard error tells what they said and answered.
      const std::string drive = world.Root("drive/");
      std::string boxes;
      for (auto prompt : {texts::BasePrompt, texts::FirstPrompt, texts::SecondPrompt}) {
        boxes += "[" + std::string(texts::kCaption) + "]\n" + prompt(drive) +
                 "\n(no terminal: answered as if the box could not be shown)\n\n";
      }
      EXPECT_EQ(world.Stderr(), boxes);
    }
    ExpectBaseCopied(world);
    EXPECT_TRUE(fs::is_empty(world.Inst("halvane"))) << output.name;
    if (output.fd >= 0) close(output.fd);
  }
  // A box's text starts on a line of its own, after the progress so far.
  EXPECT_NE(ReadFile(dir / "log").find("(3 MB)...\n[Copy Data"), std::string::npos);
}

// With no terminal on a desktop each box is a dialog window, answered in the window: OK, OK with
// the first expansion's disc put in, Cancel.
TEST(Cdcopy, WithoutATerminalOnADesktopTheBoxesAreDialogs) {
  XDisplay display;
  display.Start();
  SKIP_OR_FAIL(display.Missing() + (FindProgram({"zenity"}).empty() ? " zenity (zenity)" : ""));
  ASSERT_EQ(display.Broken(), "");
  World world;
  Launch launch = WithoutTerminal(world, {"DISPLAY=" + display.Name()});
  launch.virtualTime = false;  // zenity has the shim too
  AsShipped(launch);
  TerminalSession run(launch);
  // Each window is gone before the next is looked for: the server may give it the same id.
  for (auto [disc, key] : {std::pair{"", "Return"}, {"first", "Return"}, {"", "Escape"}}) {
    std::string id = display.WaitForWindow({}, seconds(30), texts::kCaption);
    ASSERT_FALSE(id.empty()) << "a box never came after " << key;
    if (*disc) world.Insert(disc);
    ASSERT_TRUE(display.Answer(id, key, texts::kCaption));
  }
  ASSERT_EQ(run.Finish(seconds(30)), 0);
  EXPECT_EQ(world.Stdout(), kArchiveLine + kLogoLine + kFirstLines);
  ExpectCopied(world, "halvane/bnd0.bnd", "first/DATA/ALL/BND0.BND");
  EXPECT_TRUE(fs::is_empty(world.Inst("Velmora")));
}

// With no terminal on a desktop, or what looks like one: a stand-in dialog program on PATH logs
// its process and arguments, checks that no earlier window of the run is still up, then does
// what the row says. The drive root has markup characters in it.
struct DesktopCase {
  const char* name;
  const char* program;
  const char* then;
  std::string logged;  // among its arguments, one a line, or what the run said on standard error
  bool shown = true;   // else the boxes go to standard error, and the base disc is copied
  // The display takes every client; or only those with its cookie, which the run has in the X
  // authority file it is given (also after another display's, under another cookie), or lacks;
  // or it cannot be opened at all.
  enum { Open, WithCookie, AfterAnotherDisplays, WithoutCookie, Unopenable } access = Open;
  bool heldArchives = false;  // each held as its copy begins, until its window is up
  bool killTheRun = false;    // while the first window is up; the window must go with it
  // Run as root, for itself or for nobody (SUDO_UID) who holds the cookie or not; or run as
  // nobody, given the cookie through a pipe, as a shell's process substitution does.
  enum { Root, ForNobody, ForNobodyRootsCookie, NobodyThroughAPipe, ForNobodyAFifo } as = Root;
  bool lateDisc = false;  // the drive a device, its disc mounted once the run waits for it
};

class Desktop : public ::testing::TestWithParam<DesktopCase> {};

TEST_P(Desktop, DialogsOnlyWhereTheyCanBeShown) {
  const DesktopCase& c = GetParam();
  World world;
  // One entry for any display of any host, as Xlib reads the file: MIT-MAGIC-COOKIE-1, 16 bytes.
  const std::string entry = std::string("\xff\xff\0\0\0\0\0\x12MIT-MAGIC-COOKIE-1\0\x10", 28);
  WriteFile(world.Root("xauthority"), entry + "cdcopy-test-0123", 0600);
  XDisplay display;
  display.Start(c.access != DesktopCase::Open && c.access != DesktopCase::Unopenable
                    ? world.Root("xauthority")
                    : "");
  SKIP_OR_FAIL(display.Missing());
  ASSERT_EQ(display.Broken(), "");
  const std::string log = world.Root("log");
  WriteFile(world.Root("bin/") + c.program,
            "#!/bin/sh\nfor p in $(/bin/sed -n 's/^-- //p' " + log + "); do case $(/bin/cat " +
                "/proc/$p/stat) in *') '[!Z]*) echo still up >>" + log + ";; esac; done\n" +
                "printf '%s\\n' \"-- $$\" \"$@\" >>" + log + "\n" + c.then + "\n",
            0755);
  fs::create_directory_symlink(world.Root("drive"), world.Root("a&<b"));
  Launch launch = WithoutTerminal(
      world, {"PATH=" + world.Root("bin"),
              "DISPLAY=" + (c.access != DesktopCase::Unopenable ? display.Name() : ":4093"),
              "XAUTHORITY=" + world.Root("xauthority")});
  launch.args[0] = world.Root("a&<b/");
  launch.virtualTime = c.lateDisc;  // the stand-in has the shim too
  if (!c.heldArchives && !c.lateDisc) AsShipped(launch);
  DriveDevice drive;
  if (c.lateDisc) REQUIRE_DRIVE(drive, world);
  if (c.lateDisc) launch.args[0] = drive.Root();
  if (c.access == DesktopCase::WithoutCookie) launch.env.back() += ".elsewhere";
  if (c.access == DesktopCase::AfterAnotherDisplays) {  // the display knows only its own
    const std::string other = display.Name().substr(1) + "0";
    WriteFile(world.Root("xauthority.two"), std::string("\xff\xff\0\0\0", 5) + char(other.size()) +
                                                other + entry.substr(6) + "cdcopy-test-9999" +
                                                entry + "cdcopy-test-0123");
    launch.env.back() += ".two";
  }
  if (c.as != DesktopCase::Root) {
    SKIP_OR_FAIL(NeedsRoot());
    WriteFile(log, "", 0666);
    chmod(log.c_str(), 0666);
    if (c.as == DesktopCase::NobodyThroughAPipe) {
      ASSERT_EQ(AsNobody(world, launch), "");
      ChownTree(world.Inst(""), {kNobody, kNobody, true});
      int cookie[2];
      // Made by the user, as their shell would.
      ASSERT_EQ(pipe(cookie), 0);
      ASSERT_EQ(fchown(cookie[0], kNobody, kNobody), 0);
      ASSERT_EQ(
          write(cookie[1], entry.data(), entry.size()) + write(cookie[1], "cdcopy-test-0123", 16),
          44);
      close(cookie[1]);
      launch.fds.push_back({3, cookie[0]});
      launch.env.back() = "XAUTHORITY=/dev/fd/3";
    } else {
      chmod(world.Root("").c_str(), 0755);
      launch.env.push_back("SUDO_UID=" + std::to_string(kNobody));
      launch.groups = {kNobody - 1};
      if (c.as == DesktopCase::ForNobody) lchown(world.Root("xauthority").c_str(), kNobody, 0);
      if (c.as == DesktopCase::ForNobodyAFifo) {  // the user's own, with no one writing to it
        ASSERT_EQ(mkfifo(world.Root("fifo").c_str(), 0600), 0);
        lchown(world.Root("fifo").c_str(), kNobody, kNobody);
        launch.env[2] = "XAUTHORITY=" + world.Root("fifo");
      }
    }
  }
  Hold hold;
  if (c.heldArchives) launch.env.push_back("CDCOPY_SHIM_SOURCE=BND0.BND");
  if (c.heldArchives || c.lateDisc) hold.Into(launch);
  TerminalSession run(launch);
  if (c.lateDisc && drive.InsertOnceWaitedFor(hold, "base")) hold.Until("");
  if (c.killTheRun) {
    ASSERT_TRUE(Eventually([&] { return ReadFile(log).find('\n') != std::string::npos; }));
    kill(run.Pid(), SIGKILL);
    run.Finish(seconds(20));
    const pid_t pid = std::stoi(ReadFile(log).substr(3));
    EXPECT_TRUE(Eventually([&] { return State(pid) == 'Z' || State(pid) == '?'; }))
        << "the window outlived the run";
    return;
  }
  auto windows = [&] {
    const std::string text = ReadFile(log);
    const std::regex progress("\n--progress");
    return std::distance(std::sregex_iterator(text.begin(), text.end(), progress), {});
  };
  for (long copies = 1; c.heldArchives && hold.Until("copy"); ++copies) {
    EXPECT_TRUE(Eventually([&] { return windows() >= copies; })) << "no window for copy " << copies;
    // zenity's window is fed its lines through its standard input.
    const std::string text = ReadFile(log), pid = text.substr(text.rfind("-- ") + 3);
    const std::string input = "/proc/" + std::to_string(std::stoi(pid)) + "/fd/0";
    EXPECT_TRUE(c.program != std::string("zenity") ||
                fs::read_symlink(input).string().starts_with("pipe:"))
        << input;
    hold.Go();
  }
  ASSERT_EQ(ExitCode(run.Finish(seconds(30))), 0);
  EXPECT_NE((ReadFile(log) + world.Stderr()).find(c.logged), std::string::npos)
      << ReadFile(log) << world.Stderr();
  const bool textAsGiven = ReadFile(log).find(launch.args[0] + " to copy") != std::string::npos;
  EXPECT_TRUE(textAsGiven || !c.shown);
  EXPECT_EQ(ReadFile(log).find("still up"), std::string::npos) << ReadFile(log);
  ExpectBaseCopied(world);
  EXPECT_EQ(world.Stdout(), kArchiveLine + kLogoLine + (c.shown ? kFirstLines + kSecondLines : ""));
  EXPECT_EQ(world.Stderr().empty(), c.shown) << world.Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Cdcopy, Desktop,
    ::testing::Values(
        // As zenity does where it cannot open the display, which must not pass for Cancel.
        DesktopCase{"ADisplayThatCannotBeOpenedIsNoDesktop", "zenity", "exit 1",
                    "(the display :4093 could not be opened: no window on the desktop)\n"
                    "(no terminal: answered as if the box could not be shown)",
                    false, DesktopCase::Unopenable},
        // Another user's session, or root's run without the user's cookie.
        DesktopCase{"ADisplayThatRefusesTheUserIsNoDesktop", "zenity", "exit 1", "", false,
                    DesktopCase::WithoutCookie},
        DesktopCase{"TheUsersCookieOpensTheDisplay", "zenity", "exit 0", "--question", true,
                    DesktopCase::WithCookie},
        DesktopCase{"TheCookieForTheDisplaysNumberOpensIt", "zenity", "exit 0", "--question", true,
                    DesktopCase::AfterAnotherDisplays},
        DesktopCase{"KdialogWhereThereIsNoZenity", "kdialog", "exit 0",
                    "--title\nCopy Data from Kestrion CD-ROM\n--yesno\nInsert your Mission Pack "
                    "One: Tessarand CD-ROM into Drive "},
        DesktopCase{"TheTextIsNeverMarkup", "zenity", "exit 0",
                    "--question\n--no-markup\n--title=Copy Data from Kestrion CD-ROM\n--text="
                    "Insert your Kestrion CD-ROM in Drive "},
        DesktopCase{"ADialogKilledBySignalIsNoAnswer", "zenity", "kill -KILL $$", "--question",
                    false},
        // As zenity ends where it cannot show its window: no answer either, not Cancel.
        DesktopCase{"ADialogThatFailsIsNoAnswer", "zenity", "exit 255", "--question", false},
        // While an item copies its line is in a window, closed before anything else shows.
        DesktopCase{"EachCopyShowsItsLineInAWindow", "zenity",
                    "case $1 in --progress) exec /bin/sleep 600 ;; esac",
                    "--progress\n--pulsate\n--no-cancel\n--auto-close\n--title=Copy Data from "
                    "Kestrion CD-ROM\n--width=476\n--text=Now copying Kestrion (kestcore) bnd0.bnd "
                    "(179 MB)...\n",
                    true, DesktopCase::Open, true},
        // kdialog leaves its window to a process of its own, which it names.
        DesktopCase{"KdialogShowsEachCopyInAWindowToo", "kdialog",
                    "case $1 in --progressbar) /bin/sleep 600 & echo \"-- $!\" >>\"${0%/*}/../log\""
                    "; echo \"org.kde.kdialog-$! /ProgressDialog\" ;; esac",
                    "--title\nCopy Data from Kestrion CD-ROM\n--progressbar\nNow copying Kestrion "
                    "(kestcore) bnd0.bnd (179 MB)...\n0\n",
                    true, DesktopCase::Open, true},
        DesktopCase{"TheWindowGoesWithTheRun", "zenity", "exec /bin/sleep 600", "", true,
                    DesktopCase::Open, false, true}),
    [](const ::testing::TestParamInfo<DesktopCase>& info) { return info.param.name; });

// As root for a user (sudo), or as that user.
INSTANTIATE_TEST_SUITE_P(
    AsRoot, Desktop,
    ::testing::Values(
        // Run with sudo, the display, its cookie and the dialog are reached as the user, whole.
        DesktopCase{"RootShowsTheDialogsAsTheUserItRunsFor", "zenity",
                    "/usr/bin/id -u >>\"${0%/*}/../log\"; /usr/bin/id -G >>\"${0%/*}/../log\"",
                    "\n65534\n65534\n", true, DesktopCase::WithCookie, false, false,
                    DesktopCase::ForNobody},
        DesktopCase{"RootNeverSendsACookieTheUserCannotRead", "zenity", "exit 0", "", false,
                    DesktopCase::WithCookie, false, false, DesktopCase::ForNobodyRootsCookie},
        // Only the first box: a pipe is read once.
        DesktopCase{"AnAuthorityFifoNoOneWritesKeepsNoOneWaiting", "zenity", "exit 0", "", false,
                    DesktopCase::WithCookie, false, false, DesktopCase::ForNobodyAFifo},
        DesktopCase{"ACookieThroughAPipeOpensTheDisplay", "zenity", "exit 0", "--question", false,
                    DesktopCase::WithCookie, false, false, DesktopCase::NobodyThroughAPipe},
        // The window waits with the run for a disc still being mounted, and says so meanwhile.
        DesktopCase{
            "AWaitForTheDiscIsSaidInTheWindow", "zenity",
            "case $1 in --progress) trap '' TERM; exec /bin/cat >>\"${0%/*}/../log\" ;; esac",
            "#Waiting for the disc in the drive...\n#Now copying Kestrion (kestcore) "
            "bnd0.bnd (179 MB)...\n",
            true, DesktopCase::Open, false, false, DesktopCase::Root, true}),
    [](const ::testing::TestParamInfo<DesktopCase>& info) { return info.param.name; });

// Fewer than two arguments: help or the version when asked for alone, else the usage line.
TEST(Cdcopy, FewerThanTwoArgumentsTouchNothing) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{}, 2, "", "usage: cdcopy DRIVE_ROOT INSTALL_DIR\n"},
      {{"--verbose"}, 2, "", "usage: cdcopy DRIVE_ROOT INSTALL_DIR\n"},
      {{"--help"}, 0, "usage: cdcopy DRIVE_ROOT INSTALL_DIR\n\nCopies the data archive", ""},
      {{"-h"}, 0, "usage: cdcopy DRIVE_ROOT INSTALL_DIR\n\nCopies the data archive", ""},
      {{"--version"}, 0, "cdcopy " CDCOPY_VERSION "\n", ""},
  };
  for (const Case& c : cases) {
    World world;
    Launch launch = world.StartAsShipped();
    launch.args = c.args;
    TerminalSession session(launch);
    const std::string arg = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(ExitCode(session.Finish(seconds(20))), c.status) << arg;
    EXPECT_EQ(world.Stderr(), c.err) << arg;
    EXPECT_TRUE(world.Stdout().starts_with(c.out)) << arg << ": " << world.Stdout();
    EXPECT_EQ(c.out.empty(), world.Stdout().empty()) << arg;
    EXPECT_FALSE(std::regex_search(world.Stdout(), std::regex("[^\n]{81}"))) << "wider than 80";
    EXPECT_EQ(session.Screen(), "") << arg;
    EXPECT_EQ(world.Installed(), kEmptyInstall) << arg;
  }
}

// On a terminal the last progress line is ended, so that the shell's prompt does not follow
// its "...". On a desktop too (a display named by its host is taken at its word), the lines are
// in sight there: no window shows them.
TEST(Cdcopy, OnATerminalTheRunEndsOnALineOfItsOwn) {
  World world;
  Launch launch = world.StartAsShipped();
  launch.stdoutOnTerminal = true;
  WriteFile(world.Root("bin/zenity"), "#!/bin/sh\necho \"$@\" >>\"${0%/*}/shown\"\n", 0755);
  launch.env = {"DISPLAY=desktop:0", "PATH=" + world.Root("bin")};
  TerminalSession session(launch);
  // Resized while a box waits, the box is drawn again at the new width.
  ASSERT_TRUE(session.WaitFor(kBoxWaits));
  const std::size_t before = session.Screen().size();
  session.Resize(50);
  ASSERT_TRUE(session.WaitFor(kBoxWaits, 2));
  EXPECT_FALSE(std::regex_search(session.Screen().substr(before), std::regex("[^\r\n]{51}")));
  int box = 1;
  for (const char* disc : {"base", "first", "second"}) {
    ASSERT_TRUE(session.WaitFor(kBoxWaits, ++box));
    world.Insert(disc);
    session.Type("\r");
  }
  ASSERT_EQ(session.Finish(seconds(20)), 0) << session.Screen();
  EXPECT_TRUE(session.Screen().ends_with("Now copying Velmora Logo video logo.flk (3 MB)...\r\n"))
      << session.Screen();
  EXPECT_EQ(ReadFile(world.Root("bin/shown")), "");
}

// Started by `su user -c`: standard input is a terminal that is not the controlling one. Root
// opens it again by its name; another user may not open root's login terminal (root:tty 0620).
TEST(AsRoot, ATerminalThatIsNotTheControllingOneStillShowsTheBoxesAlsoToAUserBesideRoot) {
  for (bool asNobody : {false, true}) {
    World world;
    Launch launch = world.StartAsShipped();
    launch.controllingTerminal = false;
    if (asNobody) {
      if (geteuid() != 0) GTEST_SKIP() << "needs root, to run as another user";
      ASSERT_EQ(AsNobody(world, launch), "");
      ChownTree(world.Inst(""), {kNobody, kNobody, true});
    }
    TerminalSession session(launch);
    int box = 0;
    for (const char* key : {"\r", "c", "c"}) {
      ASSERT_TRUE(session.WaitFor(kBoxWaits, ++box)) << asNobody;
      session.Type(key);
    }
    ASSERT_EQ(session.Finish(seconds(20)), 0) << session.Screen();
    ExpectBaseCopied(world);
    EXPECT_EQ(world.Stderr(), "");
  }
}

TEST(Cdcopy, CtrlCAtAPromptEndsTheRunAndRestoresTheTerminal) {
  World world;
  Launch launch = world.StartAsShipped();
  TerminalSession session(launch);
  ASSERT_TRUE(session.WaitFor(kBoxWaits));
  EXPECT_EQ(session.Settings().c_lflag & ICANON, 0u) << "keys are read one at a time";
  session.Type("\x03");
  EXPECT_EQ(ExitCode(session.Finish(seconds(20))), 128 + SIGINT);
  EXPECT_TRUE(session.SettingsRestored());
  EXPECT_EQ(world.Installed(), kEmptyInstall);
}

}  // namespace
}  // namespace cdcopy::testing
