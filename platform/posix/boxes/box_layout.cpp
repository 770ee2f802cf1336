// A box laid out as text: its frame, caption, icon mark, wrapped text and buttons, measured in
// the columns a terminal shows them in.
#include "platform/posix/boxes/box_layout.h"

#include <locale.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <cwchar>

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

// Columns a line takes on the terminal.
int Width(const std::string& s) {
  int width = 0;
  for (const Shown& c : Characters(s.data(), s.size())) width += c.width;
  return width;
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

}  // namespace

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

std::string Printable(const char* text, std::size_t length) {
  std::string out;
  for (const Shown& c : Characters(text, length)) out += c.bytes;
  return out;
}

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

}  // namespace cdcopy::posix
