// The whole run against a recording platform: every call, its arguments and its order.
#include <gtest/gtest.h>

#include <string>

#include "app/run.h"
#include "fake_platform.h"
#include "test_files.h"
#include "texts.h"

namespace cdcopy::testing {
namespace {

using cdcopy::testing::PrintTo;

const std::string kDrive = "D:\\";
const std::string kInstall = "C:\\Games\\Kestrion";

using texts::BasePrompt;
using texts::kArchiveFailed;
using texts::kCancelled;
using texts::kLogoFailed;
const std::string kFirstExpansionPrompt = texts::FirstPrompt(kDrive);
const std::string kSecondExpansionPrompt = texts::SecondPrompt(kDrive);

std::string Box(unsigned type, const std::string& text) {
  return "MessageBoxA(" + Hex(type) + ", \"" + texts::kCaption + "\") " + text;
}
Calls Prompt(const std::string& text) {
  return {Box(0x41, text)};
}
Calls Notice(unsigned type, const std::string& text) {
  return {Box(type, text)};
}
Calls Progress(const std::string& line) {
  return {"stdout: " + line, "flush"};
}
Calls Mkdir(const std::string& path) {
  return {"CreateDirectoryA(" + path + ")"};
}
// One attempt: the copy, then the attribute reset that follows it whatever its result.
Calls Attempt(const std::string& src, const std::string& dst, bool ok) {
  return {"CopyFileA(" + src + ", " + dst + ", FALSE) -> " + (ok ? "1" : "0"),
          "SetFileAttributesA(" + dst + ", 0x20)"};
}
Calls LastAttempt(const std::string& src, const std::string& dst) {
  return {"CopyFileA(" + src + ", " + dst + ", FALSE) -> 0"};
}
const Calls kPause = {"Sleep(5000)"};

const std::string kArchiveSrc = "D:\\install\\data\\kestcore\\bnd0.bnd";
const std::string kArchiveDst = "C:\\Games\\Kestrion\\kestcore\\bnd0.bnd";
const std::string kLogoSrc = "D:\\Install\\Data\\kestcore\\video\\orrinmark.flk";
const std::string kLogoDst = "C:\\Games\\Kestrion\\kestcore\\video\\orrinmark.flk";
const Calls kArchiveLine = Progress(texts::kArchiveLine);
const Calls kLogoStart = Progress(texts::kLogoLine) + Mkdir("C:\\Games\\Kestrion\\kestcore\\video");

// An expansion's two items, with their progress lines; `dir` is its folder.
// The disc check before an expansion's copies: its own folder, then the other expansion's.
Calls DiscCheck(const std::string& dir, const std::string& otherDir) {
  return {"GetFileAttributesA(D:\\data\\max\\" + dir + ") -> none",
          "GetFileAttributesA(D:\\data\\max\\" + otherDir + ") -> none"};
}
Calls Expansion(const std::string& archiveLine, const std::string& logoLine, const std::string& dir,
                bool archiveOk, bool logoOk) {
  return DiscCheck(dir, dir == "halvane" ? "velmora" : "halvane") + Progress(archiveLine) +
         Attempt("D:\\data\\all\\bnd0.bnd", kInstall + "\\" + dir + "\\bnd0.bnd", archiveOk) +
         Progress(logoLine) + Mkdir(kInstall + "\\" + dir + "\\video") +
         Attempt("D:\\data\\max\\" + dir + "\\video\\logo.flk",
                 kInstall + "\\" + dir + "\\video\\logo.flk", logoOk);
}
Calls FirstExpansion(bool archiveOk, bool logoOk) {
  return Expansion(texts::kFirstArchiveLine, texts::kFirstLogoLine, "halvane", archiveOk, logoOk);
}
Calls SecondExpansion(bool archiveOk, bool logoOk) {
  return Expansion(texts::kSecondArchiveLine, texts::kSecondLogoLine, "velmora", archiveOk, logoOk);
}

const Calls kBaseOk = Prompt(BasePrompt(kDrive)) + kArchiveLine +
                      Attempt(kArchiveSrc, kArchiveDst, true) + kLogoStart +
                      Attempt(kLogoSrc, kLogoDst, true);

struct RunCase {
  const char* name;
  std::deque<int> answers;
  Calls expected;
  std::deque<bool> copies = {};  // every copy succeeds where none is given
};

class RunTable : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTable, MakesExactlyTheseCalls) {
  const RunCase& c = GetParam();
  // A notice's answer is never looked at: closed or not shown, it is the run's last act all the
  // same.
  for (int noticeAnswer : {IDOK, IDCANCEL, 0}) {
    FakePlatform platform;
    platform.promptAnswers = c.answers;
    platform.copyResults = c.copies;
    platform.noticeAnswer = noticeAnswer;
    platform.driveRoot = kDrive;
    platform.installDir = kInstall;
    EXPECT_EQ(cdcopy::Run(platform, DriveRoot{kDrive.c_str()}, InstallDir{kInstall.c_str()}), 0);
    EXPECT_EQ(platform.calls, c.expected) << "a notice answered " << noticeAnswer;
    EXPECT_TRUE(platform.promptAnswers.empty()) << "prompts that were never shown";
  }
}

const Calls kBothExpansionPrompts = Prompt(kFirstExpansionPrompt) + Prompt(kSecondExpansionPrompt);

INSTANTIATE_TEST_SUITE_P(
    Run, RunTable,
    ::testing::Values(
        RunCase{"FullRun",
                {IDOK, IDOK, IDOK},
                kBaseOk + Prompt(kFirstExpansionPrompt) + FirstExpansion(true, true) +
                    Prompt(kSecondExpansionPrompt) + SecondExpansion(true, true)},
        RunCase{"CancelAtBasePromptWarnsAndTouchesNothing",
                {IDCANCEL},
                Prompt(BasePrompt(kDrive)) + Notice(0x30, kCancelled)},
        RunCase{"BasePromptThatCannotBeShownGoesAhead",
                {0, IDCANCEL, IDCANCEL},
                kBaseOk + kBothExpansionPrompts},
        RunCase{"ArchiveSecondAttemptSucceedsAfterPause",
                {IDOK, IDCANCEL, IDCANCEL},
                Prompt(BasePrompt(kDrive)) + kArchiveLine +
                    Attempt(kArchiveSrc, kArchiveDst, false) + kPause +
                    Attempt(kArchiveSrc, kArchiveDst, true) + kLogoStart +
                    Attempt(kLogoSrc, kLogoDst, true) + kBothExpansionPrompts,
                {false, true}},
        RunCase{"ArchiveFailsTwiceEndsWithErrorNotice",
                {IDOK},
                Prompt(BasePrompt(kDrive)) + kArchiveLine +
                    Attempt(kArchiveSrc, kArchiveDst, false) + kPause +
                    LastAttempt(kArchiveSrc, kArchiveDst) + Notice(0x10, kArchiveFailed),
                {false, false}},
        RunCase{"LogoFailsAtOnceWithoutPause",
                {IDOK},
                Prompt(BasePrompt(kDrive)) + kArchiveLine +
                    Attempt(kArchiveSrc, kArchiveDst, true) + kLogoStart +
                    Attempt(kLogoSrc, kLogoDst, false) + Notice(0x10, kLogoFailed),
                {true, false}},
        RunCase{"FirstExpansionSkippedSecondCopied",
                {IDOK, IDCANCEL, IDOK},
                kBaseOk + kBothExpansionPrompts + SecondExpansion(true, true)},
        RunCase{"FirstExpansionWithoutDiscFailsSilentlyAndGoesOn",
                {IDOK, IDOK, IDCANCEL},
                kBaseOk + Prompt(kFirstExpansionPrompt) + FirstExpansion(false, false) +
                    Prompt(kSecondExpansionPrompt),
                {true, true, false, false}},
        RunCase{"FailedExpansionArchiveStillTriesItsLogo",
                {IDOK, IDOK, IDOK},
                kBaseOk + Prompt(kFirstExpansionPrompt) + FirstExpansion(false, true) +
                    Prompt(kSecondExpansionPrompt) + SecondExpansion(true, false),
                {true, true, false, true, true, false}},
        RunCase{
            "BothExpansionsCancelled", {IDOK, IDCANCEL, IDCANCEL}, kBaseOk + kBothExpansionPrompts},
        RunCase{"ExpansionPromptsThatCannotBeShownAreSkipped",
                {IDOK, 0, 0},
                kBaseOk + kBothExpansionPrompts}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return info.param.name; });

// Both expansion discs keep their archive at the same path; only a disc that shows the other
// expansion's folder and not its own is refused, with its progress lines and nothing else.
struct DiscCase {
  const char* name;
  std::vector<std::string> folders;  // what the disc in the drive shows under data\max
  Calls first;                       // what the first expansion's OK leads to
  Calls second;                      // and the second's
};

class WrongDiscTable : public ::testing::TestWithParam<DiscCase> {};

TEST_P(WrongDiscTable, CopiesOnlyFromADiscNotKnownToBeTheOther) {
  const DiscCase& c = GetParam();
  FakePlatform platform;
  platform.promptAnswers = {IDOK, IDOK, IDOK};
  for (const std::string& folder : c.folders) {
    platform.discFolders.push_back("D:\\data\\max\\" + folder);
  }
  cdcopy::Run(platform, DriveRoot{kDrive.c_str()}, InstallDir{kInstall.c_str()});
  EXPECT_EQ(platform.calls, kBaseOk + Prompt(kFirstExpansionPrompt) + c.first +
                                Prompt(kSecondExpansionPrompt) + c.second);
}

const Calls kFirstLinesOnly = Progress(texts::kFirstArchiveLine) + Progress(texts::kFirstLogoLine);
const Calls kSecondLinesOnly =
    Progress(texts::kSecondArchiveLine) + Progress(texts::kSecondLogoLine);
const Calls kFirstFound = {"GetFileAttributesA(D:\\data\\max\\halvane) -> directory"};
const Calls kSecondFound = {"GetFileAttributesA(D:\\data\\max\\velmora) -> directory"};
const Calls kFirstMissing = {"GetFileAttributesA(D:\\data\\max\\halvane) -> none"};
const Calls kSecondMissing = {"GetFileAttributesA(D:\\data\\max\\velmora) -> none"};

// The expansion's copies once its own folder has been found.
Calls Copies(const Calls& expansion) {
  return Calls(expansion.begin() + 2, expansion.end());
}

INSTANTIATE_TEST_SUITE_P(
    Run, WrongDiscTable,
    ::testing::Values(DiscCase{"SecondDiscStaysInForBoth",
                               {"velmora"},
                               kFirstMissing + kSecondFound + kFirstLinesOnly,
                               kSecondFound + Copies(SecondExpansion(true, true))},
                      DiscCase{"FirstDiscStaysInForBoth",
                               {"halvane"},
                               kFirstFound + Copies(FirstExpansion(true, true)),
                               kSecondMissing + kFirstFound + kSecondLinesOnly},
                      DiscCase{"ADiscShowingBothFoldersIsCopiedFrom",
                               {"halvane", "velmora"},
                               kFirstFound + Copies(FirstExpansion(true, true)),
                               kSecondFound + Copies(SecondExpansion(true, true))},
                      DiscCase{"ADiscShowingNeitherIsCopiedFrom",
                               {},
                               FirstExpansion(true, true),
                               SecondExpansion(true, true)}),
    [](const ::testing::TestParamInfo<DiscCase>& info) { return info.param.name; });

// What the run tells the platform: each disc prompt's answer as the run takes it (the base
// disc's unshown box goes ahead, an expansion's does not), and each item whose copy begins.
TEST(Run, TellsEachAnswerAsTakenAndEachItemAsItsCopyBegins) {
  const Calls base = {"going ahead", "starting: " + texts::kArchiveLine,
                      "starting: " + texts::kLogoLine};
  const struct {
    std::deque<int> answers;
    Calls events;
  } rows[] = {{{IDCANCEL}, {"not going ahead"}},
              // The second expansion's drive holds the first's disc: nothing of it starts.
              {{0, 0, IDOK}, base + Calls{"not going ahead", "going ahead"}}};
  for (const auto& row : rows) {
    FakePlatform platform;
    platform.promptAnswers = row.answers;
    platform.discFolders = {"D:\\data\\max\\halvane"};
    cdcopy::Run(platform, DriveRoot{kDrive.c_str()}, InstallDir{kInstall.c_str()});
    EXPECT_EQ(platform.events, row.events);
  }
}

TEST(Run, ProgressLinesAreNotFlushedWhenStdoutIsAFile) {
  FakePlatform platform;
  platform.stdoutIsTerminal = false;
  platform.promptAnswers = {IDOK, IDCANCEL, IDCANCEL};
  cdcopy::Run(platform, DriveRoot{kDrive.c_str()}, InstallDir{kInstall.c_str()});
  EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(), "flush"), 0);
  EXPECT_EQ(std::count_if(platform.calls.begin(), platform.calls.end(),
                          [](const std::string& call) { return call.starts_with("stdout: "); }),
            2);
}

