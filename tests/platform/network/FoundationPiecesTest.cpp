// The small platform pieces of URL loading: requests and responses, streams, progress,
// operation queues, MIME types and status texts.

#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/dispatch/Dispatch.h"
#include "platform/network/MIMEType.h"
#include "platform/network/NSOperationQueue.h"
#include "platform/network/NSProgress.h"
#include "platform/network/NSStream.h"
#include "platform/network/NSURLResponse.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

TEST(NSURLRequest, HeaderFieldsAreCaseInsensitiveAndCopiesAreIndependent) {
  auto r = NSMutableURLRequest::requestWithURL("http://h/x");
  EXPECT_EQ(r->HTTPMethod(), "GET");
  EXPECT_EQ(r->timeoutInterval(), 60.0);
  r->setValueForHTTPHeaderField("text/plain", "Content-Type");
  r->setValueForHTTPHeaderField("application/json", "content-type");
  r->addValueForHTTPHeaderField("a", "Accept");
  r->addValueForHTTPHeaderField("b", "ACCEPT");
  EXPECT_EQ(r->valueForHTTPHeaderField("CONTENT-TYPE"), "application/json");
  EXPECT_EQ(r->valueForHTTPHeaderField("accept"), "a, b");
  auto all = r->allHTTPHeaderFields();
  EXPECT_EQ(all.keys(), (std::vector<std::string>{"Content-Type", "Accept"}));
  r->setValueForHTTPHeaderField(std::nullopt, "ACCEPT");
  EXPECT_FALSE(r->valueForHTTPHeaderField("Accept"));

  r->setHTTPBody(Data::fromString("x"));
  auto copy = r->mutableCopy();
  copy->setHTTPMethod("POST");
  copy->setHTTPBodyStream(NSInputStream::inputStreamWithData(Data()));
  EXPECT_EQ(r->HTTPMethod(), "GET");
  EXPECT_TRUE(r->HTTPBody());
  EXPECT_FALSE(copy->HTTPBody());  // a stream replaces the body
  EXPECT_TRUE(copy->HTTPBodyStream());
}

// Past a few dozen fields lookups go through an index: it follows removals, and order and
// joined repeats stay as with few fields.
TEST(HTTPHeaderFields, ManyFieldsKeepOrderAndRepeatsThroughRemovals) {
  HTTPHeaderFields h;
  const size_t count = HTTPHeaderFields::kIndexedFrom * 2;
  for (size_t i = 0; i < count; ++i) h.add("X-F" + std::to_string(i), std::to_string(i));
  HTTPHeaderFields copy = h;
  EXPECT_TRUE(h.remove("x-f1"));
  h.add("x-F3", "again");
  h.set("X-f" + std::to_string(count - 1), "last");
  EXPECT_EQ(h.get("X-F3"), "3, again");
  EXPECT_EQ(h.fields()[2], (std::pair<std::string, std::string>("X-F3", "3, again")));
  EXPECT_EQ(h.fields().back(),
            (std::pair<std::string, std::string>("X-F" + std::to_string(count - 1), "last")));
  EXPECT_EQ(copy.get("X-F1"), "1");  // copies are independent
}

