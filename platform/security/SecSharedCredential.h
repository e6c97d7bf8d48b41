#pragma once
// Shared web credentials in the shape of the platform's functions: the passwords that the
// system's password store keeps for the web domains associated with the application, asked
// for, added and removed by domain and account, and the system's generated passwords.
//
// This device keeps no shared web credentials: the application has no associated domains,
// so a request finds none (errSecItemNotFound) and adding or removing one fails with
// errSecMissingEntitlement, as on a phone where the application is not associated with the
// domain. Generated passwords work: four groups of three characters joined by "-".
//
// Completions are posted to the main queue, never called inside the call. Errors are in
// NSOSStatusErrorDomain with the status as code.
//
// Thread-safety: any thread.

#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"
#include "platform/security/SecItem.h"

namespace plat {

inline constexpr OSStatus errSecMissingEntitlement = -34018;

// Key of the password in a credential dictionary (beside kSecAttrServer and kSecAttrAccount).
inline constexpr const char* kSecSharedPassword = "spwd";

// The credentials of `fqdn` (every associated domain when nullopt) and `account` (every
// account when nullopt): dictionaries of kSecAttrServer, kSecAttrAccount and
// kSecSharedPassword. None is found here: an empty list and errSecItemNotFound.
void SecRequestSharedWebCredential(
    const std::optional<std::string>& fqdn, const std::optional<std::string>& account,
    std::function<void(const Array& credentials, const NSErrorRef& error)> completion);

// Adds (or, with a nullopt password, removes) the credential of `account` at `fqdn`; the
// completion gets null or the error. Refused here with errSecMissingEntitlement (errSecParam
// for an empty domain or account).
void SecAddSharedWebCredential(const std::string& fqdn, const std::string& account,
                               const std::optional<std::string>& password,
                               std::function<void(const NSErrorRef& error)> completion);

// A new strong password such as "xK4-pqz-9Tb-mWe": letters and digits that are not easily
// confused, drawn from the system's random source; nullopt when it has no randomness.
std::optional<std::string> SecCreateSharedWebCredentialPassword();

}  // namespace plat
