// Message boxes drawn on the controlling terminal, answered by a key.
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "platform/posix/signals.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

namespace {

constexpr int kMinColumns = 40;
constexpr int kIndent = 6;  // room for the icon mark in front of the text

// One character as the terminal shows it: its bytes and the columns they take.
struct Shown {
  std::string bytes;
  int width;
};

// The text's encoding and its characters' widths are those of the locale the environment gives
// the terminal.
locale_t TerminalLocale() {
  static const locale_t locale = [] {
    locale_t given = newlocale(LC_CTYPE_MASK, "", locale_t{});
    return given ? given : newlocale(LC_CTYPE_MASK, "C", locale_t{});
  }();
  return locale;
}

bool IsControl(unsigned long c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Controls (C0, DEL and C1, as raw bytes or encoded) would move the cursor or start an escape
// sequence, so a path argument could take over the terminal: each is shown as '?'. A byte that
// is no character of the encoding takes one column.
std::vector<Shown> Characters(const char* text, std::size_t length) {
  std::vector<Shown> out;
  locale_t previous = uselocale(TerminalLocale());
  std::mbstate_t state{};
  for (std::size_t at = 0; at < length;) {
    wchar_t c;
    std::size_t n = std::mbrtowc(&c, text + at, length - at, &state);
    if (n == 0 || n > length - at) {
      state = std::mbstate_t{};
      unsigned char byte = static_cast<unsigned char>(text[at]);
      out.push_back({IsControl(byte) ? "?" : std::string(1, text[at]), 1});
      ++at;
      continue;
    }
    int width = wcwidth(c);
    if (IsControl(static_cast<unsigned long>(c)) || width < 0) {
      out.push_back({"?", 1});
    } else {
      out.push_back({std::string(text + at, n), width});
    }
    at += n;
  }
  uselocale(previous);
  return out;
}

std::string Printable(const char* text, std::size_t length) {
  std::string out;
  for (const Shown& c : Characters(text, length)) out += c.bytes;
  return out;
}

// Columns a line takes on the terminal.
int Width(const std::string& s) {
  int width = 0;
  for (const Shown& c : Characters(s.data(), s.size())) width += c.width;
  return width;
}

std::vector<std::string> WrapText(const char* text, int width) {
  std::vector<std::string> lines;
  const char* start = text;
  for (;;) {
    const char* end = std::strchr(start, '\n');
    std::size_t length = end ? static_cast<std::size_t>(end - start) : std::strlen(start);
    std::vector<Shown> line = Characters(start, length);
    auto join = [&](std::size_t from, std::size_t to) {
      std::string out;
      for (std::size_t i = from; i < to; ++i) out += line[i].bytes;
      return out;
    };
    std::size_t at = 0;
    do {
      std::size_t cut = at;
      for (int taken = 0; cut < line.size() && taken + line[cut].width <= width; ++cut) {
        taken += line[cut].width;
      }
      if (cut == at) ++cut;  // a character wider than the box still goes somewhere
      // Break between words where the line has a space to break at.
      std::size_t space = cut;
      if (cut < line.size()) {
        while (space > at && line[space].bytes != " ") --space;
      }
      if (cut < line.size() && space > at) {
        lines.push_back(join(at, space));
        at = space + 1;
      } else {
        lines.push_back(join(at, cut));
        at = cut;
      }
    } while (at < line.size());
    if (!end) return lines;
    start = end + 1;
  }
}

const char* IconMark(unsigned type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
      return "(X)";
    case MB_ICONWARNING:
      return "/!\\";
    case MB_ICONINFORMATION:
      return "(i)";
    default:
      return "";
  }
}

std::string Padded(const std::string& s, int width) {
  return s + std::string(static_cast<std::size_t>(std::max(0, width - Width(s))), ' ');
}

// Puts the terminal in key-at-a-time mode for the life of the box and back on every way out;
// the signal module puts it back when a signal ends or stops the process meanwhile.
class RawMode {
 public:
  RawMode(int fd, const termios& saved) : fd_(fd), saved_(saved) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;  // stopped in raw mode, the shell would get it that way
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

}  // namespace

std::string DrawMessageBox(const char* text, const char* caption, unsigned type, int columns) {
  columns = std::max(columns, kMinColumns);
  const std::string mark = IconMark(type);
  const std::string buttons = HasCancel(type) ? "[  OK  ]   [ Cancel ]" : "[  OK  ]";
  const std::string title = Printable(caption, std::strlen(caption));
  // Frame and margins take 2 + 2 + 2 columns, the icon column kIndent more.
  std::vector<std::string> lines = WrapText(text, columns - 6 - kIndent);
  int inner = std::max({Width(title) + 4, Width(buttons) + 2, kMinColumns - 6});
  for (const std::string& line : lines) inner = std::max(inner, kIndent + Width(line));

  const std::string rule(static_cast<std::size_t>(inner + 4), '-');
  std::string out =
      "\n+- " + title + " " + rule.substr(std::min(rule.size(), title.size() + 3)) + "+\n";
  auto row = [&](const std::string& content) { out += "|  " + Padded(content, inner) + "  |\n"; };
  row("");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    row(Padded(i == 0 ? mark : "", kIndent) + lines[i]);
  }
  row("");
  row(std::string(static_cast<std::size_t>(inner - Width(buttons)), ' ') + buttons);
  out += "+" + rule + "+\n";
  return out;
}

