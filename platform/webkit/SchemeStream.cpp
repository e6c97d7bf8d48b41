#include "platform/webkit/SchemeStream.h"

#include <cstring>

namespace plat::webkit {

namespace {

struct LumoraSchemeStream {
  GInputStream parent;
  std::shared_ptr<SchemeStreamFeed>* feed;
};
struct LumoraSchemeStreamClass {
  GInputStreamClass parent_class;
};

GType lumora_scheme_stream_get_type();
G_DEFINE_TYPE(LumoraSchemeStream, lumora_scheme_stream, G_TYPE_INPUT_STREAM)

SchemeStreamFeed& feedOf(GInputStream* stream) {
  return **reinterpret_cast<LumoraSchemeStream*>(stream)->feed;
}

gssize streamRead(GInputStream* stream, void* buffer, gsize count, GCancellable*, GError** error) {
  bool wouldBlock = false;
  gssize n = feedOf(stream).take(buffer, count, wouldBlock, error);
  if (wouldBlock)
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK, "no data yet");
  return n;
}

void streamReadAsync(GInputStream* stream, void* buffer, gsize count, int, GCancellable* cancellable,
                     GAsyncReadyCallback callback, gpointer userData) {
  GTask* task = g_task_new(stream, cancellable, callback, userData);
  feedOf(stream).readAsync(task, buffer, count, cancellable);
}

gssize streamReadFinish(GInputStream*, GAsyncResult* result, GError** error) {
  return g_task_propagate_int(G_TASK(result), error);
}

gboolean streamClose(GInputStream* stream, GCancellable*, GError**) {
  feedOf(stream).streamGone();
  return TRUE;
}

void streamFinalize(GObject* object) {
  auto* self = reinterpret_cast<LumoraSchemeStream*>(object);
  if (self->feed) {
    (*self->feed)->streamGone();
    delete self->feed;
    self->feed = nullptr;
  }
  G_OBJECT_CLASS(lumora_scheme_stream_parent_class)->finalize(object);
}

void lumora_scheme_stream_class_init(LumoraSchemeStreamClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = streamFinalize;
  auto* input = G_INPUT_STREAM_CLASS(klass);
  input->read_fn = streamRead;
  input->read_async = streamReadAsync;
  input->read_finish = streamReadFinish;
  input->close_fn = streamClose;
}

void lumora_scheme_stream_init(LumoraSchemeStream* self) { self->feed = nullptr; }

void onCancelled(GCancellable*, gpointer feed) {
  static_cast<SchemeStreamFeed*>(feed)->cancelRead();
}

}  // namespace

GInputStream* SchemeStreamFeed::makeStream() {
  auto* stream =
      static_cast<LumoraSchemeStream*>(g_object_new(lumora_scheme_stream_get_type(), nullptr));
  stream->feed = new std::shared_ptr<SchemeStreamFeed>(shared_from_this());
  return G_INPUT_STREAM(stream);
}

void SchemeStreamFeed::push(Data bytes) {
  if (ended_ || stopped_ || bytes.empty()) {
    if (onRead_ && !bytes.empty()) onRead_(bytes.length());  // dropped, so no longer waited on
    return;
  }
  buffered_ += bytes.length();
  chunks_.push_back(std::move(bytes));
  completePending();
}

void SchemeStreamFeed::finish() {
  if (ended_ || stopped_) return;
  ended_ = true;
  completePending();
}

void SchemeStreamFeed::fail(const NSErrorRef& error) {
  if (ended_ || stopped_) return;
  ended_ = true;
  error_ = error ? error : NSError::make("NSURLErrorDomain", -1, Dictionary{});
  completePending();
}

gssize SchemeStreamFeed::take(void* buffer, size_t count, bool& wouldBlock, GError** error) {
  wouldBlock = false;
  if (!chunks_.empty()) {
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < count && !chunks_.empty()) {
      const Data& front = chunks_.front();
      size_t n = std::min(count - done, front.length() - offset_);
      std::memcpy(out + done, front.bytes() + offset_, n);
      done += n;
      offset_ += n;
      if (offset_ == front.length()) {
        chunks_.pop_front();
        offset_ = 0;
      }
    }
    buffered_ -= done;
    if (onRead_) onRead_(done);
    return static_cast<gssize>(done);
  }
  if (error_) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, error_->localizedDescription().c_str());
    return -1;
  }
  if (ended_) return 0;
  wouldBlock = true;
  return -1;
}

void SchemeStreamFeed::readAsync(GTask* task, void* buffer, size_t count,
                                 GCancellable* cancellable) {
  if (pending_.task) {
    g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_PENDING, "a read is pending");
    g_object_unref(task);
    return;
  }
  pending_.task = task;
  pending_.buffer = buffer;
  pending_.count = count;
  if (cancellable) {
    pending_.cancellable = G_CANCELLABLE(g_object_ref(cancellable));
    // Runs onCancelled at once when already cancelled, which ends the read.
    gulong handler = g_cancellable_connect(cancellable, G_CALLBACK(onCancelled), this, nullptr);
    if (pending_.task) pending_.cancelHandler = handler;
  }
  if (pending_.task) completePending();
}

void SchemeStreamFeed::completePending() {
  if (!pending_.task) return;
  GError* error = nullptr;
  bool wouldBlock = false;
  gssize n = take(pending_.buffer, pending_.count, wouldBlock, &error);
  if (wouldBlock) return;
  PendingRead p = pending_;
  pending_ = PendingRead{};
  if (p.cancellable) {
    g_cancellable_disconnect(p.cancellable, p.cancelHandler);
    g_object_unref(p.cancellable);
  }
  if (n < 0) g_task_return_error(p.task, error);
  else g_task_return_int(p.task, n);
  g_object_unref(p.task);
}

void SchemeStreamFeed::cancelRead() {
  // g_cancellable_connect runs this at once when already cancelled, inside readAsync: the
  // read is finished on a later turn so the caller never sees its callback re-entered.
  if (!pending_.task) return;
  PendingRead p = pending_;
  pending_ = PendingRead{};
  if (p.cancellable) {
    auto* c = p.cancellable;
    gulong h = p.cancelHandler;
    // Disconnecting from inside the cancellable's own callback would deadlock: done later.
    g_idle_add_full(G_PRIORITY_DEFAULT,
                    [](gpointer data) -> gboolean {
                      auto* pair = static_cast<std::pair<GCancellable*, gulong>*>(data);
                      g_cancellable_disconnect(pair->first, pair->second);
                      g_object_unref(pair->first);
                      delete pair;
                      return G_SOURCE_REMOVE;
                    },
                    new std::pair<GCancellable*, gulong>(c, h), nullptr);
  }
  g_task_return_new_error(p.task, G_IO_ERROR, G_IO_ERROR_CANCELLED, "the read was cancelled");
  g_object_unref(p.task);
  stopped();
}

void SchemeStreamFeed::streamGone() {
  if (pending_.task) cancelRead();
  if (!ended_) stopped();
}

void SchemeStreamFeed::stopped() {
  if (stopped_ || ended_) return;
  stopped_ = true;
  if (onRead_ && buffered_) onRead_(buffered_);
  chunks_.clear();
  buffered_ = 0;
  if (auto stop = std::move(onStop_)) stop();
  onStop_ = nullptr;
}

}  // namespace plat::webkit
