// Timer and file-system (vnode) event sources.

#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchInternal.h"

namespace plat {

using namespace dispatch_internal;

struct DispatchSource::Impl {
  dispatch_source_type_t type = DISPATCH_SOURCE_TYPE_TIMER;
  uintptr_t handle = 0;
  unsigned long mask = 0;
  DispatchQueueRef queue;

  std::mutex mu;
  bool activated = false;
  int suspendCount = 0;
  bool cancelled = false;
  bool cancelHandlerDone = false;
  dispatch_block_t handler;
  dispatch_block_t cancelHandler;
  unsigned long pending = 0;       // merged events not yet handed to the handler
  unsigned long current = 0;       // data of the event being handled
  bool deliveryScheduled = false;  // a delivery is queued or running

  // Timer.
  bool timerSet = false;
  int64_t nextFire = 0;
  uint64_t interval = 0;  // 0: one-shot
  uint64_t generation = 0;
  uint64_t heapToken = 0;  // the pending deadline-heap entry, 0 when none

  // Vnode.
  int wd = -1;
  off_t lastSize = 0;
  nlink_t lastLinks = 0;
};

DispatchSource::DispatchSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DispatchSource::~DispatchSource() = default;

namespace {

using SImpl = DispatchSource::Impl;

void kickLocked(const DispatchSourceRef& src, std::unique_lock<std::mutex>& lock);
void unwatch(const DispatchSourceRef& src);

// Hands merged data (or the cancellation) to the target queue, one delivery at a time.
void deliver(const DispatchSourceRef& src) {
  SImpl& s = src->impl();
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.cancelled) {
    dispatch_block_t cancel;
    if (!s.cancelHandlerDone) {
      s.cancelHandlerDone = true;
      cancel = std::move(s.cancelHandler);
      s.cancelHandler = nullptr;
      s.handler = nullptr;
    }
    s.deliveryScheduled = false;
    lock.unlock();
    if (cancel) cancel();
    return;
  }
  if (s.suspendCount > 0) {
    s.deliveryScheduled = false;
    return;
  }
  unsigned long data = s.pending;
  s.pending = 0;
  s.current = data;
  dispatch_block_t h = s.handler;
  lock.unlock();
  if (data && h) h();
  h = nullptr;
  lock.lock();
  s.current = 0;
  s.deliveryScheduled = false;
  kickLocked(src, lock);
}

// Schedules a delivery if one is due. Called with the source's lock held; keeps it held.
void kickLocked(const DispatchSourceRef& src, std::unique_lock<std::mutex>& lock) {
  SImpl& s = src->impl();
  if (!s.activated || s.suspendCount > 0 || s.deliveryScheduled) return;
  bool due = s.cancelled ? !s.cancelHandlerDone : (s.pending != 0 && s.handler);
  if (!due) return;
  s.deliveryScheduled = true;
  dispatch_async(s.queue, [src] { deliver(src); });
}

void merge(const DispatchSourceRef& src, unsigned long data, bool add) {
  SImpl& s = src->impl();
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.cancelled) return;
  if (add) {
    s.pending += data;
  } else {
    s.pending |= data;
  }
  kickLocked(src, lock);
}

// ---- Timers ----

void armTimerLocked(const DispatchSourceRef& src);

void timerFired(const DispatchSourceRef& src, uint64_t generation, int64_t deadline) {
  SImpl& s = src->impl();
  unsigned long count = 1;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.cancelled || generation != s.generation) return;
    s.heapToken = 0;  // the entry that fired has left the heap
    s.nextFire = deadline;
    if (s.interval > 0) {
      int64_t now = Clock::nowNs();
      int64_t interval = static_cast<int64_t>(s.interval);
      // Saturated: an interval near INT64_MAX ("never again") must not wrap into the past.
      int64_t next = addSaturating(s.nextFire, interval);
      if (next <= now) {
        int64_t missed = (now - s.nextFire) / interval;
        count += static_cast<unsigned long>(missed);
        next = addSaturating(s.nextFire, (missed + 1) * interval);
      }
      s.nextFire = next;
      armTimerLocked(src);
    } else {
      s.timerSet = false;
    }
  }
  merge(src, count, true);
}

// Schedules the next fire, unless it is never reached (INT64_MAX).
void armTimerLocked(const DispatchSourceRef& src) {
  SImpl& s = src->impl();
  if (s.nextFire == INT64_MAX) return;
  uint64_t gen = s.generation;
  s.heapToken =
      scheduleAt(s.nextFire, [src, gen](int64_t deadline) { timerFired(src, gen, deadline); });
}

// Takes the pending fire out of the deadline heap, which holds the source (and through it the
// handlers) until then. Returns the heap's function for the caller to drop after its lock.
std::function<void(int64_t)> disarmTimerLocked(SImpl& s) {
  uint64_t token = s.heapToken;
  s.heapToken = 0;
  return unschedule(token);
}

// ---- Vnode watching through inotify ----

