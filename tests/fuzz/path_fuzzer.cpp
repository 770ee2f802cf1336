// libFuzzer target for what a hostile disc or argument can reach: composing paths into the
// fixed buffers, and looking composed paths up without regard to case on a disc whose names are
// long, full of '%', "..", bytes of 0x80 and above, and near-duplicates in case.
//   input: one byte choosing the buffer size, then the argument, then (after a NUL) a path
//   below the sample disc.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/disc_stage.h"
#include "copy/compose.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/reach/case_blind_path.h"
#include "platform/posix/reach/installation.h"

namespace {

std::string discRoot;

void Make(const std::string& relative, bool folder) {
  std::string path = discRoot + "/" + relative;
  if (folder) {
    mkdir(path.c_str(), 0755);
  } else {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) close(fd);
  }
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void CheckCompose(const char* tmpl, const std::string& arg, std::size_t size) {
  std::string whole = tmpl;
  whole.replace(whole.find("%s"), 2, arg);
  char out[4096];
  std::memset(out, 'Z', sizeof out);
  bool fitted = cdcopy::Compose(out, size, tmpl, arg.c_str());
  if (cdcopy::ComposedLength(tmpl, arg.c_str()) != whole.size()) Fail("length");
  if (fitted != (whole.size() < size)) Fail("fit answer");
  if (size == 0) {
    if (out[0] != 'Z') Fail("wrote into an empty buffer");
    return;
  }
  std::size_t length = std::strlen(out);
  if (length >= size) Fail("not terminated within the buffer");
  if (size < sizeof out && out[size] != 'Z') Fail("wrote past the buffer");
  if (whole.compare(0, length, out) != 0) Fail("not a prefix of the whole path");
  if (fitted && length != whole.size()) Fail("cut short though it fitted");
}

// The last non-empty component of a path with either separator.
std::string LastComponent(const std::string& path) {
  std::string last, current;
  for (char c : path + "/") {
    if (c == '/' || c == '\\') {
      if (!current.empty()) last = current;
      current.clear();
    } else {
      current += c;
    }
  }
  return last;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/cdcopy-fuzz-XXXXXX";
  discRoot = mkdtemp(pattern);
  std::atexit([] { std::filesystem::remove_all(discRoot); });
  const std::string longName(255, 'L');
  for (const char* folder :
       {"INSTALL", "install", "INSTALL/DATA", "INSTALL/Data", "INSTALL/DATA/KESTCORE", "data",
        "DATA", "%s%n", "...", "\xc3\x84gypten", "\xc3\xa4gypten", "\xe9t\xe9"}) {
    Make(folder, true);
  }
  Make(longName, true);
  for (const char* file : {"INSTALL/DATA/KESTCORE/BND0.BND", "INSTALL/DATA/KESTCORE/bnd0.bnd",
                           "%s%n/%x", "data/bnd0.bnd", "\xe9t\xe9/\xff\xfe"}) {
    Make(file, false);
  }
  Make(longName + "/" + longName, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t bufferSize = data[0] % 301;  // 0 to 300: around the 259-character limit
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string arg = rest.substr(0, rest.find('\0'));
  std::string below = rest.find('\0') == std::string::npos ? arg : rest.substr(rest.find('\0') + 1);
  below = below.substr(0, below.find('\0'));

  for (const cdcopy::CopyItem& item : cdcopy::kBaseStage.items) {
    CheckCompose(item.sourceTemplate, arg, bufferSize);
    CheckCompose(item.destinationTemplate, arg, bufferSize);
  }
  CheckCompose(cdcopy::kBaseStage.promptTemplate, arg, bufferSize * 7);  // up to 2100

  std::string path = discRoot + "\\" + below.substr(0, 4096);
  static cdcopy::posix::Credentials run;
  static const cdcopy::posix::Installation installation(discRoot, run);
  cdcopy::posix::Installation::Place place;
  if (installation.Find(cdcopy::InstallPath{{path.c_str(), discRoot.size()}}, place) &&
      place.exists) {
    if (!place.dir) Fail("found without a folder");
    std::string wanted = LastComponent(path);
    if (!cdcopy::posix::EqualIgnoringAsciiCase(place.name, wanted.c_str())) {
      Fail("matched a name that differs in more than ASCII case");
    }
    struct stat st;
    if (fstatat(place.dir.Get(), place.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      Fail("found a name not there");
    }
  }
  static cdcopy::posix::PosixPlatform platform((discRoot + "/").c_str(), discRoot.c_str());
  const std::string onDisc = discRoot + "/" + below.substr(0, 4096);
  platform.GetFileAttributesA(cdcopy::DiscPath{{onDisc.c_str(), discRoot.size() + 1}});
  return 0;
}
