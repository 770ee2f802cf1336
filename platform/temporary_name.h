// The name of a copy's temporary file, ".cdcopy-<process>-<n>.tmp", on both systems.
#pragma once

namespace cdcopy {

// That name exactly: the only names a sweep may remove.
template <typename Char>
bool IsTemporaryName(const Char* name) {
  auto digits = [&name] {
    const Char* start = name;
    while (*name >= '0' && *name <= '9') ++name;
    return name != start;
  };
  auto literal = [&name](const char* text) {
    for (; *text; ++text, ++name) {
      if (*name != static_cast<Char>(*text)) return false;
    }
    return true;
  };
  return literal(".cdcopy-") && digits() && literal("-") && digits() && literal(".tmp") && !*name;
}

}  // namespace cdcopy
