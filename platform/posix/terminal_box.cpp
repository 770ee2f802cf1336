// Message boxes drawn on the controlling terminal, answered by a key.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "platform/posix/signals.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

namespace {

constexpr int kMinColumns = 40;
constexpr int kIndent = 6;  // room for the icon mark in front of the text

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Columns a line takes, counting each UTF-8 character once.
int Width(const std::string& s) {
  return static_cast<int>(
      std::count_if(s.begin(), s.end(), [](char c) { return !IsContinuationByte(c); }));
}

// Bytes that would move the cursor or start an escape sequence are shown as '?', so a path
// argument cannot take over the terminal.
std::string Printable(const char* text, std::size_t length) {
  std::string out(text, length);
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

std::vector<std::string> WrapText(const char* text, int width) {
  std::vector<std::string> lines;
  const char* start = text;
  for (;;) {
    const char* end = std::strchr(start, '\n');
    std::size_t length = end ? static_cast<std::size_t>(end - start) : std::strlen(start);
    std::string line = Printable(start, length);
    do {
      std::size_t cut = 0;
      for (int taken = 0; cut < line.size(); ++cut) {
        if (!IsContinuationByte(line[cut]) && taken++ == width) break;
      }
      // Break between words where the line has a space to break at.
      std::size_t space = cut < line.size() ? line.rfind(' ', cut) : std::string::npos;
      if (space != std::string::npos && space > 0) {
        lines.push_back(line.substr(0, space));
        line.erase(0, space + 1);
      } else {
        lines.push_back(line.substr(0, cut));
        line.erase(0, cut);
      }
    } while (!line.empty());
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

bool HasCancel(unsigned type) {
  return (type & MB_TYPEMASK) == MB_OKCANCEL;
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
  ~RawMode() {
    ClearBoxTerminal();
    tcsetattr(fd_, TCSANOW, &saved_);
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
    unsigned char c;
    ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) {
      if (TakeRedraw()) return Key::Redraw;
      continue;
    }
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

int TerminalMessageBox(const char* text, const char* caption, unsigned type) {
  // The terminal itself, not standard input or output: either may be a file.
  UniqueFd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios saved;
  if (!tty || tcgetattr(tty.Get(), &saved) != 0) return 0;
  // A key pressed during a long copy must not answer this box.
  tcflush(tty.Get(), TCIFLUSH);

  winsize size{};
  int columns = ioctl(tty.Get(), TIOCGWINSZ, &size) == 0 && size.ws_col ? size.ws_col : 80;
  const bool cancel = HasCancel(type);
  Key key = Key::Other;
  {
    // Keys are read one at a time from before the box shows that it waits for one.
    RawMode raw(tty.Get(), saved);
    const std::string box =
        DrawMessageBox(text, caption, type, columns) +
        (cancel ? "Press Enter for OK or Esc for Cancel: " : "Press Enter for OK: ");
    WriteAll(tty.Get(), box);
    while (key == Key::Other || key == Key::Redraw) {
      key = ReadKey(tty.Get());
      // Back from a stop: whatever ran meanwhile may have covered the box.
      if (key == Key::Redraw) WriteAll(tty.Get(), box);
    }
  }
  // Escape or closing an OK-only box answers OK, as on Windows.
  int answer = cancel && key != Key::Ok ? IDCANCEL : IDOK;
  WriteAll(tty.Get(), answer == IDOK ? "OK\n" : "Cancel\n");
  return answer;
}

}  // namespace cdcopy::posix
