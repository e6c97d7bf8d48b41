#pragma once
// Internal to plat_network: HTTP authentication as the transfer engine answers a 401 --
// reading the server's "WWW-Authenticate" challenges and writing the "Authorization" of the
// Basic and Digest schemes. Pure functions; thread-safe.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat::detail {

struct HTTPAuthChallenge {
  std::string scheme;                         // as written ("Basic", "digest", ...)
  std::map<std::string, std::string> params;  // names lower-cased, values unquoted
  // The parameter `name` (lower-case), or "" when absent.
  std::string param(const std::string& name) const {
    auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
  }
};

// The challenges of one "WWW-Authenticate" value (several may be joined by commas), in order.
// Malformed parts are skipped; at most 32 challenges of at most 32 parameters are read.
std::vector<HTTPAuthChallenge> parseAuthenticateHeader(std::string_view value);

// The challenge the engine answers: the first Digest challenge it can compute (algorithm MD5,
// MD5-sess, SHA-256 or SHA-256-sess; no qop, or a qop list holding "auth"), else the first
// Basic one. nullopt when none.
std::optional<HTTPAuthChallenge> chooseAuthChallenge(
    const std::vector<HTTPAuthChallenge>& challenges);
bool isDigest(const HTTPAuthChallenge& challenge);

// "Basic <base64 of user:password>".
std::string basicAuthorization(const std::string& user, const std::string& password);
// The Digest answer to `challenge` for a request of `method` to `uri` (path and query), with
// the nonce count `nc` (from 1) and the client nonce `cnonce`.
std::string digestAuthorization(const HTTPAuthChallenge& challenge, const std::string& method,
                                const std::string& uri, const std::string& user,
                                const std::string& password, uint32_t nc,
                                const std::string& cnonce);
// A fresh random client nonce (32 hexadecimal digits).
std::string makeClientNonce();

}  // namespace plat::detail
