#pragma once
// Internal to plat_network: the user credentials a URL session keeps for protection spaces,
// so that a credential answered with persistence ForSession or Permanent serves the session's
// later tasks to the same space without asking again.
//
// A session's store holds its ForSession credentials (and, in an ephemeral session, its
// Permanent ones); the process's store holds Permanent credentials for every other session.
// Nothing is written to disk: "permanent" lasts as long as the process. A protection space is
// named by a key the engine makes (scheme, host, port, method and realm).
//
// Thread-safety: has internal synchronization and may be used from any thread.

#include <map>
#include <mutex>
#include <string>

#include "platform/network/NSURLAuthenticationChallenge.h"

namespace plat::detail {

class URLCredentialStore {
 public:
  URLCredentialStore() = default;
  URLCredentialStore(const URLCredentialStore&) = delete;
  URLCredentialStore& operator=(const URLCredentialStore&) = delete;

  // The store of Permanent credentials of the process (never destroyed).
  static URLCredentialStore& processStore();
  // Empties the process's store.
  static void resetForTesting();

  // The credential kept for `space`: this store's, else (unless `ephemeral`) the process's.
  // Null when none.
  NSURLCredentialRef credentialForSpace(const std::string& space, bool ephemeral) const;
  // Keeps a user credential for `space` as its persistence says: None not at all, ForSession
  // here, Permanent in the process's store (here when `ephemeral`).
  void remember(const std::string& space, const NSURLCredentialRef& credential, bool ephemeral);
  // Forgets `credential` for `space` wherever it is still the one kept (it was refused).
  void forget(const std::string& space, const NSURLCredentialRef& credential);

 private:
  NSURLCredentialRef find(const std::string& space) const;
  void put(const std::string& space, const NSURLCredentialRef& credential);
  void erase(const std::string& space, const NSURLCredentialRef& credential);

  mutable std::mutex mu_;
  std::map<std::string, NSURLCredentialRef> credentials_;
};

}  // namespace plat::detail
