#include "platform/posix/boxes/desktop_progress.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/boxes/desktop_dialog.h"
#include "platform/posix/boxes/terminal_box.h"

namespace cdcopy::posix {

namespace {

constexpr const char* kWaitingForTheDrive = "Waiting for the disc in the drive...";

void Reap(pid_t child) {
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// kdialog leaves a window process of its own behind and names it on its output, as
// "org.kde.kdialog-PID /ProgressDialog"; -1 where it does not within a moment.
pid_t KdialogWindow(int output) {
  std::string said;
  char buffer[128];
  pollfd ready{output, POLLIN, 0};
  for (ssize_t got = 0; said.find('\n') == std::string::npos;) {
    const int polled = poll(&ready, 1, 2000);
    if (polled < 0 && errno == EINTR) continue;
    if (polled != 1 || (got = read(output, buffer, sizeof buffer)) <= 0) break;
    said.append(buffer, static_cast<std::size_t>(got));
  }
  const std::size_t at = said.find("kdialog-");
  const pid_t pid = at == std::string::npos ? -1 : std::atoi(said.c_str() + at + 8);
  return pid > 1 ? pid : -1;
}

}  // namespace

void DesktopProgress::Starting(const char* progressLine) {
  line_ = progressLine;
  // Without the line feed that begins it.
  line_.erase(0, line_.find_first_not_of('\n'));
}

DesktopProgress::Window::Window(const std::string& line, const std::string& caption,
                                const DesktopUser& user)
    : line_(line) {
  // On a terminal the progress lines are in sight already.
  if (line.empty() || OpenBoxTerminal()) return;
  std::string program = DialogProgram(user);
  if (program.empty()) return;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
  if (program.ends_with("/kdialog")) {
    std::vector<std::string> args = {program, "--title", caption, "--progressbar", line, "0"};
    child_ = StartDialog(args, user, -1, pipeFds[1]);
    close(pipeFds[1]);
    if (child_ > 0) window_ = KdialogWindow(pipeFds[0]);
    close(pipeFds[0]);
    return;
  }
  // A zenity progress window closes by itself once its input ends.
  // As wide as its line in a common desktop font, and no higher than its one line and bar.
  const std::size_t width = std::max<std::size_t>(300, 60 + 8 * line.size());
  std::vector<std::string> args = {program,
                                   "--progress",
                                   "--pulsate",
                                   "--no-cancel",
                                   "--auto-close",
                                   "--title=" + caption,
                                   "--width=" + std::to_string(width),
                                   "--text=" + line};
  child_ = StartDialog(args, user, pipeFds[0]);
  close(pipeFds[0]);
  input_ = pipeFds[1];
}

void DesktopProgress::Window::Waiting(bool waiting) const {
  if (input_ < 0) return;
  // zenity takes a line that begins with '#' as the window's new text.
  const std::string text = "#" + (waiting ? std::string(kWaitingForTheDrive) : line_) + "\n";
  if (write(input_, text.data(), text.size()) < 0) return;  // a window gone changes nothing
}

DesktopProgress::Window::~Window() {
  if (input_ >= 0) close(input_);
  if (window_ > 0) kill(window_, SIGTERM);
  if (child_ <= 0) return;
  kill(child_, SIGTERM);
  Reap(child_);
}

}  // namespace cdcopy::posix
