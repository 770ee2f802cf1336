// A message box where the user can see it: drawn on the terminal and answered by a key; without
// one, a desktop dialog; without either, written to standard error as a box not shown.
#include "platform/posix/boxes/terminal_box.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/boxes/box_layout.h"
#include "platform/posix/boxes/desktop_dialog.h"
#include "platform/posix/process/signals.h"

namespace cdcopy::posix {

namespace {

// Puts the terminal in key-at-a-time mode for the life of the box and back on every way out;
// the signal module puts it back when a signal ends or stops the process meanwhile. Ctrl-C and
// Ctrl-Z keep their meaning: a user who suspends the run must not type into its box unawares.
class RawMode {
 public:
  RawMode(int fd, const termios& saved) : fd_(fd), saved_(saved) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    SetBoxTerminal(fd, saved, raw);
    tcsetattr(fd, TCSANOW, &raw);
  }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
  // Restored before the signals forget the terminal: a signal in between restores it again.
  ~RawMode() {
    tcsetattr(fd_, TCSANOW, &saved_);
    ClearBoxTerminal();
  }

 private:
  int fd_;
  termios saved_;
};

void WriteAll(int fd, const std::string& s) {
  for (std::size_t done = 0; done < s.size();) {
    ssize_t put = write(fd, s.data() + done, s.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

bool MoreInputWithin(int fd, int milliseconds) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, milliseconds) > 0;
}

enum class Key { Ok, Cancel, Close, Redraw, Other };

// An Escape alone is the Escape key; followed at once by more bytes it begins the sequence of
// an arrow or function key, which answers nothing.
Key ReadKey(int fd) {
  for (;;) {
    pollfd ready[2] = {{fd, POLLIN, 0}, {RedrawFd(), POLLIN, 0}};
    if (poll(ready, ready[1].fd >= 0 ? 2 : 1, -1) < 0) continue;  // interrupted by a signal
    if ((ready[1].revents & POLLIN) && TakeRedraw()) return Key::Redraw;
    if (!ready[0].revents) continue;
    unsigned char c;
    ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return Key::Close;
    switch (c) {
      case '\r':
      case '\n':
      case 'o':
      case 'O':
        return Key::Ok;
      case 'c':
      case 'C':
        return Key::Cancel;
      case 0x04:  // Ctrl-D, end of input
        return Key::Close;
      case 0x1B:
        if (!MoreInputWithin(fd, 50)) return Key::Cancel;
        while (MoreInputWithin(fd, 10)) {
          if (read(fd, &c, 1) <= 0) break;
        }
        return Key::Other;
      default:
        return Key::Other;
    }
  }
}

// The same terminal, and open for writing.
bool WritesTo(int fd, const struct stat& terminal) {
  struct stat st;
  const int mode = fcntl(fd, F_GETFL);
  return mode >= 0 && (mode & O_ACCMODE) != O_RDONLY && isatty(fd) && fstat(fd, &st) == 0 &&
         st.st_rdev == terminal.st_rdev;
}

}  // namespace

BoxTerminal OpenBoxTerminal() {
  BoxTerminal tty;
  // The terminal itself, not standard input or output: either may be a file.
  tty.in = UniqueFd(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  // Started by `su user -c` or a launcher that leaves standard input on a terminal but gives no
  // controlling one: the terminal standard input names, opened again, or, where this user may
  // not open it, standard input itself.
  char name[64];
  if (!tty.in && isatty(STDIN_FILENO) && ttyname_r(STDIN_FILENO, name, sizeof name) == 0) {
    tty.in = UniqueFd(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  }
  if (!tty.in && isatty(STDIN_FILENO)) tty.in = UniqueFd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  struct stat terminal;
  if (!tty.in || fstat(tty.in.Get(), &terminal) != 0) return {};
  // Standard input may be open for reading only: the box then goes where the run writes to the
  // same terminal.
  for (int fd : {tty.in.Get(), STDERR_FILENO, STDOUT_FILENO}) {
    if (!WritesTo(fd, terminal)) continue;
    tty.out = fd;
    return tty;
  }
  return {};
}

int TerminalMessageBox(const char* text, const char* caption, unsigned type,
                       const DesktopUser& user, bool lineOpen) {
  BoxTerminal tty = OpenBoxTerminal();
  termios saved;
  if (!tty || tcgetattr(tty.in.Get(), &saved) != 0) {
    const int answer = DesktopDialog(text, caption, type, user);
    if (answer != kNoDialog && answer != kNoDisplay) return answer;
    // Run from cron, a launcher or a script, nobody sees a box: what it would have said, and
    // what it answered, go where such a run's messages are kept, after any progress line left
    // open there.
    struct stat out, err;
    const bool shared = fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
                        out.st_dev == err.st_dev && out.st_ino == err.st_ino;
    // Only there must the progress so far come first; elsewhere the lines arrive together as
    // the run ends, as on Windows.
    if (shared) std::fflush(stdout);
    std::string block(lineOpen && shared ? "\n[" : "[");
    block.append(Printable(caption, std::strlen(caption))).append("]\n");
    for (const std::string& line : WrapText(text, 1 << 20)) block.append(line).append("\n");
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) display = std::getenv("WAYLAND_DISPLAY");
    if (display && *display && !user.Known()) {
      block.append("(run as root for no user it can tell: no window on the desktop)\n");
    } else if (display && *display && answer == kNoDisplay) {
      block.append("(the display ")
          .append(Printable(display, std::strlen(display)))
          .append(" could not be opened: no window on the desktop)\n");
    }
    block.append("(no terminal: answered as if the box could not be shown)\n\n");
    WriteAll(STDERR_FILENO, block);
    return 0;
  }
  // A key pressed during a long copy must not answer this box.
  tcflush(tty.in.Get(), TCIFLUSH);

  const bool cancel = HasCancel(type);
  // Measured anew at each drawing: the terminal may have been resized meanwhile.
  auto draw = [&] {
    winsize size{};
    int columns = ioctl(tty.in.Get(), TIOCGWINSZ, &size) == 0 && size.ws_col ? size.ws_col : 80;
    WriteAll(tty.out,
             DrawMessageBox(text, caption, type, columns) +
                 (cancel ? "Press Enter for OK or Esc for Cancel: " : "Press Enter for OK: "));
  };
  Key key = Key::Other;
  {
    // Keys are read one at a time from before the box shows that it waits for one.
    RawMode raw(tty.in.Get(), saved);
    draw();
    while (key == Key::Other || key == Key::Redraw) {
      key = ReadKey(tty.in.Get());
      // Back from a stop, or resized: whatever ran meanwhile may have covered the box.
      if (key == Key::Redraw) draw();
    }
  }
  // Escape or closing an OK-only box answers OK, as on Windows.
  int answer = cancel && key != Key::Ok ? IDCANCEL : IDOK;
  WriteAll(tty.out, answer == IDOK ? "OK\n" : "Cancel\n");
  return answer;
}

}  // namespace cdcopy::posix
