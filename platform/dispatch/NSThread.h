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

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/RunLoop.h"

namespace plat {

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

}  // namespace plat
