#pragma once
// Running the storage helper program (testing/cache/kv_crash_helper) as a second process: its
// path beside the tests, starting it with pipes to its standard input and output, reading its
// lines with a deadline, and waiting for its end.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testing/cache/CrashScript.h"

namespace helper_process {

// The helper is built beside the tests: <build>/testing/cache/kv_crash_helper.
inline std::string helperPath() {
  namespace fs = std::filesystem;
  fs::path dir = fs::read_symlink("/proc/self/exe").parent_path();
  for (; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
    fs::path candidate = dir / "testing" / "cache" / crash_script::kHelperName;
    if (fs::exists(candidate)) return candidate.string();
  }
  return std::string();
}

// Starts args[0] with args. `keepFd` stays open in the child; with `pipes`, `in` writes to the
// child's standard input and `out` reads its standard output.
struct Child {
  pid_t pid = -1;
  int in = -1, out = -1;
  std::string buffered;  // read from `out`, not yet taken as lines
};

inline Child spawn(const std::vector<std::string>& args, int keepFd, bool pipes = false) {
  Child c;
  int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
  if (pipes && (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)) return c;
  c.pid = ::fork();
  if (c.pid == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (keepFd >= 0) ::fcntl(keepFd, F_SETFD, 0);
    if (pipes) {
      ::dup2(toChild[0], 0);
      ::dup2(fromChild[1], 1);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pipes) {
    ::close(toChild[0]);
    ::close(fromChild[1]);
    c.in = toChild[1];
    c.out = fromChild[0];
  }
  return c;
}

// Reads what `out` has without waiting; false once it is at its end.
inline bool drain(Child& c) {
  for (;;) {
    pollfd p{c.out, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return true;
    char buf[4096];
    ssize_t n = ::read(c.out, buf, sizeof buf);
    if (n <= 0) return n < 0 && errno == EINTR;
    c.buffered.append(buf, static_cast<size_t>(n));
  }
}

// Reads the child's output to its end, waiting up to `seconds`; false past the deadline.
inline bool readToEnd(Child& c, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (drain(c)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{c.out, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
  return true;
}

// The next line of the child's output, waiting up to `seconds`; nullopt at its end or past
// the deadline.
inline std::optional<std::string> readLine(Child& c, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    size_t nl = c.buffered.find('\n');
    if (nl != std::string::npos) {
      std::string line = c.buffered.substr(0, nl);
      c.buffered.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{c.out, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(c.out, buf, sizeof buf);
    if (n == 0) return std::nullopt;
    if (n > 0) c.buffered.append(buf, static_cast<size_t>(n));
  }
}

// Closes the child's input and output and waits for it (killing it first when `kill`): its
// exit status, or -1 when it did not exit normally.
inline int finish(Child& c, bool kill = false) {
  if (c.in >= 0) ::close(c.in);
  if (c.out >= 0) ::close(c.out);
  c.in = c.out = -1;
  if (c.pid <= 0) return -1;
  if (kill) ::kill(c.pid, SIGKILL);
  int status = 0;
  pid_t got = ::waitpid(c.pid, &status, 0);
  c.pid = -1;
  return got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace helper_process
