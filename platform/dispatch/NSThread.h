#pragma once
// plat::NSThread: a thread with a name and its own run loop, and performSelector-style
// posting of blocks to it.
//
// A typical network thread runs its loop forever:
//   auto t = NSThread::detachNewThreadWithBlock([] { RunLoop::current()->run(); });
//   performSelectorOnThread(t, [] { ... }, false);
// Blocks posted before the thread's loop runs are kept and run once it does.
//
// Thread-safety: all operations may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/RunLoop.h"

namespace plat {

// The platform's quality-of-service classes of threads and operation queues. Here they are
// labels only: they do not change how work is scheduled.
enum NSQualityOfService : int64_t {
  NSQualityOfServiceUserInteractive = 0x21,
  NSQualityOfServiceUserInitiated = 0x19,
  NSQualityOfServiceUtility = 0x11,
  NSQualityOfServiceBackground = 0x09,
  NSQualityOfServiceDefault = -1,
};

class NSThread;
using NSThreadRef = std::shared_ptr<NSThread>;

class NSThread : public std::enable_shared_from_this<NSThread> {
 public:
  // A thread that will run `block` once started.
  static NSThreadRef threadWithBlock(std::function<void()> block);
  // Creates and starts a thread that runs `block`.
  static NSThreadRef detachNewThreadWithBlock(std::function<void()> block);
  // The calling thread's NSThread (the main thread and threads not made here get one too).
  static NSThreadRef currentThread();
  static NSThreadRef mainThread();
  static bool isMainThread();

  NSThread(const NSThread&) = delete;
  NSThread& operator=(const NSThread&) = delete;
  ~NSThread();

  // Starts the thread. A second start is ignored.
  void start();
  // Marks the thread cancelled and stops its run loop.
  void cancel();
  bool isCancelled() const;
  bool isExecuting() const;
  bool isFinished() const;
  std::string name() const;
  void setName(const std::string& name);
  // NSQualityOfServiceDefault until set (the main thread: NSQualityOfServiceUserInteractive).
  NSQualityOfService qualityOfService() const;
  void setQualityOfService(NSQualityOfService qos);
  // The thread's run loop (its thread's RunLoop::current()), available before it starts.
  RunLoopRef runLoop() const;

  struct Impl;
  explicit NSThread(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// Runs `block` on `thread`'s run loop. With waitUntilDone, waits until it ran; when called on
// `thread` itself it runs at once. Posting to a finished thread does nothing (and does not
// wait).
void performSelectorOnThread(const NSThreadRef& thread, std::function<void()> block,
                             bool waitUntilDone);

// The name the calling thread carries in the system, or "" for a thread nobody named (Linux
// hands an unnamed thread the name of the thread that started it, in the end the program's
// own; such a name reads as none). Kept per thread, since reading it is a system call: read
// on first use, after setCurrentThreadName, and on a dispatch worker each time it takes work
// from the pool (work may name the thread it borrows). Threads are named when they start (the
// libraries in use do so) or through setCurrentThreadName; a thread that renames itself
// with the system's own call later is seen at its next read.
std::string_view currentThreadName();
// Names the calling thread in the system (at most 15 bytes are kept) and in the kept name.
void setCurrentThreadName(const std::string& name);

}  // namespace plat