// The inotify events behind the vnode flags a source asks for. Writes are watched only when
// the source wants to hear of them: otherwise every write to a watched file (a log file,
// say) would wake the watcher thread for nothing.
uint32_t inotifyMaskFor(unsigned long vnodeMask) {
  uint32_t mask = 0;
  if (vnodeMask & (DISPATCH_VNODE_WRITE | DISPATCH_VNODE_EXTEND)) mask |= IN_MODIFY;
  // A deletion of an open file shows as an attribute change that drops the link count.
  if (vnodeMask & (DISPATCH_VNODE_DELETE | DISPATCH_VNODE_LINK | DISPATCH_VNODE_ATTRIB)) {
    mask |= IN_ATTRIB | IN_DELETE_SELF;
  }
  if (vnodeMask & DISPATCH_VNODE_RENAME) mask |= IN_MOVE_SELF;
  if (vnodeMask & DISPATCH_VNODE_REVOKE) mask |= IN_UNMOUNT;
  return mask ? mask : IN_DELETE_SELF;
}

class VnodeWatcher {
 public:
  // Starts reporting events of the file behind the source's descriptor. False when the
  // descriptor has no path inotify can watch.
  bool watch(const DispatchSourceRef& src) {
    SImpl& s = src->impl();
    int fd = static_cast<int>(s.handle);
    // The descriptor's own link names the open file itself, even when it has been renamed or
    // already unlinked, with no window for another file to take its name.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::lock_guard<std::mutex> lock(mu_);
    if (!start()) return false;
    // Sources on the same file share one watch: each adds the events it needs.
    int wd = inotify_add_watch(inotify_, link, inotifyMaskFor(s.mask) | IN_MASK_ADD);
    if (wd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) == 0) {
      std::lock_guard<std::mutex> slock(s.mu);
      s.lastSize = st.st_size;
      s.lastLinks = st.st_nlink;
      s.wd = wd;
    }
    watches_[wd].push_back(src);
    return true;
  }

  void unwatch(const DispatchSourceRef& src) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = watches_.begin(); it != watches_.end(); ++it) {
      auto& list = it->second;
      for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] != src) continue;
        list.erase(list.begin() + static_cast<long>(i));
        if (list.empty()) {
          inotify_rm_watch(inotify_, it->first);
          watches_.erase(it);
        }
        return;
      }
    }
  }

 private:
  bool start() {
    if (inotify_ >= 0) return true;
    inotify_ = inotify_init1(IN_CLOEXEC);
    if (inotify_ < 0) return false;
    std::thread([this] { readLoop(); }).detach();
    return true;
  }

  void readLoop() {
    alignas(inotify_event) char buf[8192];
    for (;;) {
      ssize_t n = read(inotify_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (char* p = buf; p < buf + n;) {
        auto* ev = reinterpret_cast<inotify_event*>(p);
        handle(ev->wd, ev->mask);
        p += sizeof(inotify_event) + ev->len;
      }
    }
  }

  void handle(int wd, uint32_t mask) {
    std::vector<DispatchSourceRef> sources;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = watches_.find(wd);
      if (it == watches_.end()) return;
      sources = it->second;
      if (mask & IN_IGNORED) watches_.erase(it);
    }
    for (auto& src : sources) {
      SImpl& s = src->impl();
      unsigned long flags = 0;
      struct stat st;
      bool haveStat = fstat(static_cast<int>(s.handle), &st) == 0;
      {
        std::lock_guard<std::mutex> lock(s.mu);
        if (mask & IN_MODIFY) {
          flags |= DISPATCH_VNODE_WRITE;
          if (haveStat && st.st_size > s.lastSize) flags |= DISPATCH_VNODE_EXTEND;
        }
        if (mask & (IN_ATTRIB | IN_DELETE_SELF | IN_IGNORED)) {
          // A file that is still open never gets IN_DELETE_SELF: its deletion shows as an
          // attribute change that drops the link count to zero.
          if (haveStat && st.st_nlink != s.lastLinks) flags |= DISPATCH_VNODE_LINK;
          if ((haveStat && st.st_nlink == 0) || (mask & IN_DELETE_SELF)) {
            flags |= DISPATCH_VNODE_DELETE;
          } else if ((mask & IN_ATTRIB) && haveStat && st.st_nlink == s.lastLinks) {
            flags |= DISPATCH_VNODE_ATTRIB;
          }
        }
        if (mask & IN_MOVE_SELF) flags |= DISPATCH_VNODE_RENAME;
        if (mask & IN_UNMOUNT) flags |= DISPATCH_VNODE_REVOKE;
        if (haveStat) {
          s.lastSize = st.st_size;
          s.lastLinks = st.st_nlink;
        }
        flags &= s.mask;
      }
      if (flags) merge(src, flags, false);
    }
  }

  std::mutex mu_;
  int inotify_ = -1;
  std::map<int, std::vector<DispatchSourceRef>> watches_;
};

VnodeWatcher& watcher() {
  static VnodeWatcher* w = new VnodeWatcher;
  return *w;
}

void unwatch(const DispatchSourceRef& src) {
  if (src->impl().type == DISPATCH_SOURCE_TYPE_VNODE) watcher().unwatch(src);
}

