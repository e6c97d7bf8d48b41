#include "platform/network/SCNetworkReachability.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"

namespace plat {

namespace {
// The platform's number for IPv6 sockets.
constexpr int kPlatformAF_INET6 = 30;
}  // namespace

struct SCNetworkReachability::State {
  std::mutex mu;
  bool loopback = false;
  std::string name;
  std::weak_ptr<SCNetworkReachability> owner;
  SCNetworkReachabilityCallBack callback = nullptr;
  SCNetworkReachabilityContext context;
  bool scheduled = false;
  DispatchQueueRef queue;  // where callbacks run when scheduled on a queue; null: main thread
  SCNetworkReachabilityFlags lastFlags = 0;
  uint64_t generation = 0;  // bumped by every (un)schedule, so stale posts are dropped

  void releaseInfo() {
    if (context.info && context.release) context.release(context.info);
    context = SCNetworkReachabilityContext();
  }
};

namespace {

SCNetworkReachabilityFlags flagsFor(SCNetworkReachability::State& s,
                                    const std::shared_ptr<ReachabilitySource>& source) {
  if (s.loopback) {
    return kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsLocalAddress |
           kSCNetworkReachabilityFlagsIsDirect;
  }
  return source->networkFlags();
}

// The Linux source: reachable when a default route exists or an up, non-loopback interface
// has an address. Changes come from netlink (route, address and link groups).
class LinuxReachabilitySource : public ReachabilitySource {
 public:
  ~LinuxReachabilitySource() override { setChangeHandler(nullptr); }

  SCNetworkReachabilityFlags networkFlags() override {
    return hasNetwork() ? kSCNetworkReachabilityFlagsReachable : 0;
  }

  void setChangeHandler(std::function<void()> onChange) override {
    std::lock_guard<std::mutex> lock(mu_);
    stopLocked();
    if (!onChange) return;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd >= 0) {
      sockaddr_nl addr{};
      addr.nl_family = AF_NETLINK;
      addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                       RTMGRP_IPV6_ROUTE;
      if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;  // fall back to polling
      }
    }
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
      if (fd >= 0) close(fd);
      return;
    }
    // The thread owns the netlink socket and the pipe's read end and is detached when
    // stopped, so that stopping never waits for a change report in flight (which may be
    // waiting for the caller's lock). The write end stays with this object: stopping closes
    // it, and the thread sees the hang-up. Each descriptor is closed by the one thread that
    // owns it.
    int stopFd = stopPipe_[0];
    running_ = true;
    std::thread([fd, stopFd, onChange = std::move(onChange)] {
      std::vector<char> buf(16384);
      for (;;) {
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
        // Without netlink, look again every five seconds.
        int n = poll(fds, fd >= 0 ? 2 : 1, fd >= 0 ? -1 : 5000);
        if (n < 0 && errno == EINTR) continue;
        if (fds[0].revents) break;
        if (fd >= 0 && (fds[1].revents & POLLIN)) {
          while (recv(fd, buf.data(), buf.size(), MSG_DONTWAIT) > 0) {
          }
        }
        onChange();
      }
      if (fd >= 0) close(fd);
      close(stopFd);
    }).detach();
  }

 private:
  static bool hasNetwork() {
    std::ifstream route("/proc/net/route");
    std::string line;
    std::getline(route, line);  // header
    while (std::getline(route, line)) {
      char iface[64];
      unsigned long dest = 1, gw = 0, flags = 0;
      if (std::sscanf(line.c_str(), "%63s %lx %lx %lx", iface, &dest, &gw, &flags) == 4 &&
          dest == 0 && (flags & 0x1) && std::strcmp(iface, "lo") != 0) {
        return true;
      }
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
      if (!a->ifa_addr || !(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
      int family = a->ifa_addr->sa_family;
      if (family == AF_INET) {
        found = true;
      } else if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(a->ifa_addr);
        found = !IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr);
      }
    }
    freeifaddrs(list);
    return found;
  }

  void stopLocked() {
    if (!running_) return;
    running_ = false;
    close(stopPipe_[1]);
    stopPipe_[1] = -1;
  }

  std::mutex mu_;
  bool running_ = false;
  int stopPipe_[2] = {-1, -1};
};

