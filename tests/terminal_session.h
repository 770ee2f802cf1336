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
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_files.h"

namespace cdcopy::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kBoxWaits = "Press Enter for OK";  // the last line of a box waiting

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
  std::vector<gid_t> groups;             // supplementary, as root's own may have some (needs root)
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
  bool asShellJob = false;  // a job under a shell that, when it stops, puts it in the background
};

// The test's side of the shim's hold (CDCOPY_SHIM_HOLD_FD): the run says what it is about to
// do and waits until the test, having done its part, lets it go on.
class Hold {
 public:
  Hold() { socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_); }
  explicit Hold(Launch& launch) : Hold() { Into(launch); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() {
    for (int fd : fds_) close(fd);
  }
  void Into(Launch& launch) const {
    launch.fds.push_back({9, fds_[1]});
    launch.env.push_back("CDCOPY_SHIM_HOLD_FD=9");
  }
  // What the run is about to do; "" once it has ended (or after 20 s of nothing).
  std::string Next() {
    if (fds_[1] >= 0) close(std::exchange(fds_[1], -1));  // the run's own end, now it has it
    pollfd p{fds_[0], POLLIN, 0};
    char what[16];
    const ssize_t got = poll(&p, 1, 20000) == 1 ? recv(fds_[0], what, sizeof what, 0) : -1;
    return got > 0 ? std::string(what, static_cast<std::size_t>(got)) : "";
  }
  void Go() const { (void)!write(fds_[0], "g", 1); }
  // Lets the run go on at every step until `what` is about to happen; false if it never does.
  bool Until(const std::string& what) {
    for (std::string next = Next(); next != what; next = Next()) {
      if (next.empty()) return false;
      Go();
    }
    return true;
  }

 private:
  int fds_[2] = {-1, -1};
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
    unsetenv("DISPLAY");  // a desktop only where a test gives one
    unsetenv("WAYLAND_DISPLAY");
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
    if (!launch.groups.empty() && setgroups(launch.groups.size(), launch.groups.data()) != 0) {
      _exit(126);
    }
    if (launch.uid != 0 &&
        (setgroups(0, nullptr) != 0 || setgid(launch.gid) != 0 || setuid(launch.uid) != 0)) {
      _exit(126);
    }
    if (launch.asShellJob) StartJob();
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

  // Waits until the terminal shows `needle` for the `count`th time; failing, what it shows.
  ::testing::AssertionResult WaitFor(const std::string& needle, int count = 1,
                                     seconds timeout = seconds(20)) {
    auto deadline = Clock::now() + timeout;
    while (Occurrences(needle) < count) {
      if (Clock::now() > deadline) return ::testing::AssertionFailure() << screen_;
      ReadSome(100);
    }
    return ::testing::AssertionSuccess();
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
    // The process's descriptor is readable once it has ended.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    while (status_ < 0 && Clock::now() < deadline) {
      int status = 0;
      pollfd p{ended, POLLIN, 0};
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
      } else if (master_ < 0 || !ReadSome(50)) {
        poll(&p, 1, 50);
      }
    }
    close(ended);
    while (master_ >= 0 && ReadSome(0)) {
    }
    return status_;
  }

  const std::string& Screen() const { return screen_; }
  pid_t Foreground() const { return tcgetpgrp(master_); }  // the terminal's process group
  int Slave() const { return slave_; }
  pid_t Pid() const { return pid_; }
  // The terminal's settings before the program started, and now.
  const termios& InitialSettings() const { return initial_; }
  termios Settings() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now;
  }
  // Whether the program gave the terminal back as it found it: line by line, with its own
  // suspend key.
  bool SettingsRestored() const {
    const termios now = Settings();
    return now.c_lflag == initial_.c_lflag && now.c_cc[VSUSP] == initial_.c_cc[VSUSP];
  }

 private:
  // As a job-control shell starts a command: in a process group of its own, in the foreground.
  // The shell, once the job stops, takes the terminal back with its own settings and continues
  // the job in the background, as `bg` does; it ends with the job.
  void StartJob() const {
    signal(SIGTTOU, SIG_IGN);
    const pid_t job = fork();
    setpgid(job, job);  // by both, as a shell does, so that the job runs only in its group
    tcsetpgrp(0, job ? job : getpid());
    if (job == 0) return void(signal(SIGTTOU, SIG_DFL));
    int status = 0;
    while (waitpid(job, &status, WUNTRACED) == job && WIFSTOPPED(status)) {
      tcsetpgrp(0, getpgrp());
      tcsetattr(0, TCSANOW, &initial_);
      kill(job, SIGCONT);
    }
    _exit(ExitCode(status));
  }

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

// In a static build, the executable as it ships, into which no shim can be preloaded: for the
// runs that need none. Elsewhere the executable stays as it was, with the shim.
inline Launch& AsShipped(Launch& launch) {
#ifdef CDCOPY_STATIC_EXE
  launch.exe = CDCOPY_STATIC_EXE;
  launch.shim = false;
#endif
  return launch;
}

// The process's state: 'T' stopped, 'S' waiting, 'Z' ended unreaped, '?' gone.
inline char State(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  auto end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() ? stat[end + 2] : '?';
}

