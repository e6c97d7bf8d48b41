// The platform's diagnostics on standard error: none of them ends the process when the reader
// of standard error has gone, and the writer they share leaves a thread's pending SIGPIPE as
// it found it.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <typeinfo>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"
#include "platform/runtime/Runtime.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UINavigationController.h"

namespace plat {
namespace {

// Points standard error at a pipe whose reader has gone, with SIGPIPE's default action
// (ending the process), then makes `report`. Exits 0 when the process lived through it with
// no SIGPIPE left pending.
[[noreturn]] void reportToAClosedPipe(const std::function<void()>& report) {
  ::signal(SIGPIPE, SIG_DFL);
  int fds[2];
  if (::pipe(fds) != 0) ::_exit(3);
  ::close(fds[0]);
  ::dup2(fds[1], STDERR_FILENO);
  report();
  sigset_t pending;
  sigpending(&pending);
  ::_exit(sigismember(&pending, SIGPIPE) ? 2 : 0);
}

TEST(StandardErrorDeathTest, NoDiagnosticEndsTheProcessWhenItsReaderHasGone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    std::function<void()> report;
  };
  const Case cases[] = {
      {"a dispatch misuse", [] { dispatch_group_leave(dispatch_group_create()); }},
      {"a refused presentation",
       [] {
         std::make_shared<UIViewController>()->presentViewControllerAnimatedCompletion(
             nullptr, false, nullptr);
       }},
      {"a refused push",
       [] {
         std::make_shared<UINavigationController>()->pushViewControllerAnimated(nullptr, false);
       }},
      {"a second cancel action",
       [] {
         auto alert = UIAlertController::alertControllerWithTitleMessagePreferredStyle(
             "t", "m", UIAlertControllerStyleAlert);
         for (int i = 0; i < 2; ++i) {
           alert->addAction(
               UIAlertAction::actionWithTitleStyleHandler("c", UIAlertActionStyleCancel, nullptr));
         }
       }},
      {"a class name of two types",
       [] {
         for (const std::type_info* type : {&typeid(int), &typeid(long)}) {
           Runtime::registerClass("StandardErrorTestClass", nullptr, nullptr, {}, nullptr, type);
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(reportToAClosedPipe(c.report), ::testing::ExitedWithCode(0), "");
  }
}

// With SIGPIPE blocked and one pending (sent to the process, or to this thread), writes to a
// pipe whose reader has gone. Exits with the number of SIGPIPEs left pending: the one that
// was there, and no more.
[[noreturn]] void writeWithASIGPIPEPending(bool sentToTheProcess) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
  if (sentToTheProcess) {
    ::kill(::getpid(), SIGPIPE);
  } else {
    ::pthread_kill(::pthread_self(), SIGPIPE);
  }
  int fds[2];
  if (::pipe(fds) != 0) ::_exit(10);
  ::close(fds[0]);
  char text[] = "nobody reads this\n";
  iovec piece{text, sizeof text - 1};
  if (writevToStream(fds[1], &piece, 1) != EPIPE) ::_exit(11);
  int left = 0;
  const timespec noWait = {0, 0};
  while (left < 5 && sigtimedwait(&pipeOnly, nullptr, &noWait) == SIGPIPE) ++left;
  ::_exit(left);
}

TEST(StandardErrorDeathTest, TheWriterTakesBackOnlyTheSIGPIPEItRaised) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(writeWithASIGPIPEPending(true), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(writeWithASIGPIPEPending(false), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace plat
