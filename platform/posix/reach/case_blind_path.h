// Windows names on a case-sensitive file system: '\' and '/' both separate, and each component
// names the entry that matches it exactly or, failing that, without regard to ASCII case.
#pragma once

#include <climits>
#include <cstddef>
#include <string_view>

namespace cdcopy::posix {

using EntryName = char[NAME_MAX + 1];

// Among the entries of `dirFd`, the one `name` stands for: the exact name if it exists, else
// the byte-wise smallest name equal to it without regard to ASCII case (on a disc, also with an
// ISO 9660 version after it: "BND0.BND;1"). Answers false when there is none, `found` then
// holding `name` as given (empty where it is too long for a name).
bool FindEntry(int dirFd, const char* name, EntryName& found, bool onDisc = false);

bool EqualIgnoringAsciiCase(const char* a, const char* b);

// The first `length` bytes of `name` as an entry name; false where they are too long for one.
bool CopyName(const char* name, std::size_t length, EntryName& out);

// '\' and '/' both separate names.
bool IsSeparator(char c);

// The names of a path, in order: '/' separates them, and '\' too where asked. Empty names, from
// separators at either end or doubled, are no names.
class Components {
 public:
  Components(std::string_view path, bool backslashSeparates)
      : rest_(path), backslash_(backslashSeparates) {
    Skip();
  }
  // Takes the next name; false when none is left.
  bool Next(std::string_view& name) {
    if (rest_.empty()) return false;
    std::size_t end = 0;
    while (end < rest_.size() && !Separates(rest_[end])) ++end;
    name = rest_.substr(0, end);
    rest_.remove_prefix(end);
    Skip();
    return true;
  }
  // Whether the name just taken was the last.
  bool Done() const { return rest_.empty(); }

 private:
  bool Separates(char c) const { return c == '/' || (backslash_ && c == '\\'); }
  void Skip() {
    while (!rest_.empty() && Separates(rest_[0])) rest_.remove_prefix(1);
  }
  std::string_view rest_;
  bool backslash_;
};

}  // namespace cdcopy::posix
