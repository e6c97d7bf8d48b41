#pragma once
// Dispatch: queues, groups, semaphores, once, queue-specific data, and timer and file-system
// event sources, with the platform's vocabulary (dispatch_async, dispatch_sync, ...).
//
// Queues are serial or concurrent, carry a label and a quality-of-service class, and run
// their work on a shared worker pool (the main queue runs on the main thread, drained by
// plat::RunLoop::main()). The pool grows while workers are blocked in dispatch_sync, group
// or semaphore waits, so code that waits on other queues cannot exhaust it.
//
// Every thread knows its current queue (innermost one for nested dispatch_sync): see
// dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL), qos_class_self() and
// dispatch_get_specific(). The main thread is the process's initial thread; its current
// queue is the main queue ("com.apple.main-thread", QOS_CLASS_USER_INTERACTIVE = 33).
//
// Time: dispatch_time_t counts nanoseconds on plat::Clock. Delayed work and timer sources
// follow the installed clock, so a virtual clock drives them too.
//
// Misuse that would crash or deadlock on the platform (dispatch_sync to the queue the caller
// is on, over-resume, unbalanced group leave, a blocking main-thread wait for the main queue)
// is refused and reported through the misuse handler (default: a line on stderr).
//
// Thread-safety: every function here may be called from any thread.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace plat {

using dispatch_block_t = std::function<void()>;

// ---- Time ----------------------------------------------------------------------------------

// Nanoseconds on plat::Clock. DISPATCH_TIME_NOW means "now" when passed to dispatch_time.
using dispatch_time_t = uint64_t;
inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;
inline constexpr dispatch_time_t DISPATCH_TIME_FOREVER = ~0ULL;
inline constexpr uint64_t NSEC_PER_SEC = 1000000000ULL;
inline constexpr uint64_t NSEC_PER_MSEC = 1000000ULL;
inline constexpr uint64_t USEC_PER_SEC = 1000000ULL;
inline constexpr uint64_t NSEC_PER_USEC = 1000ULL;

// `when` (DISPATCH_TIME_NOW for the clock's now) plus `delta` nanoseconds; saturates at
// DISPATCH_TIME_FOREVER and at zero (a result before the clock's origin becomes "now").
// dispatch_time(DISPATCH_TIME_FOREVER, x) is DISPATCH_TIME_FOREVER.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
// The clock's now plus `seconds` (negative means now).
dispatch_time_t dispatch_time_after_seconds(double seconds);

// ---- Quality of service ---------------------------------------------------------------------

enum dispatch_qos_class_t : unsigned {
  QOS_CLASS_USER_INTERACTIVE = 0x21,
  QOS_CLASS_USER_INITIATED = 0x19,
  QOS_CLASS_DEFAULT = 0x15,
  QOS_CLASS_UTILITY = 0x11,
  QOS_CLASS_BACKGROUND = 0x09,
  QOS_CLASS_UNSPECIFIED = 0x00,
};
using qos_class_t = dispatch_qos_class_t;

// Priorities accepted by dispatch_get_global_queue (as are the QOS_CLASS_* values).
inline constexpr long DISPATCH_QUEUE_PRIORITY_HIGH = 2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_DEFAULT = 0;
inline constexpr long DISPATCH_QUEUE_PRIORITY_LOW = -2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_BACKGROUND = INT16_MIN;

// The quality of service of the calling thread's current work: the current queue's class,
// QOS_CLASS_USER_INTERACTIVE on the main thread, QOS_CLASS_DEFAULT on other threads.
qos_class_t qos_class_self();
qos_class_t qos_class_main();

// ---- Queues -------------------------------------------------------------------------------

class DispatchQueue;
using DispatchQueueRef = std::shared_ptr<DispatchQueue>;
using dispatch_queue_t = DispatchQueueRef;

struct dispatch_queue_attr_t {
  bool concurrent = false;
  qos_class_t qos = QOS_CLASS_UNSPECIFIED;
  int relativePriority = 0;
  bool initiallyInactive = false;
};
inline constexpr dispatch_queue_attr_t DISPATCH_QUEUE_SERIAL{};
inline constexpr dispatch_queue_attr_t DISPATCH_QUEUE_CONCURRENT{true};
dispatch_queue_attr_t dispatch_queue_attr_make_with_qos_class(dispatch_queue_attr_t attr,
                                                              qos_class_t qos,
                                                              int relativePriority);