TEST(NSHTTPURLResponse, DerivesMIMETypeLengthAndEncodingFromHeaders) {
  HTTPHeaderFields h;
  h.set("Content-Type", "Application/JSON; Charset=\"UTF-8\"");
  h.set("Content-Length", "42");
  auto r = NSHTTPURLResponse::make("http://h/a/file.json?q=1", 200, h);
  EXPECT_EQ(r->MIMEType(), "application/json");
  EXPECT_EQ(r->textEncodingName(), "UTF-8");
  EXPECT_EQ(r->expectedContentLength(), 42);
  EXPECT_EQ(r->suggestedFilename(), "file.json");
  EXPECT_EQ(r->valueForHTTPHeaderField("content-length"), "42");

  HTTPHeaderFields bad;
  bad.set("Content-Length", "-5");
  auto b = NSHTTPURLResponse::make("http://h/", 200, bad);
  EXPECT_EQ(b->expectedContentLength(), -1);
  EXPECT_EQ(b->MIMEType(), "");
  EXPECT_EQ(b->suggestedFilename(), "Unknown");
  HTTPHeaderFields huge;
  huge.set("Content-Length", "99999999999999999999999");
  EXPECT_EQ(NSHTTPURLResponse::make("http://h/", 200, huge)->expectedContentLength(), -1);
  // An encoded body arrives decoded: its announced length is not what will be received.
  HTTPHeaderFields gz;
  gz.set("Content-Length", "13");
  gz.set("Content-Encoding", "gzip");
  EXPECT_EQ(NSHTTPURLResponse::make("http://h/", 200, gz)->expectedContentLength(), -1);
  gz.set("Content-Encoding", " Identity ");
  EXPECT_EQ(NSHTTPURLResponse::make("http://h/", 200, gz)->expectedContentLength(), 13);
}

TEST(NSHTTPURLResponse, StatusTextsFollowThePlatform) {
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(200), "no error");
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(404), "not found");
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(500), "internal server error");
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(299), "success");
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(418), "client error");
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(799), "server error");
}

TEST(NSStream, DataAndFileStreamsReadWriteAndReportTheirStatus) {
  auto in = NSInputStream::inputStreamWithData(Data::fromString("hello"));
  uint8_t buf[3];
  EXPECT_EQ(in->readMaxLength(buf, 3), -1);  // not open
  in->open();
  EXPECT_EQ(in->streamStatus(), NSStreamStatusOpen);
  EXPECT_EQ(in->readMaxLength(buf, 3), 3);
  EXPECT_EQ(in->readMaxLength(buf, 3), 2);
  EXPECT_EQ(in->streamStatus(), NSStreamStatusAtEnd);
  EXPECT_EQ(in->readMaxLength(buf, 3), 0);
  EXPECT_FALSE(in->hasBytesAvailable());
  in->close();
  EXPECT_EQ(in->streamStatus(), NSStreamStatusClosed);
  EXPECT_FALSE(in->copyStream());

  auto path =
      (std::filesystem::temp_directory_path() / ("stream-" + std::to_string(getpid()))).string();
  auto out = NSOutputStream::outputStreamToFileAtPath(path, false);
  out->open();
  EXPECT_EQ(out->writeMaxLength(reinterpret_cast<const uint8_t*>("abc"), 3), 3);
  out->close();
  auto append = NSOutputStream::outputStreamToFileAtPath(path, true);
  append->open();
  append->writeMaxLength(reinterpret_cast<const uint8_t*>("de"), 2);
  append->close();
  auto file = NSInputStream::inputStreamWithFileAtPath(path);
  file->open();
  uint8_t all[16];
  EXPECT_EQ(file->readMaxLength(all, sizeof all), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(all), 5), "abcde");
  EXPECT_EQ(file->readMaxLength(all, sizeof all), 0);
  EXPECT_EQ(file->streamStatus(), NSStreamStatusAtEnd);
  std::filesystem::remove(path);

  auto missing = NSInputStream::inputStreamWithFileAtPath(path + ".none");
  missing->open();
  EXPECT_EQ(missing->streamStatus(), NSStreamStatusError);
  ASSERT_TRUE(missing->streamError());
  EXPECT_EQ(missing->streamError()->domain(), NSPOSIXErrorDomain);
  EXPECT_EQ(missing->readMaxLength(all, 1), -1);

  auto mem = NSOutputStream::outputStreamToMemory();
  mem->open();
  mem->writeMaxLength(reinterpret_cast<const uint8_t*>("xyz"), 3);
  EXPECT_EQ(mem->propertyForKey(NSStreamDataWrittenToMemoryStreamKey),
            Value(Data::fromString("xyz")));
}

