#include "platform/posix/reach/drive_device.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/posix/read_whole.h"

namespace cdcopy::posix {

namespace {

// A field of a mount table line, with its octal escapes ("\040" for a space) undone.
std::string Unescaped(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    auto octal = [&](std::size_t j) { return field[j] >= '0' && field[j] <= '7'; };
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// An optical drive knows whether a disc is in it: with the tray open or no disc, nothing is
// coming. Anything else (a drive becoming ready, a device that is no optical drive, one this
// user may not open) may still be mounted.
bool DiscMayCome(const char* device) {
  UniqueFd fd(open(device, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return true;
  int status = ioctl(fd.Get(), CDROM_DRIVE_STATUS, CDSL_CURRENT);
  return status != CDS_NO_DISC && status != CDS_TRAY_OPEN;
}

// The monotonic clock, in milliseconds: the one the platform's Sleep keeps to as well.
long long MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

std::vector<std::string> FindMountPoints(const char* mountinfo, unsigned major, unsigned minor) {
  std::vector<std::string> points;
  for (const char* line = mountinfo; *line;) {
    const char* end = std::strchr(line, '\n');
    if (!end) end = line + std::strlen(line);
    // id parent major:minor root mount-point ...
    std::string fields[5];
    const char* at = line;
    for (std::string& field : fields) {
      while (at < end && *at == ' ') ++at;
      const char* stop = std::find(at, end, ' ');
      field.assign(at, stop);
      at = stop;
    }
    unsigned lineMajor = 0, lineMinor = 0;
    char extra;
    if (std::sscanf(fields[2].c_str(), "%u:%u%c", &lineMajor, &lineMinor, &extra) == 2 &&
        lineMajor == major && lineMinor == minor && Unescaped(fields[3]) == "/") {
      points.push_back(Unescaped(fields[4]));
    }
    line = *end ? end + 1 : end;
  }
  return points;
}

std::optional<uid_t> FuseMountUser(const char* mountinfo, unsigned major, unsigned minor) {
  std::optional<uid_t> user;
  for (const char* line = mountinfo; *line;) {
    const char* end = std::strchr(line, '\n');
    if (!end) end = line + std::strlen(line);
    const std::string text(line, end);
    line = *end ? end + 1 : end;
    // id parent major:minor ... - type source options
    unsigned lineMajor = 0, lineMinor = 0;
    const std::size_t dash = text.find(" - ");
    if (std::sscanf(text.c_str(), "%*u %*u %u:%u", &lineMajor, &lineMinor) != 2 ||
        lineMajor != major || lineMinor != minor || dash == std::string::npos) {
      continue;
    }
    const std::string type = text.substr(dash + 3, text.find(' ', dash + 3) - dash - 3);
    if (type != "fuse" && type != "fuseblk" && !type.starts_with("fuse.")) continue;
    const std::size_t options = text.rfind(' ');
    std::string list(1, ',');
    list.append(text, options + 1).push_back(',');
    const std::size_t at = list.find(",user_id=");
    unsigned uid = 0;
    char after = 0;
    // Mounted more than once, each must tell the same user.
    if (at == std::string::npos || std::sscanf(list.c_str() + at + 9, "%u%c", &uid, &after) != 2 ||
        after != ',' || (user && *user != uid)) {
      return std::nullopt;
    }
    user = uid;
  }
  return user;
}

UniqueFd OpenMountedDevice(const char* device, dev_t rdev, DiscWait& wait) {
  UniqueFd table(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (!table) return UniqueFd();
  const long long deadline = MonotonicMs() + wait.bound.count();
  struct Told {
    DiscWait& wait;
    bool waiting = false;
    void Waiting() {
      if (!waiting && wait.told) wait.told(true);
      waiting = true;
    }
    ~Told() {
      if (waiting && wait.told) wait.told(false);
    }
  } told{wait};
  for (;;) {
    const std::vector<std::string> points =
        FindMountPoints(ReadWhole(table.Get()).c_str(), major(rdev), minor(rdev));
    bool covered = false;
    // The newest mount first; one with something mounted over it (a bind mount) is not the
    // disc, but an older one still shows it.
    for (auto point = points.rbegin(); point != points.rend(); ++point) {
      UniqueFd dir(open(point->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      struct stat mounted;
      if (!dir || fstat(dir.Get(), &mounted) != 0) continue;
      if (mounted.st_dev == rdev) return dir;
      covered = true;
    }
    // Covered everywhere: nothing to wait for, since the cover is there to stay.
    if (covered) return UniqueFd();
    const long long now = MonotonicMs();
    if (!DiscMayCome(device)) return UniqueFd();
    if (!wait.allowed || now >= deadline) {
      wait.allowed = false;
      return UniqueFd();
    }
    // The mount table reports a change as an exceptional condition; the drive is asked again
    // at least every quarter second meanwhile.
    told.Waiting();
    pollfd changed{table.Get(), POLLPRI, 0};
    poll(&changed, 1, static_cast<int>(std::min(deadline - now, 250LL)));
  }
}

}  // namespace cdcopy::posix