int TerminalMessageBox(const char* text, const char* caption, unsigned type, bool lineOpen) {
  // The terminal itself, not standard input or output: either may be a file.
  UniqueFd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  // Started by `su user -c` or a launcher that leaves standard input on a terminal but gives no
  // controlling one: the terminal standard input names, opened again.
  char name[64];
  if (!tty && isatty(STDIN_FILENO) && ttyname_r(STDIN_FILENO, name, sizeof name) == 0) {
    tty = UniqueFd(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  }
  termios saved;
  if (!tty || tcgetattr(tty.Get(), &saved) != 0) {
    int answer = DesktopDialog(text, caption, type);
    if (answer != kNoDialog) return answer;
    // Run from cron, a launcher or a script, nobody sees a box: what it would have said, and
    // what it answered, go where such a run's messages are kept, after any progress line left
    // open there.
    struct stat out, err;
    const bool shared = fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
                        out.st_dev == err.st_dev && out.st_ino == err.st_ino;
    std::string block(lineOpen && shared ? "\n[" : "[");
    block.append(Printable(caption, std::strlen(caption))).append("]\n");
    for (const std::string& line : WrapText(text, 1 << 20)) block.append(line).append("\n");
    block.append("(no terminal: answered as if the box could not be shown)\n\n");
    WriteAll(STDERR_FILENO, block);
    return 0;
  }
  // A key pressed during a long copy must not answer this box.
  tcflush(tty.Get(), TCIFLUSH);

  const bool cancel = HasCancel(type);
  // Measured anew at each drawing: the terminal may have been resized meanwhile.
  auto draw = [&] {
    winsize size{};
    int columns = ioctl(tty.Get(), TIOCGWINSZ, &size) == 0 && size.ws_col ? size.ws_col : 80;
    WriteAll(tty.Get(),
             DrawMessageBox(text, caption, type, columns) +
                 (cancel ? "Press Enter for OK or Esc for Cancel: " : "Press Enter for OK: "));
  };
  Key key = Key::Other;
  {
    // Keys are read one at a time from before the box shows that it waits for one.
    RawMode raw(tty.Get(), saved);
    draw();
    while (key == Key::Other || key == Key::Redraw) {
      key = ReadKey(tty.Get());
      // Back from a stop, or resized: whatever ran meanwhile may have covered the box.
      if (key == Key::Redraw) draw();
    }
  }
  // Escape or closing an OK-only box answers OK, as on Windows.
  int answer = cancel && key != Key::Ok ? IDCANCEL : IDOK;
  WriteAll(tty.Get(), answer == IDOK ? "OK\n" : "Cancel\n");
  return answer;
}

}  // namespace cdcopy::posix
