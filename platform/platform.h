// The narrow seam between the run and the operating system: exactly the calls the tool makes,
// named after the Win32 functions they stand for. The run receives a Platform; the executable
// gets the one for its OS from MakeSystemPlatform(), the tests hand in a recording fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cdcopy {

// <windows.h> defines these as macros with the same names and values. A translation unit that
// includes it first uses the macros; every other one gets these constants.
#ifndef MB_OK
inline constexpr unsigned MB_OK = 0x00000000;
inline constexpr unsigned MB_OKCANCEL = 0x00000001;
inline constexpr unsigned MB_ICONERROR = 0x00000010;
inline constexpr unsigned MB_ICONWARNING = 0x00000030;
inline constexpr unsigned MB_ICONINFORMATION = 0x00000040;
inline constexpr unsigned MB_TYPEMASK = 0x0000000F;
inline constexpr unsigned MB_ICONMASK = 0x000000F0;
#endif
#ifndef IDOK
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
#endif
#ifndef FILE_ATTRIBUTE_READONLY
inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
#endif
#ifndef INVALID_FILE_ATTRIBUTES
inline constexpr std::uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
#endif

// A path as the run composed it, with where the root it was composed from ends in it. Below the
// seam the root is used exactly as the user gave it and only the names after it are looked up:
// '\'-separated, matched without regard to ASCII case. One type per root, so that a path on the
// disc cannot be handed where one in the installation is meant.
struct RootedPath {
  const char* full;        // what the user would see: the root, then the names below it
  std::size_t rootLength;  // the root's bytes at the start of `full`

  const char* Below() const { return full + rootLength; }
  // Whether the path was composed from `root` itself: a path under neither of the run's roots
  // is refused.
  bool IsUnder(const std::string& root) const {
    return rootLength == root.size() && root.compare(0, root.size(), full, rootLength) == 0;
  }
};
struct DiscPath : RootedPath {};     // below the drive root
struct InstallPath : RootedPath {};  // below the installation folder

class Platform {
 public:
  virtual ~Platform() = default;

  // A modal box with no owner window. Answers IDOK or IDCANCEL (Escape or closing the box),
  // or 0 when the box cannot be shown at all.
  virtual int MessageBoxA(const char* text, const char* caption, unsigned type) = 0;

  // Copies the whole file or nothing; with failIfExists false an existing destination is
  // replaced, unless it is read-only. Answers whether the copy was made.
  virtual bool CopyFileA(DiscPath existingFile, InstallPath newFile, bool failIfExists) = 0;

  virtual bool SetFileAttributesA(InstallPath path, std::uint32_t attributes) = 0;

  // The attribute set of a file or directory on a disc (FILE_ATTRIBUTE_DIRECTORY for a
  // directory), or INVALID_FILE_ATTRIBUTES when there is nothing by that name.
  virtual std::uint32_t GetFileAttributesA(DiscPath path) = 0;

  // One directory level with default security; fails when the name exists or the parent does
  // not.
  virtual bool CreateDirectoryA(InstallPath path) = 0;

  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // What the run tells of itself, for a platform that acts on it; by default nothing.
  // A disc prompt was answered, the disc's items to follow or not: a disc just put in may need
  // a while before it can be read, and is waited for then, once.
  virtual void PromptAnswered(bool goingAhead) { (void)goingAhead; }
  // An item's copy begins, its progress line on the screen.
  virtual void ItemStarting(const char* progressLine) { (void)progressLine; }

  // Standard output in text mode. Write errors are the platform's to swallow.
  virtual void WriteStdout(const char* text) = 0;
  virtual void FlushStdout() = 0;
  virtual bool IsStdoutTerminal() = 0;
  // Called as the process ends. Progress lines leave the cursor behind their "...": on a
  // terminal the line is ended, so that the shell's prompt stands on a line of its own. To a
  // file or a pipe nothing is added.
  virtual void EndStdoutLine() = 0;

  // A path's length as the OS's path limit counts it: here in characters (the bytes that do
  // not continue a UTF-8 sequence), on Windows in UTF-16 units.
  virtual std::size_t PathLength(const char* path) {
    std::size_t characters = 0;
    for (const char* p = path; *p; ++p) characters += (*p & 0xC0) != 0x80;
    return characters;
  }
};

// The operating system's platform for one run, implemented once per OS and chosen at build
// time, made from the drive root and the installation folder exactly as the user gave them. A
// path handed to it must have been composed from one of the two (RootedPath); any other is
// refused. On Linux, below the installation a run with more rights than the people who can
// change it does only what they could.
std::unique_ptr<Platform> MakeSystemPlatform(const char* driveRoot, const char* installDir);

// Where the process starts, before anything else: the OS's process-wide settings (signals,
// standard descriptors, error modes).
void StartProcess();

// The arguments after the program's name, in UTF-8: on Windows read again from the command line
// in UTF-16, since the C runtime's are in the ANSI code page, which cannot hold every name.
std::vector<std::string> Arguments(int argc, char** argv);

// Tells how to call the program where whoever started it sees it: on standard error, or, on
// Windows, in a box when the program's console is its own (double-clicked in Explorer), since
// that console closes as soon as the program ends.
void ShowUsage(const char* text);

// The part of what --help prints that is in the OS's own terms, after the usage and what cdcopy
// does: its drive and folder names, an example, its boxes' keys.
const char* HelpText();

}  // namespace cdcopy
