// A platform that records every call, in order, and answers from a script.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace cdcopy::testing {

using Calls = std::vector<std::string>;

inline Calls operator+(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::string Hex(unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%02X", value);
  return buffer;
}

class FakePlatform : public Platform {
 public:
  std::deque<int> promptAnswers;  // one per OK/Cancel box, in order
  int noticeAnswer = IDOK;        // what every OK-only box answers
  std::deque<bool> copyResults;   // one per CopyFileA; success once they run out
  bool stdoutIsTerminal = true;
  bool directoriesExist = false;  // every CreateDirectoryA fails, as for a folder already there
  std::vector<std::string> discFolders;  // what GetFileAttributesA finds as directories
  Calls calls;
  Calls events;  // what the run tells of itself, kept apart so that the calls read as before
  // Where set, each path must have been composed from its root, and say where that root ends.
  std::string driveRoot, installDir;

  int MessageBoxA(const char* text, const char* caption, unsigned type) override {
    calls.push_back("MessageBoxA(" + Hex(type) + ", \"" + caption + "\") " + text);
    if ((type & 0xF) == MB_OK) return noticeAnswer;
    if (promptAnswers.empty()) {
      ADD_FAILURE() << "a prompt nobody scripted an answer for: " << text;
      return 0;
    }
    int answer = promptAnswers.front();
    promptAnswers.pop_front();
    return answer;
  }
  bool CopyFileA(DiscPath existingFile, InstallPath newFile, bool failIfExists) override {
    Under(existingFile, driveRoot);
    Under(newFile, installDir);
    bool result = true;
    if (!copyResults.empty()) {
      result = copyResults.front();
      copyResults.pop_front();
    }
    calls.push_back(std::string("CopyFileA(") + existingFile.full + ", " + newFile.full + ", " +
                    (failIfExists ? "TRUE" : "FALSE") + ") -> " + (result ? "1" : "0"));
    return result;
  }
  bool SetFileAttributesA(InstallPath path, std::uint32_t attributes) override {
    Under(path, installDir);
    calls.push_back(std::string("SetFileAttributesA(") + path.full + ", " + Hex(attributes) + ")");
    return true;
  }
  std::uint32_t GetFileAttributesA(DiscPath path) override {
    Under(path, driveRoot);
    bool found = std::find(discFolders.begin(), discFolders.end(), path.full) != discFolders.end();
    calls.push_back(std::string("GetFileAttributesA(") + path.full + ") -> " +
                    (found ? "directory" : "none"));
    return found ? FILE_ATTRIBUTE_DIRECTORY : INVALID_FILE_ATTRIBUTES;
  }
  bool CreateDirectoryA(InstallPath path) override {
    Under(path, installDir);
    calls.push_back(std::string("CreateDirectoryA(") + path.full + ")");
    return !directoriesExist;
  }
  void Sleep(std::uint32_t milliseconds) override {
    calls.push_back("Sleep(" + std::to_string(milliseconds) + ")");
  }
  void PromptAnswered(bool goingAhead) override {
    events.push_back(goingAhead ? "going ahead" : "not going ahead");
  }
  void ItemStarting(const char* progressLine) override {
    events.push_back(std::string("starting: ") + progressLine);
  }
  void WriteStdout(const char* text) override { calls.push_back(std::string("stdout: ") + text); }
  void FlushStdout() override { calls.push_back("flush"); }
  bool IsStdoutTerminal() override { return stdoutIsTerminal; }
  void EndStdoutLine() override { calls.push_back("end line"); }

 private:
  static void Under(const RootedPath& path, const std::string& root) {
    if (!root.empty() && !path.IsUnder(root))
      ADD_FAILURE() << path.full << " is not under " << root;
  }
};

}  // namespace cdcopy::testing