TEST(NSProgress, FractionObserversAndHandlers) {
  auto p = NSProgress::progressWithTotalUnitCount(-1);
  EXPECT_EQ(p->fractionCompleted(), 0.0);
  EXPECT_TRUE(p->isIndeterminate());
  std::vector<std::string> seen;
  auto token = p->addObserver("fractionCompleted", [&](NSProgress& pr, const std::string& k) {
    seen.push_back(k + "=" + std::to_string(pr.fractionCompleted()));
  });
  p->setTotalUnitCount(4);
  p->setCompletedUnitCount(1);
  p->setCompletedUnitCount(1);  // notified again, as observation does
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_DOUBLE_EQ(p->fractionCompleted(), 0.25);
  p->removeObserver(token);
  p->setCompletedUnitCount(4);
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_TRUE(p->isFinished());

  int cancels = 0, pauses = 0, resumes = 0;
  p->setCancellationHandler([&] { ++cancels; });
  p->setPausingHandler([&] { ++pauses; });
  p->setResumingHandler([&] { ++resumes; });
  p->resume();  // not paused: nothing
  p->pause();
  p->pause();
  p->resume();
  p->cancel();
  p->cancel();
  EXPECT_EQ(pauses, 1);
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(p->isCancelled());
}

TEST(NSOperationQueue, WidthOneRunsInOrderAndTheMainQueueOnTheMainThread) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(1);
  std::vector<int> order;
  std::mutex mu;
  bool sawCurrent = true;
  for (int i = 0; i < 100; ++i) {
    q->addOperationWithBlock([&, i] {
      std::lock_guard<std::mutex> lock(mu);
      order.push_back(i);
      if (!q->isCurrent()) sawCurrent = false;
    });
  }
  q->waitUntilAllOperationsAreFinished();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(sawCurrent);
  EXPECT_FALSE(q->isCurrent());

  bool onMain = false;
  NSOperationQueue::mainQueue()->addOperationWithBlock([&] { onMain = dispatch_is_main_thread(); });
  EXPECT_TRUE(testing_loop::runUntil([&] { return onMain; }, 10));
  EXPECT_EQ(NSOperationQueue::mainQueue(), NSOperationQueue::mainQueue());
}

TEST(NSOperationQueue, OperationsAreCountedUntilRunAndCancelledOnesAreSkipped) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(1);
  auto gate = dispatch_semaphore_create(0), started = dispatch_semaphore_create(0);
  std::atomic<int> ran{0};
  q->addOperationWithBlock([&] {
    dispatch_semaphore_signal(started);
    dispatch_semaphore_wait(gate, DISPATCH_TIME_FOREVER);
    ++ran;
  });
  std::vector<std::shared_ptr<NSBlockOperation>> later;
  for (int i = 0; i < 3; ++i) {
    later.push_back(NSBlockOperation::blockOperationWithBlock([&] { ++ran; }));
    q->addOperation(later.back());
  }
  EXPECT_EQ(q->operationCount(), 4u);
  dispatch_semaphore_wait(started, DISPATCH_TIME_FOREVER);
  q->cancelAllOperations();
  for (auto& op : later) EXPECT_TRUE(op->isCancelled());
  dispatch_semaphore_signal(gate);
  q->waitUntilAllOperationsAreFinished();
  // The running block had started: it finishes; the waiting ones never run.
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(q->operationCount(), 0u);
  for (auto& op : later) EXPECT_TRUE(op->isFinished());
  q->addOperation(later[0]);  // a finished operation is not run again
  EXPECT_EQ(q->operationCount(), 0u);
}

TEST(MIMEType, ByExtensionInAnyCase) {
  EXPECT_EQ(MIMETypeForPathExtension("png"), "image/png");
  EXPECT_EQ(MIMETypeForPathExtension("JPG"), "image/jpeg");
  EXPECT_EQ(MIMETypeForPathExtension("json"), "application/json");
  EXPECT_FALSE(MIMETypeForPathExtension(""));
  EXPECT_FALSE(MIMETypeForPathExtension("no-such-extension"));
}

}  // namespace
