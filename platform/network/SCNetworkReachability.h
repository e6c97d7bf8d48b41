#pragma once
// Network reachability in the shape of the platform's SystemConfiguration API: flags for an
// address or a host name, and a callback when they change, delivered on the main run loop or
// on a dispatch queue.
//
// No name is looked up: a host name is as reachable as the network is. An address on the
// loopback network (127.0.0.0/8, ::1) is always reachable and local. Any other address,
// including the all-zero address that stands for "the network in general", takes the flags
// of the reachability source.
//
// The source is process-wide and replaceable: by default a Linux source (reachable when
// there is a default route or an up, non-loopback interface with an address, watched
// through netlink); tests install a FakeReachabilitySource and script its flags.
//
// Thread-safety: every function may be called from any thread. Callbacks run on the main
// thread, or on the dispatch queue the reference is scheduled on.

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Object.h"

namespace plat {

class RunLoop;
class DispatchQueue;

using SCNetworkReachabilityFlags = uint32_t;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsTransientConnection = 1u
                                                                                             << 0;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsReachable = 1u << 1;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnTraffic = 1u
                                                                                             << 3;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsInterventionRequired = 1u
                                                                                              << 4;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnDemand = 1u << 5;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsLocalAddress = 1u << 16;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsDirect = 1u << 17;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsWWAN = 1u << 18;

class SCNetworkReachability;
using SCNetworkReachabilityRef = std::shared_ptr<SCNetworkReachability>;

// The platform's context: `info` is handed to the callback; `retain` is called on it when
// the callback is set and `release` when it is replaced or the reference is destroyed.
struct SCNetworkReachabilityContext {
  int64_t version = 0;
  void* info = nullptr;
  const void* (*retain)(const void* info) = nullptr;
  void (*release)(const void* info) = nullptr;
  const char* (*copyDescription)(const void* info) = nullptr;
};

using SCNetworkReachabilityCallBack = void (*)(const SCNetworkReachabilityRef& target,
                                               SCNetworkReachabilityFlags flags, void* info);

// A reference for an address (IPv4 or IPv6, with either family numbering: AF_INET6 or the
// platform's 30). Null for a null address or an unknown family.
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithAddress(const struct sockaddr* address);
// A reference for a host name. Null for an empty name.
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const std::string& nodename);
// The current flags. Returns false (flags 0) for a null reference.
bool SCNetworkReachabilityGetFlags(const SCNetworkReachabilityRef& target,
                                   SCNetworkReachabilityFlags* flags);
// Sets (or, with a null callback, clears) the callback. The context is copied; its info is
// retained through context->retain. Returns false for a null reference.
bool SCNetworkReachabilitySetCallback(const SCNetworkReachabilityRef& target,
                                      SCNetworkReachabilityCallBack callback,
                                      const SCNetworkReachabilityContext* context);
// While scheduled, a change of the target's flags calls the callback on the main thread
// (once per change; the flags at scheduling time are the baseline). Only the main run loop
// is supported: another run loop gives false. Scheduling twice is harmless.
bool SCNetworkReachabilityScheduleWithRunLoop(const SCNetworkReachabilityRef& target,
                                              RunLoop* runLoop, const std::string& mode);
bool SCNetworkReachabilityUnscheduleFromRunLoop(const SCNetworkReachabilityRef& target,
                                                RunLoop* runLoop, const std::string& mode);
// With a queue: while scheduled, a change calls the callback on `queue` instead (once per
// change; the flags at scheduling time are the baseline). A reference scheduled on the main
// run loop is refused (false); setting another queue moves the callbacks to it. With a null
// queue: the reference is no longer scheduled on a queue, and no callback still on its way
// runs. Returns false for a null reference.
bool SCNetworkReachabilitySetDispatchQueue(const SCNetworkReachabilityRef& target,
                                           std::shared_ptr<DispatchQueue> queue);

class SCNetworkReachability : public Object {
 public:
  ~SCNetworkReachability() override;
  std::string className() const override { return "SCNetworkReachability"; }
  // Internal state, shared with the functions above.
  struct State;
  const std::shared_ptr<State>& state() const { return state_; }
  explicit SCNetworkReachability(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

// Where the network's flags come from.
class ReachabilitySource {
 public:
  virtual ~ReachabilitySource() = default;
  // The flags of the network in general.
  virtual SCNetworkReachabilityFlags networkFlags() = 0;
  // Starts telling `onChange` (from any thread) whenever the flags may have changed; stops
  // with a null function. Called by the reachability service when it needs change reports.
  virtual void setChangeHandler(std::function<void()> onChange) = 0;

  // The process-wide source; the Linux source unless one was installed.
  static std::shared_ptr<ReachabilitySource> current();
  // Installs a source (null: back to the Linux source). Scheduled references re-read their
  // flags from the new source at once.
  static void install(std::shared_ptr<ReachabilitySource> source);
};

// A source whose flags a test sets. Thread-safe.
class FakeReachabilitySource : public ReachabilitySource {
 public:
  explicit FakeReachabilitySource(SCNetworkReachabilityFlags flags = 0) : flags_(flags) {}
  SCNetworkReachabilityFlags networkFlags() override;
  void setChangeHandler(std::function<void()> onChange) override;
  // Sets the flags and reports the change.
  void setFlags(SCNetworkReachabilityFlags flags);
  // Whether the reachability service is currently listening.
  bool isWatched();

 private:
  std::mutex mu_;
  SCNetworkReachabilityFlags flags_;
  std::function<void()> onChange_;
};

}  // namespace plat
