// The installation: its folder, walked once from / when the run starts, and everything below it.
// Every name is walked by hand, one component at a time, links read and their targets walked
// the same way, so that at each entry the run knows who can change it and acts, from there down,
// with no more rights than theirs (identity.h). What is checked is the very folder that is then
// used: each step holds the folder it found open and goes on from it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/posix/case_blind_path.h"
#include "platform/posix/identity.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

class Installation {
 public:
  explicit Installation(std::string folder, const Accounts& accounts = SystemAccounts());

  // Where a composed path in the installation leads: the folder that holds its last name, that
  // name as found there (without regard to case), whether it exists, and as whom to act on it.
  struct Place {
    UniqueFd dir;
    EntryName name = {};
    bool exists = false;
    Identity who;
  };
  // False for a path that is not the installation folder as given, a separator and names below
  // it, or where a folder on the way is missing or cannot be reached as whom the walk acts.
  bool Find(const char* path, Place& place) const;

 private:
  struct Folder {
    UniqueFd fd;
    struct stat st;
  };
  std::string folder_;
  const Accounts& accounts_;
  std::vector<Folder> from_;  // "/" down to the installation folder, for links leading out
  Identity who_;              // as whom to act in the installation folder
  bool found_ = false;

  friend class Walk;
};

}  // namespace cdcopy::posix
