#include "copy/compose.h"

#include <cstring>

namespace cdcopy {

namespace {

const char* FindPlaceholder(const char* tmpl) {
  return std::strstr(tmpl, "%s");
}

// Appends up to `n` bytes of `src` at `at`, stopping one short of `size`; answers the new end.
std::size_t Append(char* out, std::size_t size, std::size_t at, const char* src, std::size_t n) {
  std::size_t room = at + 1 < size ? size - 1 - at : 0;
  std::size_t take = n < room ? n : room;
  std::memcpy(out + at, src, take);
  return at + take;
}

}  // namespace

std::size_t RootEnd(const char* tmpl, const char* arg) {
  const char* hole = FindPlaceholder(tmpl);
  return hole ? static_cast<std::size_t>(hole - tmpl) + std::strlen(arg) : 0;
}

std::size_t ComposedLength(const char* tmpl, const char* arg) {
  std::size_t length = std::strlen(tmpl);
  return FindPlaceholder(tmpl) ? length - 2 + std::strlen(arg) : length;
}

bool Compose(char* out, std::size_t size, const char* tmpl, const char* arg) {
  if (size == 0) return false;
  const char* hole = FindPlaceholder(tmpl);
  std::size_t at = 0;
  if (hole) {
    at = Append(out, size, at, tmpl, static_cast<std::size_t>(hole - tmpl));
    at = Append(out, size, at, arg, std::strlen(arg));
    at = Append(out, size, at, hole + 2, std::strlen(hole + 2));
  } else {
    at = Append(out, size, at, tmpl, std::strlen(tmpl));
  }
  out[at] = '\0';
  return at == ComposedLength(tmpl, arg);
}

}  // namespace cdcopy