TEST(Run, VideoFoldersThatExistAlreadyDoNotStopTheCopies) {
  FakePlatform platform;
  platform.directoriesExist = true;
  platform.promptAnswers = {IDOK, IDOK, IDOK};
  cdcopy::Run(platform, DriveRoot{kDrive.c_str()}, InstallDir{kInstall.c_str()});
  EXPECT_EQ(platform.calls, kBaseOk + Prompt(kFirstExpansionPrompt) + FirstExpansion(true, true) +
                                Prompt(kSecondExpansionPrompt) + SecondExpansion(true, true));
}

TEST(Run, PercentInArgumentsIsShownAsItIs) {
  FakePlatform platform;
  platform.promptAnswers = {IDOK, IDCANCEL, IDCANCEL};
  cdcopy::Run(platform, DriveRoot{"%s%n%x\\"}, InstallDir{"C:\\100%s"});
  EXPECT_EQ(platform.calls[0], Box(0x41, BasePrompt("%s%n%x\\")));
  EXPECT_EQ(platform.calls[3],
            "CopyFileA(%s%n%x\\install\\data\\kestcore\\bnd0.bnd, C:\\100%s\\kestcore\\bnd0.bnd, "
            "FALSE) -> 1");
}

TEST(Run, OverlongDriveRootCutsThePromptAndFailsTheArchiveAtOnce) {
  const std::string drive(3000, 'x');
  FakePlatform platform;
  platform.promptAnswers = {IDOK};
  cdcopy::Run(platform, DriveRoot{drive.c_str()}, InstallDir{kInstall.c_str()});
  const std::string shown = Box(0x41, BasePrompt(drive).substr(0, 2047));
  // Without a usable source path nothing is copied, paused or reset.
  EXPECT_EQ(platform.calls, Calls{shown} + kArchiveLine + Notice(0x10, kArchiveFailed));
}

TEST(Run, InstallDirTooLongForTheLogoPathFailsTheLogoBeforeItsDirectory) {
  // "\kestcore\bnd0.bnd" is 18 bytes, "\kestcore\video\orrinmark.flk" 29: the archive's path
  // takes all 259 characters, the logo's would not fit.
  const std::string install(259 - 18, 'i');
  FakePlatform platform;
  platform.promptAnswers = {IDOK};
  cdcopy::Run(platform, DriveRoot{kDrive.c_str()}, InstallDir{install.c_str()});
  const std::string dst = install + "\\kestcore\\bnd0.bnd";
  ASSERT_EQ(dst.size(), 259u);
  EXPECT_EQ(platform.calls,
            Prompt(BasePrompt(kDrive)) + kArchiveLine + Attempt(kArchiveSrc, dst, true) +
                Progress("\nNow copying Orrin Software Logo video orrinmark.flk (3 MB)...") +
                Notice(0x10, kLogoFailed));
}

}  // namespace
}  // namespace cdcopy::testing
