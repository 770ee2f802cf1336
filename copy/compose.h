#pragma once

#include <cstddef>

namespace cdcopy {

// Every path a copy composes lives in one of these, terminator included.
inline constexpr std::size_t kPathBufferSize = 260;

// Writes `tmpl` into `out` with its one "%s" replaced by `arg`. The argument is data, never a
// format: a '%' in it stays a '%'. The result is always terminated and cut to fit; answers
// whether the whole of it fitted.
bool Compose(char* out, std::size_t size, const char* tmpl, const char* arg);

// The length Compose would produce without a limit, terminator excluded.
std::size_t ComposedLength(const char* tmpl, const char* arg);

}  // namespace cdcopy