// Process-wide reachability service: the source and the scheduled references.
struct Service {
  std::mutex mu;
  std::shared_ptr<ReachabilitySource> source;
  std::vector<std::weak_ptr<SCNetworkReachability::State>> scheduled;
  bool watching = false;

  std::shared_ptr<ReachabilitySource> sourceLocked() {
    if (!source) source = std::make_shared<LinuxReachabilitySource>();
    return source;
  }
};

Service& service() {
  static auto* s = new Service();
  return *s;
}

// Re-reads the flags of every scheduled reference and posts the callback of those that
// changed to the main queue.
void checkScheduled() {
  auto& svc = service();
  std::vector<std::shared_ptr<SCNetworkReachability::State>> states;
  std::shared_ptr<ReachabilitySource> source;
  {
    std::lock_guard<std::mutex> lock(svc.mu);
    source = svc.sourceLocked();
    for (auto& w : svc.scheduled) {
      if (auto s = w.lock()) states.push_back(s);
    }
  }
  for (auto& s : states) {
    SCNetworkReachabilityFlags flags = flagsFor(*s, source);
    uint64_t generation;
    DispatchQueueRef queue;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      if (!s->scheduled || flags == s->lastFlags) continue;
      s->lastFlags = flags;
      generation = s->generation;
      queue = s->queue ? s->queue : dispatch_get_main_queue();
    }
    dispatch_async(queue, [s, flags, generation] {
      SCNetworkReachabilityCallBack cb;
      void* info;
      std::shared_ptr<SCNetworkReachability> owner;
      {
        std::lock_guard<std::mutex> lock(s->mu);
        if (!s->scheduled || s->generation != generation || !s->callback) return;
        cb = s->callback;
        info = s->context.info;
        owner = s->owner.lock();
      }
      if (owner) cb(owner, flags, info);
    });
  }
}

// REQUIRES: svc.mu held.
void updateWatchingLocked(Service& svc) {
  svc.scheduled.erase(std::remove_if(svc.scheduled.begin(), svc.scheduled.end(),
                                     [](auto& w) { return w.expired(); }),
                      svc.scheduled.end());
  bool want = !svc.scheduled.empty();
  if (want == svc.watching) return;
  svc.watching = want;
  svc.sourceLocked()->setChangeHandler(want ? std::function<void()>(checkScheduled) : nullptr);
}

bool isLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
  return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
}

SCNetworkReachabilityRef makeRef(std::shared_ptr<SCNetworkReachability::State> state) {
  auto ref = std::make_shared<SCNetworkReachability>(state);
  state->owner = ref;
  return ref;
}

}  // namespace

SCNetworkReachability::~SCNetworkReachability() {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->scheduled = false;
    ++state_->generation;
    state_->releaseInfo();
  }
  // The state itself outlives this object (state_ and callbacks still in flight hold it), so
  // its entry is dropped here: otherwise the network would stay watched for a dead target.
  auto& svc = service();
  std::lock_guard<std::mutex> lock(svc.mu);
  svc.scheduled.erase(std::remove_if(svc.scheduled.begin(), svc.scheduled.end(),
                                     [this](auto& w) { return w.lock() == state_; }),
                      svc.scheduled.end());
  updateWatchingLocked(svc);
}

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithAddress(const struct sockaddr* address) {
  if (!address) return nullptr;
  int family = address->sa_family;
  if (family != AF_INET && family != AF_INET6 && family != kPlatformAF_INET6) return nullptr;
  auto state = std::make_shared<SCNetworkReachability::State>();
  state->loopback = isLoopback(address);
  return makeRef(state);
}

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const std::string& nodename) {
  if (nodename.empty()) return nullptr;
  auto state = std::make_shared<SCNetworkReachability::State>();
  state->name = nodename;
  return makeRef(state);
}

bool SCNetworkReachabilityGetFlags(const SCNetworkReachabilityRef& target,
                                   SCNetworkReachabilityFlags* flags) {
  if (flags) *flags = 0;
  if (!target) return false;
  std::shared_ptr<ReachabilitySource> source;
  {
    auto& svc = service();
    std::lock_guard<std::mutex> lock(svc.mu);
    source = svc.sourceLocked();
  }
  if (flags) *flags = flagsFor(*target->state(), source);
  return true;
}

