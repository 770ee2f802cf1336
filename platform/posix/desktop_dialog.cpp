// Dialog windows through zenity or kdialog. They are started directly, never through a shell,
// with the text as an argument, so that nothing in a path can become a command or markup. A
// display that is set but would refuse the window (another user's session, root without its
// cookie, a stale variable) counts as none: the dialog program would exit as if cancelled.
#include "platform/posix/desktop_dialog.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/box_layout.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/walk.h"

namespace cdcopy::posix {

namespace {

std::string FindInPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

UniqueFd Connect(const sockaddr* address, socklen_t length) {
  UniqueFd fd(socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || connect(fd.Get(), address, length) != 0) return {};
  return fd;
}

UniqueFd ConnectLocal(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() + 2 > sizeof address.sun_path) return {};
  std::memcpy(address.sun_path + (abstract ? 1 : 0), path.data(), path.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return Connect(reinterpret_cast<const sockaddr*>(&address), length);
}

constexpr std::size_t kAuthorityLimit = 1 << 20;

// The X authority file as the user may read it. A privileged run walks to it as the user and
// opens only a regular file, without waiting on it: a link, a FIFO or a device named there by
// whoever set the variable is not read with root's rights.
std::string ReadAuthority(const std::string& path, const DesktopUser& user) {
  if (!user.Run().Privileged()) return ReadWhole(path, kAuthorityLimit);
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash == path.size() - 1) return "";
  Walk walk(user.Run(), user.Who(), {});
  EntryName name;
  bool exists = false;
  struct stat st;
  if (!walk.StartAtRoot() || !walk.EnterAll(path.substr(0, slash), false) ||
      !walk.Look(path.substr(slash + 1), name, exists, st) || !exists) {
    return "";
  }
  ActingAs acting(user.Run(), walk.Who());
  if (!acting.Holds()) return "";
  UniqueFd file(openat(walk.Here().fd.Get(), name,
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (!file || fstat(file.Get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return "";
  return ReadWhole(file.Get(), kAuthorityLimit);
}

// The authorization the user holds for the display, as Xlib finds it in the X authority file:
// an entry for the display's number, of this host (or any), the MIT cookie preferred.
std::string SetupAuthorization(const std::string& number, bool local, const DesktopUser& user) {
  const char* file = std::getenv("XAUTHORITY");
  const char* home = std::getenv("HOME");
  const std::string bytes =
      ReadAuthority(file && *file ? file : std::string(home ? home : "") + "/.Xauthority", user);
  utsname host{};
  uname(&host);
  std::size_t at = 0;
  auto field = [&](std::string* out) {
    if (at + 2 > bytes.size()) return false;
    const std::size_t length =
        static_cast<unsigned char>(bytes[at]) * 256u + static_cast<unsigned char>(bytes[at + 1]);
    if (at + 2 + length > bytes.size()) return false;
    if (out) out->assign(bytes, at + 2, length);
    at += 2 + length;
    return true;
  };
  std::string best;
  while (at + 2 <= bytes.size()) {
    const unsigned family =
        static_cast<unsigned char>(bytes[at]) * 256u + static_cast<unsigned char>(bytes[at + 1]);
    at += 2;
    std::string address, display, name, data;
    if (!field(&address) || !field(&display) || !field(&name) || !field(&data)) break;
    constexpr unsigned kInternet = 0, kInternet6 = 6, kLocal = 256, kWild = 65535;
    const bool ours = family == kWild || (family == kLocal && address == host.nodename) ||
                      (!local && (family == kInternet || family == kInternet6));
    if (!ours || (!display.empty() && display != number)) continue;
    std::string setup;
    for (const std::string& part : {name, data}) {
      setup.push_back(static_cast<char>(part.size() & 0xFF));
      setup.push_back(static_cast<char>(part.size() >> 8));
    }
    setup += std::string(2, '\0') + name + std::string((4 - name.size() % 4) % 4, '\0') + data +
             std::string((4 - data.size() % 4) % 4, '\0');
    if (name == "MIT-MAGIC-COOKIE-1") return setup;
    if (best.empty()) best = setup;
  }
  return best.empty() ? std::string(6, '\0') : best;
}

// Whether the X server takes the user's windows: it answers the connection setup, with the
// user's authorization, with success.
bool XServerAccepts(const std::string& display, const DesktopUser& user) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  if (number.empty() || number.size() > 4 ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const bool local = host.empty() || host == "unix";
  UniqueFd server;
  if (local) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    server = ConnectLocal(path, true);
    if (!server) server = ConnectLocal(path, false);
  } else {
    const auto port = htons(static_cast<std::uint16_t>(6000 + std::atoi(number.c_str())));
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    v4.sin_family = AF_INET;
    v4.sin_port = port;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = port;
    if (inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &v4.sin_addr) == 1) {
      server = Connect(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
      server = Connect(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
    } else {
      return true;  // a host by name: looking it up needs the name service; the dialog will tell
    }
  }
  if (!server) return false;
  // Little-endian, protocol 11.0, then the authorization's name and data.
  const std::string setup =
      std::string("l\0\x0b\0\0\0", 6) + SetupAuthorization(number, local, user);
  if (send(server.Get(), setup.data(), setup.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(setup.size())) {
    return false;
  }
  pollfd answer{server.Get(), POLLIN, 0};
  char status = 0;
  return poll(&answer, 1, 5000) == 1 && read(server.Get(), &status, 1) == 1 && status == 1;
}

// Takes `who` wholly, for good: groups, group and user.
bool BecomeWholly(const Identity& who) {
  return who.kind == Identity::Kind::Caller ||
         (setgroups(who.groups.size(), who.groups.data()) == 0 &&
          setresgid(who.gid, who.gid, who.gid) == 0 && setresuid(who.uid, who.uid, who.uid) == 0);
}

// Whether a display, Wayland's or X's, takes the user's windows.
bool DisplayAccepts(const DesktopUser& user) {
  if (!user.Known()) return false;
  if (user.Run().Privileged() && user.Who().kind != Identity::Kind::Caller) {
    // Asked by a process that is the user wholly, since a display may judge whoever connects.
    const pid_t child = fork();
    if (child == 0) {
      if (!BecomeWholly(user.Who())) _exit(1);
      Credentials self;
      _exit(DisplayAccepts(DesktopUser(self, std::nullopt)) ? 0 : 1);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland && *wayland) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (*wayland == '/') {
      if (ConnectLocal(wayland, false)) return true;
    } else if (runtime && *runtime && ConnectLocal(std::string(runtime) + "/" + wayland, false)) {
      return true;
    }
  }
  const char* x11 = std::getenv("DISPLAY");
  return x11 && *x11 && XServerAccepts(x11, user);
}

// The dialog's arguments: OK the default button; Escape or closing the window is Cancel.
std::vector<std::string> DialogArguments(const std::string& program, const char* text,
                                         const char* caption, unsigned type) {
  const bool cancel = HasCancel(type);
  const unsigned icon = type & MB_ICONMASK;
  if (program.ends_with("/kdialog")) {
    const char* kind = cancel                   ? "--yesno"
                       : icon == MB_ICONERROR   ? "--error"
                       : icon == MB_ICONWARNING ? "--sorry"
                                                : "--msgbox";
    std::vector<std::string> args = {program, "--title", caption, kind, text};
    if (cancel) args.insert(args.end(), {"--yes-label", "OK", "--no-label", "Cancel"});
    return args;
  }
  const char* kind = cancel                   ? "--question"
                     : icon == MB_ICONERROR   ? "--error"
                     : icon == MB_ICONWARNING ? "--warning"
                                              : "--info";
  std::vector<std::string> args = {program,
                                   kind,
                                   "--no-markup",
                                   std::string("--title=") + caption,
                                   std::string("--text=") + text,
                                   "--ok-label=OK"};
  if (cancel) args.push_back("--cancel-label=Cancel");
  return args;
}

}  // namespace

DesktopUser::DesktopUser(Credentials& credentials, std::optional<uid_t> installationOwner)
    : credentials_(credentials) {
  if (!credentials.Privileged()) return;
  std::optional<uid_t> user;
  for (const char* variable : {"SUDO_UID", "PKEXEC_UID"}) {
    const char* value = std::getenv(variable);
    char* end = nullptr;
    const unsigned long uid = value && *value ? std::strtoul(value, &end, 10) : 0;
    if (!user && end && !*end && uid < static_cast<uid_t>(-1) &&
        credentials.AccountFiles().Names(static_cast<uid_t>(uid))) {
      user = static_cast<uid_t>(uid);
    }
  }
  if (!user) user = installationOwner;
  known_ = user.has_value();
  if (user && *user != credentials.RunUid()) who_ = credentials.AccountFiles().User(*user);
}

std::string DialogProgram(const DesktopUser& user) {
  if (!DisplayAccepts(user)) return "";
  std::string program = FindInPath("zenity");
  return program.empty() ? FindInPath("kdialog") : program;
}

pid_t StartDialog(std::vector<std::string>& args, const DesktopUser& user, int input, int output) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t child = fork();
  if (child != 0) return child;
  if (!BecomeWholly(user.Who())) _exit(127);
  // The window goes with the run, however the run ends; set after the change of user, which
  // clears it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  dup2(input >= 0 ? input : null, STDIN_FILENO);
  dup2(output >= 0 ? output : null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  execv(argv[0], argv.data());
  _exit(127);
}

int DesktopDialog(const char* text, const char* caption, unsigned type, const DesktopUser& user) {
  std::string program = DialogProgram(user);
  if (program.empty()) return kNoDialog;
  std::vector<std::string> args = DialogArguments(program, text, caption, type);
  const pid_t child = StartDialog(args, user);
  if (child < 0) return kNoDialog;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return kNoDialog;
  }
  if (!WIFEXITED(status)) return kNoDialog;
  // 0: OK. 1: Cancel, Escape or the window closed (an OK-only box has nothing else to answer).
  switch (WEXITSTATUS(status)) {
    case 0:
      return IDOK;
    case 1:
      return HasCancel(type) ? IDCANCEL : IDOK;
    default:
      return kNoDialog;  // it could not show the window: as if there were no desktop
  }
}

}  // namespace cdcopy::posix
