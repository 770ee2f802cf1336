// The installation: its folder, walked once from / when the run starts, and everything below it,
// reached by the one walk (walk.h) from the folders found then, so that swapping a folder on the
// way for a link mid-run changes nothing.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/reach/case_blind_path.h"
#include "platform/posix/reach/identity.h"
#include "platform/posix/reach/walk.h"
#include "platform/posix/unique_fd.h"

namespace cdcopy::posix {

class Installation {
 public:
  Installation(std::string folder, Credentials& credentials);

  // Where a composed path in the installation leads: the folder that holds its last name, that
  // name as found there (without regard to case), whether it exists, as whom to act on it, and
  // to whom what is made there goes.
  struct Place {
    UniqueFd dir;
    EntryName name = {};
    bool exists = false;
    Identity who;
    HandOver handOver;
  };
  // False for a path not composed from the installation folder as given, or where a folder on
  // the way is missing or cannot be reached as whom the walk acts.
  bool Find(InstallPath path, Place& place) const;

  // The installation folder's owner, once found.
  std::optional<uid_t> Owner() const {
    if (!found_) return std::nullopt;
    const FolderView& view = from_.back().view;
    return view.fuse && view.mountUser ? view.mountUser : std::optional<uid_t>(view.st.st_uid);
  }

 private:
  std::string folder_;
  Credentials& credentials_;
  std::vector<HeldFolder> from_;  // "/" down to the installation folder, for links leading out
  Identity who_;                  // as whom to act in the installation folder
  bool found_ = false;
};

}  // namespace cdcopy::posix
