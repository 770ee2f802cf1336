#pragma once

#include <sys/types.h>

namespace cdcopy::posix {

// Writes a copy behind its read, so that a slow drive and a slow disk work at the same time and
// the copy takes the longer of the two instead of their sum, whether the disc's file system
// reads ahead in the background (ISO 9660) or in the reader's own call (squashfs, compressed
// or FUSE images), where the run's one thread is the drive's only reader.
class WriteBehind {
 public:
  // The step of a copy and of its write-out.
  static constexpr off_t kWindow = off_t{1} << 20;

  WriteBehind(int from, int to) : from_(from), to_(to) {}

  // Before the first step of a way that reads: a clone reads nothing.
  void Start();
  // After each step: the copy's own offset tells how far it has come.
  void Copied();

 private:
  int from_, to_;
  off_t handed_ = 0;
  bool started_ = false;
};

}  // namespace cdcopy::posix
