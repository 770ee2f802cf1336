// Started from a game launcher, a .desktop file or a file manager, cdcopy has no terminal; on a
// graphical session each box is then a dialog window of the desktop's own, through zenity or
// kdialog.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/reach/identity.h"

namespace cdcopy::posix {

// For whom the dialogs are shown, and with whose rights the desktop is reached: a run with more
// rights than others (sudo, pkexec) reads the X authority file, connects to the display and
// starts the dialog program as the user it was started for, never as root. That user is the one
// SUDO_UID or PKEXEC_UID names, where the account files know them, else the installation
// folder's owner; a privileged run that can tell neither shows no dialog.
class DesktopUser {
 public:
  DesktopUser(Credentials& credentials, std::optional<uid_t> installationOwner);
  bool Known() const { return known_; }
  const Identity& Who() const { return who_; }
  Credentials& Run() const { return credentials_; }

 private:
  Credentials& credentials_;
  Identity who_;
  bool known_ = true;
};

// The box as a dialog window; its answer, or kNoDialog where none could be shown: kNoDisplay
// where no display takes the user's windows.
inline constexpr int kNoDialog = -1;
inline constexpr int kNoDisplay = -2;
int DesktopDialog(const char* text, const char* caption, unsigned type, const DesktopUser& user);

// The dialog program, zenity or else kdialog, as found on PATH, where a display takes the user's
// windows; else "".
std::string DialogProgram(const DesktopUser& user);

// Starts the program `args` names first, as the user wholly (groups, group, user), its standard
// input and output those given (-1: /dev/null), as a window that goes when the run ends, however
// it ends. Its process, or -1.
pid_t StartDialog(std::vector<std::string>& args, const DesktopUser& user, int input = -1,
                  int output = -1);

}  // namespace cdcopy::posix
