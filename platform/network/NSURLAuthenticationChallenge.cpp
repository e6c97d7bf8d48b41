#include "platform/network/NSURLAuthenticationChallenge.h"

namespace plat {

std::shared_ptr<NSURLCredential> NSURLCredential::credentialForTrust(SecTrustRef trust) {
  auto c = std::make_shared<NSURLCredential>();
  c->trust_ = std::move(trust);
  c->persistence_ = NSURLCredentialPersistenceForSession;
  return c;
}

std::shared_ptr<NSURLCredential> NSURLCredential::credentialWithUserPasswordPersistence(
    std::string user, std::string password, NSURLCredentialPersistence persistence) {
  auto c = std::make_shared<NSURLCredential>();
  c->user_ = std::move(user);
  c->password_ = std::move(password);
  c->persistence_ = persistence;
  return c;
}

}  // namespace plat
