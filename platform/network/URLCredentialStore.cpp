#include "platform/network/URLCredentialStore.h"

namespace plat::detail {

URLCredentialStore& URLCredentialStore::processStore() {
  static auto* store = new URLCredentialStore();
  return *store;
}

void URLCredentialStore::resetForTesting() {
  auto& store = processStore();
  std::lock_guard<std::mutex> lock(store.mu_);
  store.credentials_.clear();
}

NSURLCredentialRef URLCredentialStore::find(const std::string& space) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = credentials_.find(space);
  return it == credentials_.end() ? nullptr : it->second;
}

void URLCredentialStore::put(const std::string& space, const NSURLCredentialRef& credential) {
  std::lock_guard<std::mutex> lock(mu_);
  credentials_[space] = credential;
}

void URLCredentialStore::erase(const std::string& space, const NSURLCredentialRef& credential) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = credentials_.find(space);
  if (it != credentials_.end() && it->second == credential) credentials_.erase(it);
}

NSURLCredentialRef URLCredentialStore::credentialForSpace(const std::string& space,
                                                          bool ephemeral) const {
  if (auto own = find(space)) return own;
  return ephemeral ? nullptr : processStore().find(space);
}

void URLCredentialStore::remember(const std::string& space, const NSURLCredentialRef& credential,
                                  bool ephemeral) {
  if (!credential || credential->trust() || credential->user().empty()) return;
  switch (credential->persistence()) {
    case NSURLCredentialPersistenceNone:
      return;
    case NSURLCredentialPersistenceForSession:
      put(space, credential);
      return;
    case NSURLCredentialPersistencePermanent:
      if (ephemeral) {
        put(space, credential);
      } else {
        erase(space, find(space));  // the process's one is the space's now
        processStore().put(space, credential);
      }
      return;
  }
}

void URLCredentialStore::forget(const std::string& space, const NSURLCredentialRef& credential) {
  erase(space, credential);
  if (this != &processStore()) processStore().erase(space, credential);
}

TaskAuthentication::Step TaskAuthentication::next(const std::string& space,
                                                  bool carriedAuthorization, bool stale,
                                                  const NSURLCredentialRef& urlCredential,
                                                  URLCredentialStore& store, bool ephemeral) {
  // The credential the refused request carried, when this task wrote its Authorization.
  NSURLCredentialRef sent = carriedAuthorization && space_ == space ? credential_ : nullptr;
  if (sent && stale && staleRetries_ < kMaxStaleRetries) {
    ++staleRetries_;
    return {Step::kSend, sent};
  }
  NSURLCredentialRef stored = store.credentialForSpace(space, ephemeral);
  if (stored && sent == stored) {
    store.forget(space, stored);  // refused: no longer good for the space
    stored = nullptr;
  }
  const int64_t previous = challenges_[space]++;
  int64_t total = 0;
  for (const auto& [name, count] : challenges_) total += count;
  if (total > kMaxChallenges) return {Step::kGiveUp};
  if (previous == 0 && stored && !urlCredential) return {Step::kSend, stored};
  return {Step::kAsk, sent ? sent : urlCredential ? urlCredential : stored, previous};
}

uint32_t TaskAuthentication::willSend(const std::string& space,
                                      const NSURLCredentialRef& credential,
                                      const std::string& nonce) {
  credential_ = credential;
  space_ = space;
  if (nonce != nonce_) {
    nonce_ = nonce;
    nonceCount_ = 0;  // a new nonce is counted from 1
  }
  return ++nonceCount_;
}

}  // namespace plat::detail
