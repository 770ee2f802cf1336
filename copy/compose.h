#pragma once

#include <cstddef>

namespace cdcopy {

// The longest path a copy composes, in characters as the platform counts them (PathLength):
// Windows' MAX_PATH less its terminator, in any script.
inline constexpr std::size_t kPathCharacters = 259;
// Every path a copy composes lives in one of these: 259 characters of UTF-8, at most four bytes
// each, and the terminator.
inline constexpr std::size_t kPathBufferSize = kPathCharacters * 4 + 1;

// Writes `tmpl` into `out` with its one "%s" replaced by `arg`. The argument is data, never a
// format: a '%' in it stays a '%'. The result is always terminated and cut to fit; answers
// whether the whole of it fitted.
bool Compose(char* out, std::size_t size, const char* tmpl, const char* arg);

// Where `arg` ends in what Compose writes (0 for a template without "%s").
std::size_t RootEnd(const char* tmpl, const char* arg);

// The length Compose would produce without a limit, terminator excluded.
std::size_t ComposedLength(const char* tmpl, const char* arg);

// Composes a path from a template whose "%s" takes a root, knowing where that root ends in it.
template <typename Path>
Path ComposePath(char* out, const char* tmpl, const char* root) {
  Compose(out, kPathBufferSize, tmpl, root);
  return Path{{out, RootEnd(tmpl, root)}};
}

}  // namespace cdcopy
