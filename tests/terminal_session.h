// Runs the built cdcopy as a person would: on a pseudo-terminal that is its controlling
// terminal, reading what it draws there and typing keys into it.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace cdcopy::testing {

using Clock = std::chrono::steady_clock;

struct Launch {
  std::vector<std::string> args;  // after the program name
  bool withTerminal = true;
  bool controllingTerminal = true;  // as `su -c` leaves it: standard input a terminal, yet none
  std::string stdoutPath;           // used when stdoutFd is -1
  int stdoutFd = -1;
  bool stdoutOnTerminal = false;
  std::string stderrPath;
  bool closeStdout = false;
  std::vector<std::string> env;  // NAME=VALUE, added to the test's own
  uid_t uid = 0;                 // when set, the program runs as this user and group
  gid_t gid = 0;
  rlim_t fileSizeLimit = RLIM_INFINITY;  // a write past it fails, or raises SIGXFSZ
  bool ignoreSizeSignal = true;
  int ignoredSignal = 0;         // as whoever starts the program may have set
  std::string exe = CDCOPY_EXE;  // a copy that another user can reach, where one runs it
  bool withoutProc = false;      // as in a chroot: /proc/self/fd shows nothing (needs root)
  // The fault shim preloaded, logging to `shimLog`, with virtual time: pauses and mount waits
  // take no time and are logged as asked for. Virtual time is off for the rows that wait for
  // real; the shim for programs other than cdcopy.
  bool shim = true;
  bool virtualTime = true;
  std::string shimLog;
  std::vector<std::pair<int, int>> fds;  // more descriptors: the child's, from the harness's
  std::string workDir;                   // "" for the harness's own
};

class TerminalSession {
 public:
  explicit TerminalSession(const Launch& launch) {
    std::string slaveName;
    if (launch.withTerminal) {
      master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      grantpt(master_);
      unlockpt(master_);
      slaveName = ptsname(master_);
      winsize size{40, 100, 0, 0};
      ioctl(master_, TIOCSWINSZ, &size);
      // Held open here too, so the terminal's settings can be read after the program ends.
      slave_ = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      tcgetattr(slave_, &initial_);
    }
    pid_ = fork();
    if (pid_ != 0) return;
    setsid();
    auto output = [](const std::string& path) {
      return path.empty() ? open("/dev/null", O_WRONLY)
                          : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    };
    int in = launch.withTerminal
                 ? open(slaveName.c_str(), O_RDWR | (launch.controllingTerminal ? 0 : O_NOCTTY))
                 : open("/dev/null", O_RDONLY);
    int out = launch.stdoutOnTerminal ? in
              : launch.stdoutFd >= 0  ? launch.stdoutFd
                                      : output(launch.stdoutPath);
    int err = output(launch.stderrPath);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (auto [child, parent] : launch.fds) dup2(parent, child);
    if (launch.closeStdout) close(1);
    if (!launch.workDir.empty() && chdir(launch.workDir.c_str()) != 0) _exit(126);
    // The sanitizers' runtime must come first among preloaded libraries unless told otherwise.
    std::vector<std::string> env = {"LD_PRELOAD=" FAULT_SHIM,
                                    "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0",
                                    "CDCOPY_SHIM_LOG=" + launch.shimLog};
    if (launch.virtualTime) env.push_back("CDCOPY_SHIM_VIRTUAL_TIME=1");
    if (!launch.shim) env.clear();
    env.insert(env.end(), launch.env.begin(), launch.env.end());
    for (std::string& setting : env) putenv(setting.data());
    if (launch.ignoredSignal) signal(launch.ignoredSignal, SIG_IGN);
    rlimit noCore{0, 0};  // a signal row that dumps core must leave nothing behind
    setrlimit(RLIMIT_CORE, &noCore);
    if (launch.withoutProc &&
        (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
         mount("none", ("/proc/" + std::to_string(getpid()) + "/fd").c_str(), "tmpfs", 0, ""))) {
      _exit(125);
    }
    if (launch.fileSizeLimit != RLIM_INFINITY) {
      rlimit limit{launch.fileSizeLimit, launch.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, launch.ignoreSizeSignal ? SIG_IGN : SIG_DFL);
    }
    if (launch.uid != 0 &&
        (setgroups(0, nullptr) != 0 || setgid(launch.gid) != 0 || setuid(launch.uid) != 0)) {
      _exit(126);
    }
    std::vector<char*> argv{const_cast<char*>(launch.exe.c_str())};
    for (const std::string& arg : launch.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(launch.exe.c_str(), argv.data());
    _exit(127);
  }
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;
  ~TerminalSession() {
    if (status_ < 0 && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

  // Waits until the terminal shows `needle` for the `count`th time.
  bool WaitFor(const std::string& needle, int count, std::chrono::seconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Occurrences(needle) < count) {
      if (Clock::now() > deadline) return false;
      ReadSome(100);
    }
    return true;
  }

  void Resize(unsigned short columns) {
    winsize size{40, columns, 0, 0};
    ioctl(master_, TIOCSWINSZ, &size);
  }

  void Type(const std::string& keys) {
    ssize_t put = write(master_, keys.data(), keys.size());
    (void)put;
  }

  // Waits for the program to end; its raw wait status, or -1 when it did not end in time.
  int Finish(std::chrono::seconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (status_ < 0 && Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
      } else if (master_ < 0 || !ReadSome(50)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    while (master_ >= 0 && ReadSome(0)) {
    }
    return status_;
  }

  const std::string& Screen() const { return screen_; }
  int Slave() const { return slave_; }
  pid_t Pid() const { return pid_; }
  // The terminal's settings before the program started.
  const termios& InitialSettings() const { return initial_; }

 private:
  int Occurrences(const std::string& needle) const {
    int n = 0;
    for (auto at = screen_.find(needle); at != std::string::npos;
         at = screen_.find(needle, at + 1)) {
      ++n;
    }
    return n;
  }

  bool ReadSome(int milliseconds) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, milliseconds) <= 0) return false;
    char buffer[4096];
    ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    screen_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;
  int status_ = -1;
  termios initial_{};
  std::string screen_;
};

}  // namespace cdcopy::testing
