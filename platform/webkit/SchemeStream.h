#pragma once
// The body of a custom-scheme answer as WebKit reads it: a GInputStream fed on the main
// thread with the scheme task's bytes as they arrive, so a large body is passed on piece by
// piece instead of being held whole. Internal to platform/webkit.
//
// Thread-safety: main thread only (WebKit reads it from GLib's main context).

#include <gio/gio.h>

#include <deque>
#include <functional>
#include <memory>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"

namespace plat::webkit {

class SchemeStreamFeed : public std::enable_shared_from_this<SchemeStreamFeed> {
 public:
  // Called once when WebKit gives up on the body before its end (the load was stopped).
  // `onRead` is told how many bytes WebKit took.
  SchemeStreamFeed(std::function<void()> onStop, std::function<void(size_t)> onRead)
      : onStop_(std::move(onStop)), onRead_(std::move(onRead)) {}
  void push(Data bytes);
  void finish();
  void fail(const NSErrorRef& error);
  // Bytes waiting for WebKit to read them.
  size_t buffered() const { return buffered_; }

  // A new stream reading this feed (one per feed). The caller owns the reference.
  GInputStream* makeStream();

  // ---- used by the stream ----
  struct PendingRead {
    GTask* task = nullptr;
    void* buffer = nullptr;
    size_t count = 0;
    gulong cancelHandler = 0;
    GCancellable* cancellable = nullptr;
  };
  // Copies up to `count` buffered bytes; returns -1 with `wouldBlock` when nothing is there yet.
  gssize take(void* buffer, size_t count, bool& wouldBlock, GError** error);
  void readAsync(GTask* task, void* buffer, size_t count, GCancellable* cancellable);
  void cancelRead();
  void streamGone();

 private:
  void completePending();
  void stopped();
  std::function<void()> onStop_;
  std::function<void(size_t)> onRead_;
  std::deque<Data> chunks_;
  size_t offset_ = 0;  // read position in chunks_.front()
  size_t buffered_ = 0;
  bool ended_ = false;
  NSErrorRef error_;
  bool stopped_ = false;
  PendingRead pending_;
};

}  // namespace plat::webkit
