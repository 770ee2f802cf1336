// What a box shows, laid out as text: the frame drawn on a terminal, and the pieces the other
// ways of showing a box share with it.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace cdcopy::posix {

// The box drawn on the terminal, without the line that waits for the key. `columns` is the
// terminal's width.
std::string DrawMessageBox(const char* text, const char* caption, unsigned type, int columns);

// The text with every control character shown as '?', as the terminal's locale reads it.
std::string Printable(const char* text, std::size_t length);

// The text's lines, each broken between words to fit `width` columns.
std::vector<std::string> WrapText(const char* text, int width);

inline bool HasCancel(unsigned type) {
  return (type & MB_TYPEMASK) == MB_OKCANCEL;
}

}  // namespace cdcopy::posix
