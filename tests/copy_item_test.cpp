// One item through the copy operation: when it pauses, retries and resets attributes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "copy/copy_item.h"
#include "fake_platform.h"
#include "test_files.h"

namespace cdcopy::testing {
namespace {

using cdcopy::testing::PrintTo;

struct PolicyCase {
  const char* name;
  FailurePolicy policy;
  std::deque<bool> copies;
  bool expectedResult;
  Calls expectedAfterDirectory;
};

const Calls kOk = {"CopyFileA(S:\\src\\f, I\\dir\\f, FALSE) -> 1",
                   "SetFileAttributesA(I\\dir\\f, 0x20)"};
const Calls kFailedFirst = {"CopyFileA(S:\\src\\f, I\\dir\\f, FALSE) -> 0",
                            "SetFileAttributesA(I\\dir\\f, 0x20)"};
const Calls kFailedLast = {"CopyFileA(S:\\src\\f, I\\dir\\f, FALSE) -> 0"};
const Calls kPause = {"Sleep(5000)"};

class PolicyTable : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(PolicyTable, CopiesPausesAndResetsAsThePolicySays) {
  const PolicyCase& c = GetParam();
  const CopyItem item{"\nline...", "%s\\dir", "%ssrc\\f", "%s\\dir\\f", c.policy, nullptr};
  FakePlatform platform;
  platform.copyResults = c.copies;
  platform.driveRoot = "S:\\";
  platform.installDir = "I";
  PathBuffers paths;
  EXPECT_EQ(CopyOneItem(platform, item, DriveRoot{"S:\\"}, InstallDir{"I"}, paths),
            c.expectedResult);
  Calls start = {"stdout: \nline...", "flush", "CreateDirectoryA(I\\dir)"};
  EXPECT_EQ(platform.calls, start + c.expectedAfterDirectory);
}

INSTANTIATE_TEST_SUITE_P(
    CopyOneItem, PolicyTable,
    ::testing::Values(
        PolicyCase{"RetryFirstAttemptOk", FailurePolicy::RetryThenAbort, {true}, true, kOk},
        // The reset before the pause is what lets a read-only earlier copy be replaced.
        PolicyCase{"RetrySecondAttemptOk",
                   FailurePolicy::RetryThenAbort,
                   {false, true},
                   true,
                   kFailedFirst + kPause + kOk},
        PolicyCase{"RetryBothFail",
                   FailurePolicy::RetryThenAbort,
                   {false, false},
                   false,
                   kFailedFirst + kPause + kFailedLast},
        PolicyCase{"AbortOk", FailurePolicy::Abort, {true}, true, kOk},
        PolicyCase{"AbortFailsWithoutPause", FailurePolicy::Abort, {false}, false, kFailedFirst},
        PolicyCase{"IgnoreFailsWithoutPause", FailurePolicy::Ignore, {false}, false, kFailedFirst}),
    [](const ::testing::TestParamInfo<PolicyCase>& info) { return info.param.name; });

// In any script: the limit counts characters, not bytes of UTF-8.
TEST(CopyOneItem, PathOfExactly259CharactersIsUsedAndOneMoreIsRefused) {
  const CopyItem item{"\nx...", nullptr, "%sf", "%s\\f", FailurePolicy::RetryThenAbort, nullptr};
  for (const std::string character : {"a", "\u0438", "\u6e38"}) {  // 1, 2 and 3 bytes
    const std::string fits = Repeat(character, 257);               // plus "\f": 259 characters
    FakePlatform platform;
    PathBuffers paths;
    EXPECT_TRUE(CopyOneItem(platform, item, DriveRoot{"S:\\"}, InstallDir{fits.c_str()}, paths));
    EXPECT_EQ(platform.calls.size(), 4u);
    EXPECT_EQ(std::strlen(paths.destination), fits.size() + 2);

    const std::string tooLong = fits + character;
    FakePlatform refused;
    EXPECT_FALSE(CopyOneItem(refused, item, DriveRoot{"S:\\"}, InstallDir{tooLong.c_str()}, paths));
    EXPECT_EQ(refused.calls, (Calls{"stdout: \nx...", "flush"})) << character;
  }
}

TEST(Compose, ReplacesThePlaceholderAndCutsWhatDoesNotFit) {
  char out[8];
  EXPECT_TRUE(Compose(out, sizeof out, "%s\\ab", "C:"));
  EXPECT_STREQ(out, "C:\\ab");
  EXPECT_TRUE(Compose(out, sizeof out, "[%s]", "%d%s"));
  EXPECT_STREQ(out, "[%d%s]");
  EXPECT_TRUE(Compose(out, sizeof out, "1234%s", "567"));  // 7 characters and the terminator
  EXPECT_STREQ(out, "1234567");
  EXPECT_FALSE(Compose(out, sizeof out, "1234%s", "5678"));
  EXPECT_STREQ(out, "1234567");
  EXPECT_FALSE(Compose(out, sizeof out, "%s-tail", "abcdefgh"));
  EXPECT_STREQ(out, "abcdefg");
  EXPECT_EQ(ComposedLength("%s-tail", "abcdefgh"), 13u);
}

}  // namespace
}  // namespace cdcopy::testing
