#include "KRH5Plugin/SysKeychainWriter.h"

#include <chrono>
#include <thread>

#include "KRH5Plugin/IOSPluginSupport.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/security/SecItem.h"

namespace {

// How long the page's thread waits for a locked database before the write is kept for later.
constexpr double kCallerWait = 0.05;
// One retry's wait on the writer's thread, and how long a write is retried before it fails.
// The wait holds the keychain's lock, which every keychain call of the page's thread also
// takes: it is kept as short as the page's own wait, the pauses between tries free the lock.
constexpr double kRetryWait = kCallerWait;
constexpr std::chrono::minutes kGiveUpAfter{10};

}  // namespace

SysKeychainWriter& SysKeychainWriter::shared() {
  static auto* w = new SysKeychainWriter();  // never destroyed
  return *w;
}

plat::NSErrorRef SysKeychainWriter::run(const Write& w, double busyWait) {
  plat::KeychainBusyWaitScope wait(busyWait);
  plat::NSErrorRef error;
  bool ok =
      w.key ? w.store->setStringForKey(w.value, w.key, &error) : w.store->removeAllItems(&error);
  if (!ok && !error)
    error = plat::NSError::make(kLMKeyChainStoreErrorDomain, LMKeyChainStoreErrorUnexpected);
  return ok ? nullptr : error;
}

bool SysKeychainWriter::busy(const plat::NSErrorRef& error) {
  return error && error->code() == plat::errSecNotAvailable;
}

void SysKeychainWriter::reportFailure(const Write& w, const plat::NSErrorRef& error) {
  plat::Dictionary d{{"error", error->code()}};
  if (w.key) d.set("key", *w.key);
  std::string json = plat::NSJSONSerialization::stringWithJSONObject(plat::Value(std::move(d)));
  if (plat::dispatch_is_main_thread()) {
    SysPlugin::OnKeychainError(json);  // the page's own call: its page hears it
    return;
  }
  plat::dispatch_async(plat::dispatch_get_main_queue(), [json, page = w.page] {
    if (page != IOSPluginCurrentPage()) {
      plat::NSLog("keychain: the page that made a failed write has gone; it is not told");
      return;
    }
    SysPlugin::OnKeychainError(json);
  });
}

void SysKeychainWriter::write(const LMKeyChainStoreRef& store, const std::string& key,
                              const std::optional<std::string>& value) {
  submit(Write{0, store, key, value, IOSPluginCurrentPage()});
}

void SysKeychainWriter::removeAll(const LMKeyChainStoreRef& store) {
  submit(Write{0, store, std::nullopt, std::nullopt, IOSPluginCurrentPage()});
}

void SysKeychainWriter::submit(Write w) {
  plat::NSErrorRef failure;
  {
    std::lock_guard<std::mutex> lock(mu_);
    w.serial = ++serial_;
    bool tryNow = queue_.empty();  // nothing waits ahead of it
    if (tryNow) failure = run(w, kCallerWait);
    if (tryNow && !busy(failure)) {
      if (!failure) return;  // stored
    } else {
      failure = nullptr;
      keep(std::move(w));
      if (draining_) return;  // the writer's thread takes it in turn
      draining_ = true;
    }
  }
  if (failure) {
    reportFailure(w, failure);
    return;
  }
  plat::NSLog("keychain: the database is locked by another process; the write is kept");
  // A thread of its own: a retry may wait for minutes, which no shared worker should.
  std::thread([this] { drain(); }).detach();
}

void SysKeychainWriter::keep(Write w) {
  const std::string& service = w.store->service();
  if (w.key) {
    values_[{service, *w.key}] = {w.serial, w.value};
  } else {
    resets_[service] = w.serial;
    for (auto it = values_.begin(); it != values_.end();) {
      it = it->first.first == service ? values_.erase(it) : std::next(it);
    }
  }
  queue_.push_back(std::move(w));
}

void SysKeychainWriter::drain() {
  for (;;) {
    Write w;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (queue_.empty()) {
        draining_ = false;
        drained_.notify_all();
        return;
      }
      w = queue_.front();
    }
    plat::NSErrorRef error;
    auto giveUp = std::chrono::steady_clock::now() + kGiveUpAfter;
    while (busy(error = run(w, kRetryWait)) && std::chrono::steady_clock::now() < giveUp) {
      // A database busy at once (not waited for) is asked again after a pause.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (error) {
      plat::NSLog("keychain: a kept write failed: %@", error->description());
      reportFailure(w, error);
    }
    finished(w);
  }
}

void SysKeychainWriter::finished(const Write& w) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.pop_front();
  const std::string& service = w.store->service();
  if (w.key) {
    auto it = values_.find({service, *w.key});
    if (it != values_.end() && it->second.first == w.serial) values_.erase(it);
  } else {
    auto it = resets_.find(service);
    if (it != resets_.end() && it->second == w.serial) resets_.erase(it);
  }
}

std::optional<std::optional<std::string>> SysKeychainWriter::pendingValue(
    const LMKeyChainStoreRef& store, const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = values_.find({store->service(), key});
  if (it != values_.end()) return it->second.second;
  if (resets_.count(store->service())) return std::optional<std::string>();
  return std::nullopt;
}

size_t SysKeychainWriter::pendingCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

bool SysKeychainWriter::finishPending(double seconds) {
  size_t left;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (seconds > 0) {
      auto wait = std::chrono::duration<double>(std::min(seconds, 3600.0));
      drained_.wait_for(lock, wait, [this] { return queue_.empty(); });
    }
    left = queue_.size();
  }
  if (left > 0) {
    plat::NSLog("keychain: %@ kept writes were not stored before the application ended",
                std::to_string(left));
  }
  return left == 0;
}