dispatch_queue_attr_t dispatch_queue_attr_make_initially_inactive(dispatch_queue_attr_t attr);

// A queue of work items. Opaque: use the dispatch_* functions. Serial queues run one item at
// a time in submission order; concurrent queues run items in parallel except barriers,
// which run alone after everything submitted before them.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;
  virtual ~DispatchQueue();

  const std::string& label() const;
  bool isConcurrent() const;
  bool isMain() const;
  qos_class_t qos() const;

  struct Impl;
  Impl& impl() { return *impl_; }

 protected:
  explicit DispatchQueue(std::unique_ptr<Impl> impl);

 private:
  friend struct DispatchInternal;
  std::unique_ptr<Impl> impl_;
};

// A new queue. An empty label is allowed (label() is then ""). The queue targets the global
// queue of its quality of service. With attr.initiallyInactive it runs nothing until
// dispatch_activate.
DispatchQueueRef dispatch_queue_create(const std::string& label,
                                       dispatch_queue_attr_t attr = DISPATCH_QUEUE_SERIAL);
// The serial queue drained by the main thread's run loop, labelled "com.apple.main-thread".
DispatchQueueRef dispatch_get_main_queue();
// The global concurrent queues. `identifier` is a DISPATCH_QUEUE_PRIORITY_* or QOS_CLASS_*
// value; unknown values give the default queue. Labels: "com.apple.root.user-interactive-qos",
// "com.apple.root.user-initiated-qos" (high), "com.apple.root.default-qos",
// "com.apple.root.utility-qos" (low), "com.apple.root.background-qos". `flags` is reserved.
DispatchQueueRef dispatch_get_global_queue(long identifier, unsigned long flags = 0);

// Pass as the queue to mean "the calling thread's current queue".
inline const DispatchQueueRef DISPATCH_CURRENT_QUEUE_LABEL{};
// The queue's label; for DISPATCH_CURRENT_QUEUE_LABEL the label of the calling thread's
// current queue ("com.apple.root.default-qos" on a thread that runs no queue).
std::string dispatch_queue_get_label(const DispatchQueueRef& queue);
// The label of the calling thread's current queue, without a copy. The text stays valid while
// the calling thread runs that queue's work (labels never change).
const std::string& dispatch_current_queue_label_ref();
qos_class_t dispatch_queue_get_qos_class(const DispatchQueueRef& queue,
                                         int* relativePriority = nullptr);
// Work of `queue` then runs through `target` (a serial target serializes it with the
// target's own work), and specific-data lookups continue through `target`. nullptr resets to
// the default global queue. Refused (reported) for the main and global queues and for a
// target chain that would loop.
void dispatch_set_target_queue(const DispatchQueueRef& queue, const DispatchQueueRef& target);

// Runs `block` on `queue` later. Nothing happens for a null queue or an empty block.
void dispatch_async(const DispatchQueueRef& queue, dispatch_block_t block);
// Runs `block` on `queue` and waits for it. On a serial queue the block runs on the calling
// thread once the caller owns the queue; on a concurrent queue it runs on the calling thread
// once no barrier is ahead of it. A sync to the main queue from a background thread waits
// for the main run loop to run it.
// Sync to a queue the caller is already running on (directly or through nested syncs or
// targets) would deadlock: it is reported and the block is NOT run. On a concurrent queue that
// means a barrier sync from inside the queue, or any sync from inside its barrier.
void dispatch_sync(const DispatchQueueRef& queue, const dispatch_block_t& block);
// On a concurrent queue made by dispatch_queue_create: the block runs alone, after all work
// submitted before it and before all work submitted after it. On other queues, the same as
// dispatch_async / dispatch_sync.
void dispatch_barrier_async(const DispatchQueueRef& queue, dispatch_block_t block);
void dispatch_barrier_sync(const DispatchQueueRef& queue, const dispatch_block_t& block);
// Runs `block` on `queue` at `when` (on plat::Clock). DISPATCH_TIME_FOREVER never runs it.
void dispatch_after(dispatch_time_t when, const DispatchQueueRef& queue, dispatch_block_t block);
// Runs `block` on `queue` after `delaySeconds` on plat::Clock (<= 0: as soon as possible).
void dispatch_after(double delaySeconds, const DispatchQueueRef& queue, dispatch_block_t block);
inline void dispatch_after(int delaySeconds, const DispatchQueueRef& queue, dispatch_block_t block) {
  dispatch_after(static_cast<double>(delaySeconds), queue, std::move(block));
}
// Calls block(0..iterations-1) and returns when all calls finished. On a concurrent queue the
// calls run in parallel (the caller takes part); on a serial queue they run one by one.
void dispatch_apply(size_t iterations, const DispatchQueueRef& queue,
                    const std::function<void(size_t)>& block);