void activate(const DispatchSourceRef& src) {
  SImpl& s = src->impl();
  {
    std::unique_lock<std::mutex> lock(s.mu);
    if (s.activated) return;
    s.activated = true;
    if (s.cancelled) {
      kickLocked(src, lock);
      return;
    }
    if (s.type == DISPATCH_SOURCE_TYPE_TIMER) {
      if (s.timerSet) armTimerLocked(src);
      return;
    }
  }
  if (!watcher().watch(src)) {
    reportMisuse("vnode source: descriptor " + std::to_string(s.handle) + " cannot be watched");
  }
}

}  // namespace

DispatchSourceRef dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         unsigned long mask, const DispatchQueueRef& queue) {
  auto impl = std::make_unique<SImpl>();
  impl->type = type;
  impl->handle = handle;
  impl->mask = mask;
  impl->queue = queue ? queue : dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT);
  if (type == DISPATCH_SOURCE_TYPE_VNODE) {
    if (mask == 0 || handle > static_cast<uintptr_t>(INT_MAX) ||
        fcntl(static_cast<int>(handle), F_GETFD) < 0) {
      return nullptr;
    }
  } else if (type != DISPATCH_SOURCE_TYPE_TIMER) {
    return nullptr;
  }
  return std::make_shared<DispatchSource>(std::move(impl));
}

void dispatch_source_set_timer(const DispatchSourceRef& source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway) {
  if (!source || source->impl().type != DISPATCH_SOURCE_TYPE_TIMER) return;
  SImpl& s = source->impl();
  std::function<void(int64_t)> old;  // dropped after the lock
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.cancelled) return;
  ++s.generation;  // drops the old schedule
  old = disarmTimerLocked(s);
  s.pending = 0;
  // A start past INT64_MAX nanoseconds is never reached, as DISPATCH_TIME_FOREVER.
  if (start > static_cast<uint64_t>(INT64_MAX)) {
    s.timerSet = false;
    return;
  }
  s.nextFire = start == DISPATCH_TIME_NOW ? Clock::nowNs() : static_cast<int64_t>(start);
  s.interval = (interval == DISPATCH_TIME_FOREVER || interval > static_cast<uint64_t>(INT64_MAX))
                   ? 0
                   : interval;
  s.timerSet = true;
  if (s.activated) armTimerLocked(source);
}

void dispatch_source_set_event_handler(const DispatchSourceRef& source, dispatch_block_t handler) {
  if (!source) return;
  std::unique_lock<std::mutex> lock(source->impl().mu);
  if (source->impl().cancelled) return;
  source->impl().handler = std::move(handler);
  kickLocked(source, lock);
}

void dispatch_source_set_cancel_handler(const DispatchSourceRef& source, dispatch_block_t handler) {
  if (!source) return;
  std::lock_guard<std::mutex> lock(source->impl().mu);
  if (source->impl().cancelHandlerDone) return;
  source->impl().cancelHandler = std::move(handler);
}

void dispatch_source_cancel(const DispatchSourceRef& source) {
  if (!source) return;
  SImpl& s = source->impl();
  std::function<void(int64_t)> pendingFire;  // dropped after the lock
  {
    std::unique_lock<std::mutex> lock(s.mu);
    if (s.cancelled) return;
    s.cancelled = true;
    ++s.generation;
    s.pending = 0;
    pendingFire = disarmTimerLocked(s);
    kickLocked(source, lock);
  }
  pendingFire = nullptr;
  unwatch(source);
}

long dispatch_source_testcancel(const DispatchSourceRef& source) {
  if (!source) return 0;
  std::lock_guard<std::mutex> lock(source->impl().mu);
  return source->impl().cancelled ? 1 : 0;
}

unsigned long dispatch_source_get_data(const DispatchSourceRef& source) {
  if (!source) return 0;
  std::lock_guard<std::mutex> lock(source->impl().mu);
  return source->impl().current;
}

uintptr_t dispatch_source_get_handle(const DispatchSourceRef& source) {
  return source ? source->impl().handle : 0;
}

unsigned long dispatch_source_get_mask(const DispatchSourceRef& source) {
  return source ? source->impl().mask : 0;
}

void dispatch_activate(const DispatchSourceRef& source) {
  if (source) activate(source);
}

void dispatch_suspend(const DispatchSourceRef& source) {
  if (!source) return;
  std::lock_guard<std::mutex> lock(source->impl().mu);
  ++source->impl().suspendCount;
}

void dispatch_resume(const DispatchSourceRef& source) {
  if (!source) return;
  SImpl& s = source->impl();
  bool activateNow = false;
  {
    std::unique_lock<std::mutex> lock(s.mu);
    if (s.suspendCount > 0) {
      --s.suspendCount;
      kickLocked(source, lock);
      return;
    }
    if (s.activated) {
      lock.unlock();
      reportMisuse("over-resume of a dispatch source; ignored");
      return;
    }
    activateNow = true;
  }
  if (activateNow) activate(source);
}

}  // namespace plat
