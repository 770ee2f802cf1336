// Whether the desktop would show a window: a dialog is tried only where it would be.
#pragma once

#include "platform/posix/boxes/desktop_dialog.h"

namespace cdcopy::posix {

// Whether a display, Wayland's or X's, takes the user's windows: the X server answers the
// connection setup, with the user's authorization from the X authority file, with success.
bool DisplayAccepts(const DesktopUser& user);

}  // namespace cdcopy::posix