// Suspends or resumes a queue (work already running finishes; queued work waits). Resuming
// more than suspended is reported and ignored. dispatch_activate starts an inactive queue.
void dispatch_suspend(const DispatchQueueRef& queue);
void dispatch_resume(const DispatchQueueRef& queue);
void dispatch_activate(const DispatchQueueRef& queue);

// Queue-specific data. `key` is compared by address. Setting nullptr removes the entry.
// The destructor, if given, is called with the old context when it is replaced or removed,
// or when the queue is destroyed.
void dispatch_queue_set_specific(const DispatchQueueRef& queue, const void* key, void* context,
                                 void (*destructor)(void*) = nullptr);
// The context stored on `queue` itself for `key`, or nullptr.
void* dispatch_queue_get_specific(const DispatchQueueRef& queue, const void* key);
// Looks `key` up on the calling thread's current queue, then along its target queues.
// nullptr when none has it (or on a thread that runs no queue).
void* dispatch_get_specific(const void* key);

// True when the calling thread is the main thread.
bool dispatch_is_main_thread();

// ---- Groups -------------------------------------------------------------------------------

class DispatchGroup;
using DispatchGroupRef = std::shared_ptr<DispatchGroup>;
using dispatch_group_t = DispatchGroupRef;

// Tracks a set of outstanding work items. Opaque.
class DispatchGroup {
 public:
  DispatchGroup();
  DispatchGroup(const DispatchGroup&) = delete;
  DispatchGroup& operator=(const DispatchGroup&) = delete;
  ~DispatchGroup();
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

DispatchGroupRef dispatch_group_create();
void dispatch_group_async(const DispatchGroupRef& group, const DispatchQueueRef& queue,
                          dispatch_block_t block);
void dispatch_group_enter(const DispatchGroupRef& group);
// A leave without a matching enter is reported and ignored.
void dispatch_group_leave(const DispatchGroupRef& group);
// Waits until the group is empty or `timeout` (on plat::Clock) passes. Returns 0 when the
// group emptied, non-zero on timeout. A wait on the main thread does not run the main queue.
long dispatch_group_wait(const DispatchGroupRef& group, dispatch_time_t timeout);
// Submits `block` to `queue` once the group is empty (at once if it is empty now).
void dispatch_group_notify(const DispatchGroupRef& group, const DispatchQueueRef& queue,
                           dispatch_block_t block);

// ---- Semaphores ---------------------------------------------------------------------------

class DispatchSemaphore;
using DispatchSemaphoreRef = std::shared_ptr<DispatchSemaphore>;
using dispatch_semaphore_t = DispatchSemaphoreRef;

// A counting semaphore. Opaque.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value);
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;
  ~DispatchSemaphore();
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// nullptr for a negative value.
DispatchSemaphoreRef dispatch_semaphore_create(long value);
// Returns non-zero when a waiting thread was woken, 0 otherwise.
long dispatch_semaphore_signal(const DispatchSemaphoreRef& sema);
// Decrements, waiting up to `timeout` (on plat::Clock) for a signal. Returns 0 on success,
// non-zero on timeout.
long dispatch_semaphore_wait(const DispatchSemaphoreRef& sema, dispatch_time_t timeout);

// ---- Once ---------------------------------------------------------------------------------

using dispatch_once_t = std::once_flag;
// Runs `block` exactly once per predicate, process-wide; concurrent callers wait for it.
void dispatch_once(dispatch_once_t* predicate, const dispatch_block_t& block);
inline void dispatch_once(dispatch_once_t& predicate, const dispatch_block_t& block) {
  dispatch_once(&predicate, block);
}

// ---- Sources ------------------------------------------------------------------------------

enum dispatch_source_type_t {
  DISPATCH_SOURCE_TYPE_TIMER,
  DISPATCH_SOURCE_TYPE_VNODE,
};

// Vnode event flags (mask of dispatch_source_create and value of dispatch_source_get_data).
inline constexpr unsigned long DISPATCH_VNODE_DELETE = 0x1;
inline constexpr unsigned long DISPATCH_VNODE_WRITE = 0x2;
inline constexpr unsigned long DISPATCH_VNODE_EXTEND = 0x4;
inline constexpr unsigned long DISPATCH_VNODE_ATTRIB = 0x8;
inline constexpr unsigned long DISPATCH_VNODE_LINK = 0x10;
inline constexpr unsigned long DISPATCH_VNODE_RENAME = 0x20;
inline constexpr unsigned long DISPATCH_VNODE_REVOKE = 0x40;
// Timer flag: use the calendar date rather than the monotonic clock (accepted, same here).
inline constexpr unsigned long DISPATCH_TIMER_STRICT = 0x1;

class DispatchSource;
using DispatchSourceRef = std::shared_ptr<DispatchSource>;
using dispatch_source_t = DispatchSourceRef;

// An event source. Created inactive: nothing is delivered until dispatch_activate or
// dispatch_resume. Handlers run on the target queue, one at a time; events that arrive while
// the handler is pending are merged (timer: the count of fires; vnode: the OR of flags) and
// read with dispatch_source_get_data inside the handler. After dispatch_source_cancel no
// further event handler starts and the cancel handler runs once on the target queue (once
// the source is active and not suspended). Opaque.
class DispatchSource : public std::enable_shared_from_this<DispatchSource> {
 public:
  DispatchSource(const DispatchSource&) = delete;
  DispatchSource& operator=(const DispatchSource&) = delete;
  ~DispatchSource();
  struct Impl;
  Impl& impl() { return *impl_; }
  explicit DispatchSource(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// A new inactive source.
// TIMER: handle and mask 0 (DISPATCH_TIMER_STRICT accepted); fires once dispatch_source_set_timer
// gave it a start.
// VNODE: handle is an open file descriptor, which must stay open until the cancel handler ran;
// mask is the DISPATCH_VNODE_* events to report. Deletion of a file that is still open is
// seen through its link count dropping to zero.
// A null queue means the default global queue. Returns nullptr for an unknown type, an invalid
// descriptor or a zero vnode mask.
DispatchSourceRef dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         unsigned long mask, const DispatchQueueRef& queue);
// Timer: first fire at `start` (DISPATCH_TIME_NOW: now), then every `interval` ns;
// interval DISPATCH_TIME_FOREVER (or 0) fires once. `leeway` is accepted (fires are exact
// here). Calling it again replaces the schedule. Ignored on a cancelled source.
void dispatch_source_set_timer(const DispatchSourceRef& source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway);
void dispatch_source_set_event_handler(const DispatchSourceRef& source, dispatch_block_t handler);
void dispatch_source_set_cancel_handler(const DispatchSourceRef& source, dispatch_block_t handler);
void dispatch_source_cancel(const DispatchSourceRef& source);
// Non-zero once the source is cancelled.
long dispatch_source_testcancel(const DispatchSourceRef& source);
// The merged data of the event being handled (0 outside a handler).
unsigned long dispatch_source_get_data(const DispatchSourceRef& source);
uintptr_t dispatch_source_get_handle(const DispatchSourceRef& source);
unsigned long dispatch_source_get_mask(const DispatchSourceRef& source);
// Activate starts an inactive source (a second activate does nothing). Suspend/resume nest
// by count; events during suspension are merged and delivered on resume. Resume of an
// inactive source activates it. Resuming more than suspended is reported and ignored.
void dispatch_activate(const DispatchSourceRef& source);
void dispatch_suspend(const DispatchSourceRef& source);
void dispatch_resume(const DispatchSourceRef& source);

// ---- Misuse reporting ---------------------------------------------------------------------

// Receives a message for each refused misuse. nullptr restores the default (stderr).
// The handler may be called on any thread and must not call back into dispatch.
void dispatch_set_misuse_handler(std::function<void(const std::string&)> handler);

}  // namespace plat
