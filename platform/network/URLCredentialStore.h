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
//
// TaskAuthentication is one task's record of the challenges it answered, and decides what the
// engine does with the next one. Used on the task's transfer thread only.

#include <cstdint>
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

class TaskAuthentication {
 public:
  // Challenges one task answers before the 401 itself is the answer, as default handling ends:
  // a delegate that answers every challenge would otherwise send requests without end.
  static constexpr int64_t kMaxChallenges = 6;
  // Digest answers sent again for a stale nonce (each with the server's new nonce) in one task.
  static constexpr uint32_t kMaxStaleRetries = 4;

  struct Step {
    enum Kind {
      kSend,    // send `credential` without asking
      kAsk,     // ask the delegate, proposing `credential` (null when none)
      kGiveUp,  // the 401 is the answer
    } kind = kAsk;
    NSURLCredentialRef credential;
    int64_t previousFailureCount = 0;  // for kAsk: the space's earlier challenges in this task
  };
  // The step for a challenge for `space` to a request that carried an "Authorization"
  // (`carriedAuthorization`). A Digest challenge saying the nonce is `stale`, to the credential
  // this task sent for the space, sends it again and counts as no challenge. Otherwise a
  // credential `store` keeps for the space is sent first (unless the URL carries
  // `urlCredential`), and forgotten once refused.
  Step next(const std::string& space, bool carriedAuthorization, bool stale,
            const NSURLCredentialRef& urlCredential, URLCredentialStore& store, bool ephemeral);
  // Records that `credential` goes out for `space`, answering a challenge with `nonce` (empty
  // for Basic); returns the Digest nonce count to write, which counts the uses of that nonce.
  uint32_t willSend(const std::string& space, const NSURLCredentialRef& credential,
                    const std::string& nonce);

 private:
  std::map<std::string, int64_t> challenges_;  // per protection space
  NSURLCredentialRef credential_;              // the last one sent, for space_
  std::string space_;
  std::string nonce_;  // the last nonce answered
  uint32_t nonceCount_ = 0;
  uint32_t staleRetries_ = 0;
};

}  // namespace plat::detail
