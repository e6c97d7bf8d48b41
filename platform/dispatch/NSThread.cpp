#include "platform/dispatch/NSThread.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/RunLoopInternal.h"

namespace plat {

using namespace dispatch_internal;

struct NSThread::Impl {
  std::function<void()> block;
  RunLoopRef loop;
  mutable std::mutex mu;
  std::string name;
  std::atomic<bool> started{false};
  std::atomic<bool> executing{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> cancelled{false};
  std::atomic<NSQualityOfService> qos{NSQualityOfServiceDefault};
};

namespace {
thread_local NSThreadRef tCurrent;
}

NSThread::NSThread(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NSThread::~NSThread() = default;

NSThreadRef NSThread::threadWithBlock(std::function<void()> block) {
  auto impl = std::make_unique<Impl>();
  impl->block = std::move(block);
  impl->loop = makeRunLoop(false);
  return std::make_shared<NSThread>(std::move(impl));
}

NSThreadRef NSThread::detachNewThreadWithBlock(std::function<void()> block) {
  auto t = threadWithBlock(std::move(block));
  t->start();
  return t;
}

NSThreadRef NSThread::mainThread() {
  static NSThreadRef* m = [] {
    auto impl = std::make_unique<Impl>();
    impl->loop = RunLoop::main();
    impl->name = "main";
    impl->qos = NSQualityOfServiceUserInteractive;
    impl->started = true;
    impl->executing = true;
    return new NSThreadRef(std::make_shared<NSThread>(std::move(impl)));
  }();
  return *m;
}

NSThreadRef NSThread::currentThread() {
  if (isMainThread()) return mainThread();
  if (!tCurrent) {
    auto impl = std::make_unique<Impl>();
    impl->loop = RunLoop::current();
    impl->started = true;
    impl->executing = true;
    tCurrent = std::make_shared<NSThread>(std::move(impl));
  }
  return tCurrent;
}

bool NSThread::isMainThread() { return dispatch_internal::isMainThread(); }

void NSThread::start() {
  if (impl_->started.exchange(true)) return;
  impl_->executing = true;
  std::thread([self = shared_from_this()] {
    setCurrentRunLoop(self->impl_->loop);
    tCurrent = self;
    auto block = std::move(self->impl_->block);
    self->impl_->block = nullptr;
    if (block && !self->impl_->cancelled) block();
    block = nullptr;
    retireRunLoop(self->impl_->loop);
    self->impl_->executing = false;
    self->impl_->finished = true;
    tCurrent.reset();
    setCurrentRunLoop(nullptr);
  }).detach();
}

void NSThread::cancel() {
  impl_->cancelled = true;
  impl_->loop->stop();
}

bool NSThread::isCancelled() const { return impl_->cancelled; }
bool NSThread::isExecuting() const { return impl_->executing; }
bool NSThread::isFinished() const { return impl_->finished; }

std::string NSThread::name() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->name;
}

void NSThread::setName(const std::string& name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->name = name;
}

NSQualityOfService NSThread::qualityOfService() const { return impl_->qos.load(); }
void NSThread::setQualityOfService(NSQualityOfService qos) { impl_->qos.store(qos); }

RunLoopRef NSThread::runLoop() const { return impl_->loop; }

void performSelectorOnThread(const NSThreadRef& thread, std::function<void()> block,
                             bool waitUntilDone) {
  if (!thread || !block || thread->isFinished()) return;
  RunLoopRef loop = thread->runLoop();
  bool onThread = loop == RunLoop::current();
  if (onThread && waitUntilDone) {
    block();
    return;
  }
  if (!waitUntilDone) {
    loop->perform(std::move(block));
    return;
  }
  performAndWait(loop, std::move(block));
}

// ---- the calling thread's system name --------------------------------------------------------

namespace {

// Linux keeps at most 15 bytes of a thread's name. Plain arrays: the kept name stays readable
// while the thread's other thread-local objects are destroyed.
constexpr size_t kNameRoom = 16;
thread_local char tName[kNameRoom];
thread_local size_t tNameLength = 0;
thread_local bool tNameRead = false;

bool isInheritedProgramName(std::string_view name) {
  static const std::array<std::string, 2> programNames = [] {
    std::array<std::string, 2> names;
    names[0] = std::string(program_invocation_short_name).substr(0, kNameRoom - 1);
    if (FILE* f = std::fopen("/proc/self/comm", "re")) {  // the main thread's name
      char buf[64] = {0};
      if (std::fgets(buf, sizeof buf, f)) names[1] = buf;
      std::fclose(f);
      if (!names[1].empty() && names[1].back() == '\n') names[1].pop_back();
    }
    return names;
  }();
  return !name.empty() && (name == programNames[0] || name == programNames[1]);
}

void readThreadName() {
  char name[64] = {0};
  size_t length = 0;
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0) {
    length = std::min(std::strlen(name), kNameRoom - 1);
    if (isInheritedProgramName(std::string_view(name, length))) length = 0;
  }
  std::memcpy(tName, name, length);
  tNameLength = length;
  tNameRead = true;
}

}  // namespace

namespace dispatch_internal {
void forgetCurrentThreadName() { tNameRead = false; }
}  // namespace dispatch_internal

std::string_view currentThreadName() {
  if (!tNameRead) readThreadName();
  return std::string_view(tName, tNameLength);
}

void setCurrentThreadName(const std::string& name) {
  std::string kept = name.substr(0, kNameRoom - 1);
  pthread_setname_np(pthread_self(), kept.c_str());
  readThreadName();
}

}  // namespace plat
