#include "platform/security/SecSharedCredential.h"

#include <openssl/rand.h>

#include "platform/dispatch/Dispatch.h"

namespace plat {

namespace {

NSErrorRef statusError(OSStatus status) { return NSError::make(NSOSStatusErrorDomain, status); }

}  // namespace

void SecRequestSharedWebCredential(
    const std::optional<std::string>&, const std::optional<std::string>&,
    std::function<void(const Array& credentials, const NSErrorRef& error)> completion) {
  if (!completion) return;
  dispatch_async(dispatch_get_main_queue(), [completion = std::move(completion)] {
    completion(Array{}, statusError(errSecItemNotFound));
  });
}

void SecAddSharedWebCredential(const std::string& fqdn, const std::string& account,
                               const std::optional<std::string>&,
                               std::function<void(const NSErrorRef& error)> completion) {
  if (!completion) return;
  OSStatus status = fqdn.empty() || account.empty() ? errSecParam : errSecMissingEntitlement;
  dispatch_async(dispatch_get_main_queue(),
                 [completion = std::move(completion), status] { completion(statusError(status)); });
}

std::optional<std::string> SecCreateSharedWebCredentialPassword() {
  // No 0/O, 1/l/I: a password a person may have to type.
  static constexpr char kAlphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  constexpr unsigned kSize = sizeof(kAlphabet) - 1;
  constexpr unsigned kLimit = 256 - 256 % kSize;  // no bias towards the first characters
  std::string password;
  while (password.size() < 15) {
    if (password.size() % 4 == 3) {
      password += '-';
      continue;
    }
    unsigned char byte;
    if (RAND_bytes(&byte, 1) != 1) return std::nullopt;
    if (byte < kLimit) password += kAlphabet[byte % kSize];
  }
  return password;
}

}  // namespace plat
