// A display that is set but would refuse the window (another user's session, root without its
// cookie, a stale variable) counts as none: the dialog program would exit as if cancelled. The
// X11 connection setup is made here, as far as the server's first answer.
#include "platform/posix/boxes/display.h"

#include <arpa/inet.h>
#include <fcntl.h>
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

#include "platform/posix/reach/walk.h"
#include "platform/posix/read_whole.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

namespace {

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
  if (path.empty() || path[0] != '/' || path.back() == '/') return "";
  Walk walk(user.Run(), user.Who(), {});
  std::string_view last;
  EntryName name;
  bool exists = false;
  struct stat st;
  if (!walk.StartAtRoot() || !walk.EnterAllButLast(path, false, last) ||
      !walk.Look(last, name, exists, st) || !exists) {
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
  // The run's handlers do not restart calls (a box waiting for a key must see a resize): a
  // resize or a continue meanwhile is no refusal.
  pollfd answer{server.Get(), POLLIN, 0};
  char status = 0;
  int ready, got = 0;
  while ((ready = poll(&answer, 1, 5000)) < 0 && errno == EINTR) {
  }
  while (ready == 1 && (got = static_cast<int>(read(server.Get(), &status, 1))) < 0 &&
         errno == EINTR) {
  }
  return ready == 1 && got == 1 && status == 1;
}

}  // namespace

// Whether a display, Wayland's or X's, takes the user's windows.
bool DisplayAccepts(const DesktopUser& user) {
  if (!user.Known()) return false;
  if (user.Run().Privileged() && user.Who().kind != Identity::Kind::Caller) {
    // Asked by a process that is the user wholly, since a display may judge whoever connects.
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
      if (!BecomeWholly(user.Who())) _exit(1);
      // Goes with the run, should anything it opens keep it waiting.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
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

}  // namespace cdcopy::posix