bool SCNetworkReachabilitySetCallback(const SCNetworkReachabilityRef& target,
                                      SCNetworkReachabilityCallBack callback,
                                      const SCNetworkReachabilityContext* context) {
  if (!target) return false;
  auto& s = *target->state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.releaseInfo();
  s.callback = callback;
  if (callback && context) {
    s.context = *context;
    if (s.context.info && s.context.retain) {
      s.context.info = const_cast<void*>(s.context.retain(s.context.info));
    }
  }
  return true;
}

namespace {

// Schedules the target for change reports on `queue` (null: the main run loop). A target
// already scheduled keeps its baseline; scheduled on the main run loop it is refused a queue.
bool schedule(const SCNetworkReachabilityRef& target, const DispatchQueueRef& queue) {
  auto state = target->state();
  SCNetworkReachabilityFlags baseline = 0;
  SCNetworkReachabilityGetFlags(target, &baseline);
  auto& svc = service();
  std::lock_guard<std::mutex> lock(svc.mu);
  {
    std::lock_guard<std::mutex> slock(state->mu);
    if (state->scheduled) {
      if (!queue) return true;
      if (!state->queue) return false;  // on the main run loop
      if (state->queue != queue) {
        state->queue = queue;
        ++state->generation;
      }
      return true;
    }
    state->scheduled = true;
    state->queue = queue;
    ++state->generation;
    state->lastFlags = baseline;
  }
  svc.scheduled.push_back(state);
  updateWatchingLocked(svc);
  return true;
}

// Ends the target's scheduling on the main run loop (`onQueue` false) or on a queue.
void unschedule(const SCNetworkReachabilityRef& target, bool onQueue) {
  auto state = target->state();
  auto& svc = service();
  std::lock_guard<std::mutex> lock(svc.mu);
  {
    std::lock_guard<std::mutex> slock(state->mu);
    if (!state->scheduled || static_cast<bool>(state->queue) != onQueue) return;
    state->scheduled = false;
    state->queue = nullptr;
    ++state->generation;
  }
  svc.scheduled.erase(std::remove_if(svc.scheduled.begin(), svc.scheduled.end(),
                                     [&](auto& w) {
                                       auto s = w.lock();
                                       return !s || s == state;
                                     }),
                      svc.scheduled.end());
  updateWatchingLocked(svc);
}

}  // namespace

bool SCNetworkReachabilityScheduleWithRunLoop(const SCNetworkReachabilityRef& target,
                                              RunLoop* runLoop, const std::string& mode) {
  if (!target || !runLoop || runLoop != RunLoop::main().get()) return false;
  return schedule(target, nullptr);
}

bool SCNetworkReachabilityUnscheduleFromRunLoop(const SCNetworkReachabilityRef& target,
                                                RunLoop* runLoop, const std::string& mode) {
  if (!target) return false;
  unschedule(target, false);
  return true;
}

bool SCNetworkReachabilitySetDispatchQueue(const SCNetworkReachabilityRef& target,
                                           std::shared_ptr<DispatchQueue> queue) {
  if (!target) return false;
  if (queue) return schedule(target, queue);
  unschedule(target, true);
  return true;
}

std::shared_ptr<ReachabilitySource> ReachabilitySource::current() {
  auto& svc = service();
  std::lock_guard<std::mutex> lock(svc.mu);
  return svc.sourceLocked();
}

void ReachabilitySource::install(std::shared_ptr<ReachabilitySource> source) {
  auto& svc = service();
  {
    std::lock_guard<std::mutex> lock(svc.mu);
    if (svc.watching && svc.source) svc.source->setChangeHandler(nullptr);
    svc.source = std::move(source);
    if (svc.watching) svc.sourceLocked()->setChangeHandler(checkScheduled);
  }
  checkScheduled();
}

SCNetworkReachabilityFlags FakeReachabilitySource::networkFlags() {
  std::lock_guard<std::mutex> lock(mu_);
  return flags_;
}

void FakeReachabilitySource::setChangeHandler(std::function<void()> onChange) {
  std::lock_guard<std::mutex> lock(mu_);
  onChange_ = std::move(onChange);
}

void FakeReachabilitySource::setFlags(SCNetworkReachabilityFlags flags) {
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    flags_ = flags;
    handler = onChange_;
  }
  if (handler) handler();
}

bool FakeReachabilitySource::isWatched() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<bool>(onChange_);
}

}  // namespace plat
