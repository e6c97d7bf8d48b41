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

}  // namespace plat::detail
