#include "platform/network/HTTPAuthentication.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "platform/network/HTTPHeaderParser.h"

namespace plat::detail {

namespace {

constexpr size_t kMaxChallenges = 32;
constexpr size_t kMaxParams = 32;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string hexDigest(const EVP_MD* md, const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, md, nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

// The digest of a Digest algorithm name (without "-sess"), or null when not supported.
const EVP_MD* digestFor(std::string_view algorithm) {
  if (algorithm.empty() || equalsIgnoringCase(algorithm, "MD5")) return EVP_md5();
  if (equalsIgnoringCase(algorithm, "SHA-256")) return EVP_sha256();
  return nullptr;
}

bool sessionAlgorithm(std::string_view algorithm) {
  return algorithm.size() > 5 &&
         equalsIgnoringCase(algorithm.substr(algorithm.size() - 5), "-sess");
}

std::string_view baseAlgorithm(std::string_view algorithm) {
  return sessionAlgorithm(algorithm) ? algorithm.substr(0, algorithm.size() - 5) : algorithm;
}

// Whether a comma-separated qop list offers "auth".
bool offersAuth(const std::string& qop) {
  size_t i = 0;
  while (i <= qop.size()) {
    size_t end = qop.find(',', i);
    if (end == std::string::npos) end = qop.size();
    size_t b = i, e = end;
    while (b < e && (qop[b] == ' ' || qop[b] == '\t')) ++b;
    while (e > b && (qop[e - 1] == ' ' || qop[e - 1] == '\t')) --e;
    if (equalsIgnoringCase(std::string_view(qop).substr(b, e - b), "auth")) return true;
    i = end + 1;
  }
  return false;
}

// A quoted-string's text for a Digest parameter. Control characters (a server's nonce may
// carry any) are left out, so that the answer stays one header line.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) continue;
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::vector<HTTPAuthChallenge> parseAuthenticateHeader(std::string_view v) {
  std::vector<HTTPAuthChallenge> out;
  size_t i = 0;
  auto skipSpace = [&] {
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
  };
  while (i < v.size() && out.size() <= kMaxChallenges) {
    skipSpace();
    if (i < v.size() && v[i] == ',') {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < v.size() && isHTTPTokenChar(v[i])) ++i;
    if (i == start) {  // not a token: skip to the next comma
      while (i < v.size() && v[i] != ',') ++i;
      continue;
    }
    std::string token(v.substr(start, i - start));
    skipSpace();
    bool isParam = i < v.size() && v[i] == '=' && !out.empty();
    if (!isParam) {
      if (i < v.size() && v[i] == '=') {  // a parameter before any scheme
        while (i < v.size() && v[i] != ',') ++i;
        continue;
      }
      out.push_back({token, {}});
      continue;
    }
    ++i;  // '='
    skipSpace();
    std::string value;
    if (i < v.size() && v[i] == '"') {
      ++i;
      bool closed = false;
      while (i < v.size()) {
        char c = v[i++];
        if (c == '\\' && i < v.size()) {
          value += v[i++];
        } else if (c == '"') {
          closed = true;
          break;
        } else {
          value += c;
        }
      }
      if (!closed) break;
    } else if (i >= v.size() || v[i] == ',' || v[i] == '=') {
      // token68 (as "abc==") after a scheme: nothing this engine reads.
      while (i < v.size() && v[i] == '=') ++i;
      continue;
    } else {
      size_t vs = i;
      while (i < v.size() && isHTTPTokenChar(v[i])) ++i;
      value = std::string(v.substr(vs, i - vs));
    }
    for (auto& c : token) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto& params = out.back().params;
    if (params.size() < kMaxParams) params.emplace(std::move(token), std::move(value));
    skipSpace();
    while (i < v.size() && v[i] != ',') ++i;  // whatever follows a value up to the comma
  }
  if (out.size() > kMaxChallenges) out.resize(kMaxChallenges);
  return out;
}

bool isDigest(const HTTPAuthChallenge& c) { return equalsIgnoringCase(c.scheme, "Digest"); }

std::optional<HTTPAuthChallenge> chooseAuthChallenge(
    const std::vector<HTTPAuthChallenge>& challenges) {
  for (const auto& c : challenges) {
    if (!isDigest(c) || c.param("nonce").empty()) continue;
    std::string algorithm = c.param("algorithm");
    if (!digestFor(baseAlgorithm(algorithm))) continue;
    std::string qop = c.param("qop");
    if (c.params.count("qop") && !offersAuth(qop)) continue;
    return c;
  }
  for (const auto& c : challenges) {
    if (equalsIgnoringCase(c.scheme, "Basic")) return c;
  }
  return std::nullopt;
}

std::string basicAuthorization(const std::string& user, const std::string& password) {
  std::string plain = user + ":" + password;
  std::string out(4 * ((plain.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return "Basic " + out;
}

std::string digestAuthorization(const HTTPAuthChallenge& c, const std::string& method,
                                const std::string& uri, const std::string& user,
                                const std::string& password, uint32_t nc,
                                const std::string& cnonce) {
  std::string algorithm = c.param("algorithm");
  const EVP_MD* md = digestFor(baseAlgorithm(algorithm));
  if (!md) md = EVP_md5();
  std::string realm = c.param("realm"), nonce = c.param("nonce");
  std::string ha1 = hexDigest(md, user + ":" + realm + ":" + password);
  if (sessionAlgorithm(algorithm)) ha1 = hexDigest(md, ha1 + ":" + nonce + ":" + cnonce);
  std::string ha2 = hexDigest(md, method + ":" + uri);
  bool withQop = c.params.count("qop") != 0;
  char ncText[9];
  std::snprintf(ncText, sizeof ncText, "%08x", nc);
  std::string response =
      withQop ? hexDigest(md, ha1 + ":" + nonce + ":" + ncText + ":" + cnonce + ":auth:" + ha2)
              : hexDigest(md, ha1 + ":" + nonce + ":" + ha2);
  std::string out = "Digest username=" + quoted(user) + ", realm=" + quoted(realm) +
                    ", nonce=" + quoted(nonce) + ", uri=" + quoted(uri);
  if (!algorithm.empty()) out += ", algorithm=" + algorithm;  // a token: no control characters
  out += ", response=" + quoted(response);
  if (c.params.count("opaque")) out += ", opaque=" + quoted(c.param("opaque"));
  if (withQop) out += ", qop=auth, nc=" + std::string(ncText) + ", cnonce=" + quoted(cnonce);
  return out;
}

std::string makeClientNonce() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    for (auto& b : bytes) b = static_cast<unsigned char>(std::rand());
  }
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

}  // namespace plat::detail
