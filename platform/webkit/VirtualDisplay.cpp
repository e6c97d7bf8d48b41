#include "platform/webkit/VirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/foundation/NSLog.h"

namespace plat {

namespace {

std::mutex gMu;
std::string gName;
pid_t gServer = -1;

void stopServer() {
  pid_t pid;
  {
    std::lock_guard<std::mutex> lock(gMu);
    pid = gServer;
    gServer = -1;
  }
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, &status, WNOHANG) != 0) return;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
}

// Starts Xvfb and reads the display number it chose from the -displayfd pipe.
bool startServer(std::string& name) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::setpgid(0, 0);  // a terminal's Ctrl-C reaches the app, which stops the server itself
    int out = ::dup(fds[1]);  // without O_CLOEXEC, so Xvfb inherits it
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    std::string fdText = std::to_string(out);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fdText.c_str(), "-screen", "0", "1920x1080x24",
             "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[32];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
    if (number.find('\n') != std::string::npos) break;
  }
  ::close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(gMu);
    gServer = pid;
  }
  name = ":" + number;
  return true;
}

}  // namespace

bool VirtualDisplay::ensure() {
  {
    std::lock_guard<std::mutex> lock(gMu);
    if (!gName.empty()) return true;
  }
  const char* inherited = std::getenv("DISPLAY");
  std::string name;
  if (inherited && *inherited) {
    name = inherited;
  } else {
    if (!startServer(name)) {
      NSLogMessage("could not start a virtual X server (is Xvfb installed?)");
      return false;
    }
    ::setenv("DISPLAY", name.c_str(), 1);
    std::atexit(stopServer);
  }
  std::lock_guard<std::mutex> lock(gMu);
  gName = name;
  return true;
}

std::string VirtualDisplay::name() {
  std::lock_guard<std::mutex> lock(gMu);
  return gName;
}

void VirtualDisplay::stop() { stopServer(); }

}  // namespace plat
