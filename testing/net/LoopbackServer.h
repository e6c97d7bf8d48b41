#pragma once
// Loopback HTTP and HTTPS servers for tests (cpp-httplib on 127.0.0.1, ephemeral port), and
// a test PKI generated in the process with OpenSSL.
//
// A server answers with the handlers a test registers (exact path, any method unless one is
// given) and records every request it received whole, body bytes exactly as sent (never
// parsed as a form); a request whose body broke off is answered 400 and not recorded.
// Handlers run on the server's threads (32; an idle keep-alive connection holds one for up to
// 5 seconds). Unknown paths answer 404.
//
// Thread-safety: routes are registered before requests are sent; requests() may be called
// from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Data.h"

namespace testing_net {

struct Request {
  std::string method;
  std::string path;    // without the query
  std::string query;   // raw text after "?", empty when none
  std::string target;  // path and query as sent
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // raw bytes as received (chunked encoding removed)
  // Case-insensitive header lookup.
  std::optional<std::string> header(const std::string& name) const;
};

// A body the test lets out chunk by chunk. The response carries "Content-Length" (the sum of
// the chunks, or `declaredLength` when set), and each chunk is written when the test releases
// it. Thread-safe.
class Gate {
 public:
  explicit Gate(std::vector<std::string> chunks, std::optional<uint64_t> declaredLength = {});
  // Lets the next `count` chunks go out (the last release may come before the request does).
  void release(size_t count = 1);
  void releaseAll();
  // Closes the connection in place of the next chunk not yet released: the body stays short of
  // its declared length.
  void closeConnection();
  // Chunks written to the connection so far.
  size_t sent() const;
  // Whether the server has begun the response (its header is on its way).
  bool started() const;
  // Whether the server saw the client close the connection while it waited for a release.
  bool disconnected() const;
  uint64_t contentLength() const;

  struct Impl;
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};
using GateRef = std::shared_ptr<Gate>;

struct Response {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Content type of the body ("text/plain" when empty and a body is set).
  std::string contentType;
  // Set true to keep the connection silent until the server stops (time-out tests).
  bool hang = false;
  // When set, the body is sent in these chunks (chunked encoding) instead of `body`; with
  // hangAfterChunks the response then stays open until the server stops.
  std::vector<std::string> chunks;
  bool hangAfterChunks = false;
  // When set, the body is the gate's chunks, sent with "Content-Length" as the test releases
  // them (instead of `body` or `chunks`).
  GateRef gate;
  void setHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
  }
};

using Handler = std::function<void(const Request&, Response&)>;


// HTTP Digest authentication on the server side (MD5, qop "auth"), for one user.
struct DigestAuth {
  std::string realm = "lumora";
  std::string user;
  std::string password;
  std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
  std::string opaque = "5ccc069c403ebaf9f0171e9517f40e41";
  // The "WWW-Authenticate" value: Digest realm=..., qop="auth", nonce=..., opaque=...
  std::string challenge() const;
  // Whether the request's "Authorization" answers the challenge for its method and target
  // with this user's password.
  bool verify(const Request& request) const;
  // Lets an authorized request through (true); otherwise answers 401 with the challenge.
  bool check(const Request& request, Response& response) const;
};

// The "Authorization" of HTTP Basic for `user` and `password`.
std::string basicAuthorization(const std::string& user, const std::string& password);

// A certificate and its private key, PEM, plus the certificate's DER.
struct TestCertificate {
  std::string certPEM;
  std::string keyPEM;
  plat::Data der;
};

// What TestPKI::issue makes: by default a leaf for 127.0.0.1 and "localhost" that meets the
// phone's rules for TLS server certificates (an EC P-256 key, SHA-256, serverAuth, a year).
struct CertificateSpec {
  std::string commonName = "127.0.0.1";
  std::string subjectAltName = "IP:127.0.0.1,DNS:localhost";  // empty: none
  bool certificateAuthority = false;
  bool serverAuth = true;   // serverAuth as the leaf's extended key usage; false: no such usage
  int rsaBits = 0;          // an RSA key of this size; 0: a key of keyType
  // When rsaBits is 0: an EC key on this curve ("P-256", "P-384", "P-192", ...) or, with
  // "DSA", a 2048-bit DSA key.
  std::string keyType = "P-256";
  // A CA's name constraints in OpenSSL's configuration form (empty: none), such as
  // "permitted;DNS:example.com,excluded;DNS:bar.example.com".
  std::string nameConstraints;
  bool sha1 = false;        // signed with SHA-1 instead of SHA-256
  long notBeforeDays = -1;  // from now
  long notAfterDays = 365;
};

// A small PKI, made once per process: a root CA, an intermediate CA signed by it, leaves
// signed by the intermediate for 127.0.0.1 and "localhost" (the re-issued leaf has the same
// key as `leaf`; the expired one lapsed a day ago), a leaf for another host name only, and
// an unrelated root with its own leaf for 127.0.0.1.
struct TestPKI {
  TestCertificate root;
  TestCertificate intermediate;
  TestCertificate leaf;
  TestCertificate reissuedLeaf;
  TestCertificate expiredLeaf;
  TestCertificate otherHostLeaf;  // SAN DNS:other.example only
  TestCertificate otherRoot;
  TestCertificate otherRootLeaf;  // for 127.0.0.1, signed directly by otherRoot
  static const TestPKI& shared();
  // A new certificate by `spec`, signed by `issuer` (one of the CAs above, or one made here).
  static TestCertificate issue(const TestCertificate& issuer, const CertificateSpec& spec);
};

// What an HTTPS server presents: its chain (leaf first) and the leaf's key.
struct TLSIdentity {
  std::vector<std::string> chainPEM;
  std::string keyPEM;
  // `leaf` followed by the intermediate (for leaves of the shared PKI's intermediate).
  static TLSIdentity withIntermediate(const TestCertificate& leaf);
  // `leaf` alone.
  static TLSIdentity alone(const TestCertificate& leaf);
};

class LoopbackServer {
 public:
  // An HTTP server; started at once.
  LoopbackServer();
  // An HTTPS server presenting `identity`; started at once.
  explicit LoopbackServer(const TLSIdentity& identity);
  ~LoopbackServer();  // stops the server (hanging handlers are released)
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Handler for `path` with any method, or only `method` ("GET", "POST", ...).
  void route(const std::string& path, Handler handler, const std::string& method = "");
  // Shorthand: answers `status` with `body` of `contentType`.
  void respond(const std::string& path, int status, std::string body,
               std::string contentType = "text/plain");

  uint16_t port() const { return port_; }
  bool isTLS() const { return tls_; }
  // "http://127.0.0.1:<port><path>" (https for TLS servers).
  std::string url(const std::string& path = "/") const;
  // Every request received so far, in arrival order.
  std::vector<Request> requests() const;
  size_t requestCount() const;
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  bool tls_ = false;
};

// A port on 127.0.0.1 that nobody listens on (for connection-refused tests). The port stays
// reserved until the process ends.
uint16_t unusedLoopbackPort();

}  // namespace testing_net