// Waits up to `timeout` for `done`; whether it came.
inline bool Eventually(const std::function<bool()>& done, milliseconds timeout = seconds(30)) {
  for (auto until = Clock::now() + timeout; !done();
       std::this_thread::sleep_for(milliseconds(20))) {
    if (Clock::now() > until) return false;
  }
  return true;
}

struct Account {
  uid_t uid = getuid();
  gid_t gid = getgid();
  bool switchTo = false;
};

// Gives `root` and everything below it to `as`, where programs run as another user.
inline void ChownTree(const std::string& root, const Account& as) {
  if (!as.switchTo) return;
  lchown(root.c_str(), as.uid, as.gid);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    lchown(entry.path().c_str(), as.uid, as.gid);
  }
}

struct Output {
  int status = -1;
  std::string text;
  std::string errors;
};

// Every program here starts as the harness starts cdcopy: from "/" (Wine's user may not reach
// the test's own folder, in a clone in a private folder), as `as`, with output to the files
// named (none: /dev/null).
inline Launch Program(const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {}, const Account& as = {},
                      const std::string& out = "", const std::string& err = "") {
  Launch launch;
  launch.exe = argv.front();
  launch.args.assign(argv.begin() + 1, argv.end());
  launch.env = env;
  launch.withTerminal = false;
  launch.shim = false;
  launch.workDir = "/";
  launch.stdoutPath = out;
  launch.stderrPath = err;
  if (as.switchTo) launch.uid = as.uid, launch.gid = as.gid;
  return launch;
}

// Its wait status (-1 when it had to be killed), standard output and standard error.
inline Output Capture(const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {}, const Account& as = {},
                      seconds timeout = seconds(60)) {
  TempDir dir;
  TerminalSession run(Program(argv, env, as, dir / "out", dir / "err"));
  int status = run.Finish(timeout);
  return {status, ReadFile(dir / "out"), ReadFile(dir / "err")};
}

// An X display of its own (Xvfb), whose windows are found by their titles and answered with
// keys through xdotool, as a person would.
class XDisplay {
 public:
  // Starts it; Missing() tells what this machine lacks, Broken() what went wrong. With `auth`,
  // an X authority file, it takes only clients that give a cookie from that file.
  void Start(const std::string& auth = "") {
    auth_ = auth;
    xvfbPath_ = FindProgram({"Xvfb"});
    xdotool_ = FindProgram({"xdotool"});
    if (xvfbPath_.empty()) missing_ = "Xvfb (xvfb)";
    if (xdotool_.empty())
      missing_ += std::string(missing_.empty() ? "" : ", ") + "xdotool (xdotool)";
    if (missing_.empty()) StartDisplay();
  }
  const std::string& Missing() const { return missing_; }
  const std::string& Broken() const { return broken_; }
  const std::string& Name() const { return display_; }
  void Stop() { xvfb_.reset(); }

  Output Xdotool(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {xdotool_};
    argv.insert(argv.end(), args.begin(), args.end());
    return Capture(argv, {"DISPLAY=" + display_, "PATH=/usr/bin:/bin"});
  }

  // The id of the next box with the tool's caption that has not been answered yet, or "".
  std::string WaitForWindow(const std::set<std::string>& answered, seconds timeout,
                            const std::string& caption) const {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      for (const std::string& id : Windows(caption)) {
        if (!answered.count(id)) return id;
      }
      std::this_thread::sleep_for(milliseconds(100));
    }
    return "";
  }

  // Presses the key in the box and waits for the box to go; a key that a box just drawn did not
  // take yet is pressed again.
  bool Answer(const std::string& id, const std::string& key, const std::string& caption) const {
    // The server may give the next box, from another process, the same id at once.
    const std::string owner = Xdotool({"getwindowpid", id}).text;
    auto gone = [&] {
      return std::ranges::count(Windows(caption), id) == 0 ||
             Xdotool({"getwindowpid", id}).text != owner;
    };
    for (int attempt = 0; attempt < 5; ++attempt) {
      Xdotool({"windowfocus", "--sync", id, "key", key});
      if (Eventually(gone, seconds(2))) return true;
    }
    return false;
  }

 private:
  // The ids of the visible windows with this title.
  std::vector<std::string> Windows(const std::string& caption) const {
    std::stringstream found(
        Xdotool({"search", "--onlyvisible", "--name", "^" + caption + "$"}).text);
    return {std::istream_iterator<std::string>(found), std::istream_iterator<std::string>()};
  }

  void StartDisplay() {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return void(broken_ = "no pipe for Xvfb");
    Launch xvfb = Program({xvfbPath_, "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten",
                           "tcp", "-noreset"});
    if (!auth_.empty()) xvfb.args.insert(xvfb.args.end(), {"-auth", auth_});
    xvfb.fds = {{3, pipeFds[1]}};
    xvfb_ = std::make_unique<TerminalSession>(xvfb);
    close(pipeFds[1]);
    std::string number;
    char c;
    while (read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
    close(pipeFds[0]);
    if (number.empty()) broken_ = "Xvfb did not start";
    display_ = ":" + number;
  }

  std::string xvfbPath_, xdotool_, missing_, broken_, display_, auth_;
  std::unique_ptr<TerminalSession> xvfb_;
};

}  // namespace cdcopy::testing
