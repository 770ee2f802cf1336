// A handle owned by one object, closed when it goes, as UniqueFd owns a descriptor on Linux.
// `Close` is how: CloseHandle, or FindClose for a search (UniqueFindHandle).
#pragma once

#include <windows.h>

namespace cdcopy::win32 {

struct CloseAsHandle {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
struct CloseAsSearch {
  void operator()(HANDLE handle) const { FindClose(handle); }
};

template <typename Close = CloseAsHandle>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  // Calls answer no handle either way: INVALID_HANDLE_VALUE (files, searches) or null (others).
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (*this) Close{}(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

using UniqueFindHandle = UniqueHandle<CloseAsSearch>;

}  // namespace cdcopy::win32
