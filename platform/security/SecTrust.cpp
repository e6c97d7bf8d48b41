// Server trust over OpenSSL's X509 verification.

#include "platform/security/SecTrust.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <libpsl.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <mutex>

#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/HostName.h"

namespace plat {

namespace {

// Reads a regular file (never a pipe or device, which could block) of at most 1 MiB.
bool readSmallRegularFile(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= (1 << 20);
  if (ok) {
    out->assign(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = st.st_size ? ::read(fd, out->data(), out->size()) : 0;
    ok = n == st.st_size;
  }
  ::close(fd);
  return ok;
}

// Every certificate of the device root's anchor folder: PEM files (any number of
// certificates) and DER files (one), in file-name order.
std::vector<X509*> loadDeviceAnchors() {
  std::vector<X509*> certs;
  std::string dir = SecTrustDeviceAnchorsPath();
  DIR* d = opendir(dir.c_str());
  if (!d) return certs;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (auto& name : names) {
    std::string bytes;
    if (!readSmallRegularFile(dir + "/" + name, &bytes)) continue;
    if (bytes.find("-----BEGIN") != std::string::npos) {
      BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
      while (X509* c = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certs.push_back(c);
      BIO_free(bio);
    } else {
      auto p = reinterpret_cast<const unsigned char*>(bytes.data());
      if (X509* c = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()))) certs.push_back(c);
    }
  }
  return certs;
}

Data derOf(X509* cert) {
  unsigned char* buf = nullptr;
  int len = i2d_X509(cert, &buf);
  if (len <= 0) return Data();
  Data d(buf, static_cast<size_t>(len));
  OPENSSL_free(buf);
  return d;
}

Data derOfKey(EVP_PKEY* key) {
  unsigned char* buf = nullptr;
  int len = i2d_PUBKEY(key, &buf);
  if (len <= 0) return Data();
  Data d(buf, static_cast<size_t>(len));
  OPENSSL_free(buf);
  return d;
}

bool isIPAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string lowercased(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string textOf(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                     static_cast<size_t>(ASN1_STRING_length(s)));
}

// The public suffix list (libpsl's newest), loaded once for the process and never freed.
const psl_ctx_t* publicSuffixes() {
  static const psl_ctx_t* psl = psl_latest(nullptr);
  return psl;
}

// A DNS name of a certificate (a name or a constraint's base) in the form hosts are compared
// in: lower case, without a trailing dot.
std::string canonicalCertName(const ASN1_STRING* name) {
  std::string text = lowercased(textOf(name));
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// Whether `pattern`, a canonical DNS name of a certificate, names `host` (canonical). A
// wildcard stands only as the whole leftmost label, for exactly one label, over at least two
// labels that are not together a public suffix of the list's ICANN section: "*.example.com"
// names foo.example.com but not example.com or a.foo.example.com; "f*.example.com",
// "*o.example.com", "*.co.uk" and "*.com" name nothing.
bool dnsNameMatches(const std::string& pattern, const std::string& host) {
  if (pattern.find('*') == std::string::npos) return pattern == host;
  if (pattern.compare(0, 2, "*.") != 0) return false;
  std::string parent = pattern.substr(2);
  if (parent.find('*') != std::string::npos || parent.find('.') == std::string::npos ||
      parent.front() == '.' || parent.back() == '.' || parent.find("..") != std::string::npos) {
    return false;
  }
  size_t dot = host.find('.');
  if (dot == 0 || dot == std::string::npos ||
      host.compare(dot + 1, std::string::npos, parent) != 0) {
    return false;
  }
  const psl_ctx_t* psl = publicSuffixes();
  return !psl || psl_is_public_suffix2(psl, parent.c_str(), PSL_TYPE_ICANN) == 0;
}

// The leaf's DNS subject alternative names, canonical. The subject's common name never stands
// in for them.
std::vector<std::string> leafDNSNames(X509* leaf) {
  auto* names =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(leaf, NID_subject_alt_name, nullptr, nullptr));
  std::vector<std::string> out;
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type == GEN_DNS) out.push_back(canonicalCertName(name->d.dNSName));
  }
  GENERAL_NAMES_free(names);
  return out;
}

// Whether a DNS name constraint (RFC 5280 4.2.1.10) covers `host` (canonical): "example.com"
// covers example.com and every name below it, ".example.com" only the names below it, an
// empty one every name.
bool constraintCovers(const GENERAL_SUBTREE* subtree, const std::string& host) {
  if (subtree->base->type != GEN_DNS) return false;
  std::string base = canonicalCertName(subtree->base->d.dNSName);
  if (base.empty()) return true;
  if (host.size() < base.size() || host.compare(host.size() - base.size(), base.size(), base)) {
    return false;
  }
  return host.size() == base.size() || base.front() == '.' ||
         host[host.size() - base.size() - 1] == '.';
}

// Whether every one of `names` (canonical) lies within the DNS name constraints of every CA
// above the leaf in `chain`. OpenSSL holds the leaf's own names to them, but compares them as
// written ("bar.example.com." escapes an exclusion of bar.example.com), and a wildcard within
// a permitted subtree may still name a host a CA excludes.
bool namesWithinNameConstraints(STACK_OF(X509) * chain, const std::vector<std::string>& names) {
  for (int i = 1; i < sk_X509_num(chain); ++i) {
    auto* nc = static_cast<NAME_CONSTRAINTS*>(
        X509_get_ext_d2i(sk_X509_value(chain, i), NID_name_constraints, nullptr, nullptr));
    if (!nc) continue;
    bool within = true;
    for (const std::string& name : names) {
      bool dnsPermits = false;
      bool permitted = false;
      bool excluded = false;
      for (int j = 0; j < sk_GENERAL_SUBTREE_num(nc->permittedSubtrees); ++j) {
        const GENERAL_SUBTREE* subtree = sk_GENERAL_SUBTREE_value(nc->permittedSubtrees, j);
        dnsPermits = dnsPermits || subtree->base->type == GEN_DNS;
        permitted = permitted || constraintCovers(subtree, name);
      }
      for (int j = 0; j < sk_GENERAL_SUBTREE_num(nc->excludedSubtrees); ++j) {
        excluded =
            excluded || constraintCovers(sk_GENERAL_SUBTREE_value(nc->excludedSubtrees, j), name);
      }
      within = within && !excluded && (!dnsPermits || permitted);
    }
    NAME_CONSTRAINTS_free(nc);
    if (!within) return false;
  }
  return true;
}

// The keys the phone takes from a server: RSA of 2048 bits or more, EC on P-256, P-384 or
// P-521. Other curves (P-192, ...), DSA and the rest are refused.
bool acceptedServerKey(EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
      return EVP_PKEY_get_bits(key) >= 2048;
    case EVP_PKEY_EC: {
      char group[80];
      size_t length = 0;
      if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1) return false;
      int curve = OBJ_sn2nid(group);
      if (curve == NID_undef) curve = EC_curve_nist2nid(group);
      return curve == NID_X9_62_prime256v1 || curve == NID_secp384r1 || curve == NID_secp521r1;
    }
    default:
      return false;
  }
}

// The phone's rules for a TLS server's chain, beyond a valid path to an anchor and the host
// name: serverAuth in the leaf's extended key usage; a leaf issued since 1 July 2019 valid
// for at most 825 days; accepted keys (acceptedServerKey) throughout; SHA-2 signatures on
// every certificate but the anchor (whose signature nobody checks). `chain` runs from the leaf
// to the anchor.
bool meetsServerRules(STACK_OF(X509)* chain) {
  int count = sk_X509_num(chain);
  if (count <= 0) return false;
  X509* leaf = sk_X509_value(chain, 0);
  if (!(X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) ||
      !(X509_get_extended_key_usage(leaf) & XKU_SSL_SERVER)) {
    return false;
  }
  constexpr time_t kValidityRuleStart = 1561939200;  // 2019-07-01T00:00:00Z
  constexpr int kMaximumValidityDays = 825;
  const ASN1_TIME* notBefore = X509_get0_notBefore(leaf);
  struct tm issued = {};
  if (!ASN1_TIME_to_tm(notBefore, &issued)) return false;
  if (timegm(&issued) >= kValidityRuleStart) {
    int days = 0;
    int seconds = 0;
    if (!ASN1_TIME_diff(&days, &seconds, notBefore, X509_get0_notAfter(leaf))) return false;
    if (days > kMaximumValidityDays || (days == kMaximumValidityDays && seconds > 0)) {
      return false;
    }
  }
  for (int i = 0; i < count; ++i) {
    X509* cert = sk_X509_value(chain, i);
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (!key || !acceptedServerKey(key)) return false;
    if (i == count - 1) break;  // the anchor's own signature is not part of the rules
    int digest = NID_undef;
    if (!X509_get_signature_info(cert, &digest, nullptr, nullptr, nullptr)) return false;
    if (digest != NID_sha224 && digest != NID_sha256 && digest != NID_sha384 &&
        digest != NID_sha512) {
      return false;
    }
  }
  return true;
}

// The system anchors: a list set by tests, or OpenSSL's default verify paths.
struct SystemAnchors {
  std::mutex mu;
  bool custom = false;
  std::vector<SecCertificateRef> anchors;
};
SystemAnchors& systemAnchors() {
  static auto* s = new SystemAnchors();
  return *s;
}

}  // namespace

// --- SecCertificate / SecKey ---

SecCertificate::~SecCertificate() { X509_free(x509_); }

bool SecCertificate::isEqual(const Object& other) const {
  auto o = dynamic_cast<const SecCertificate*>(&other);
  return o && X509_cmp(x509_, o->x509_) == 0;
}

std::shared_ptr<SecCertificate> SecCertificate::fromX509(x509_st* cert) {
  if (!cert) return nullptr;
  X509_up_ref(cert);
  return std::shared_ptr<SecCertificate>(new SecCertificate(cert));
}

SecKey::~SecKey() { EVP_PKEY_free(pkey_); }

bool SecKey::isEqual(const Object& other) const {
  auto o = dynamic_cast<const SecKey*>(&other);
  return o && EVP_PKEY_eq(pkey_, o->pkey_) == 1;
}

std::shared_ptr<SecKey> SecKey::fromPKey(evp_pkey_st* key) {
  if (!key) return nullptr;
  EVP_PKEY_up_ref(key);
  return std::shared_ptr<SecKey>(new SecKey(key));
}

SecCertificateRef SecCertificateCreateWithData(const Data& der) {
  if (der.empty()) return nullptr;
  const unsigned char* p = der.bytes();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.length()));
  if (!cert) return nullptr;
  if (p != der.bytes() + der.length()) {  // trailing bytes: not exactly one certificate
    X509_free(cert);
    return nullptr;
  }
  auto ref = SecCertificate::fromX509(cert);
  X509_free(cert);
  return ref;
}

Data SecCertificateCopyData(const SecCertificateRef& certificate) {
  return certificate ? derOf(certificate->x509()) : Data();
}

std::string SecCertificateCopySubjectSummary(const SecCertificateRef& certificate) {
  if (!certificate) return {};
  X509_NAME* name = X509_get_subject_name(certificate->x509());
  char buf[512];
  if (X509_NAME_get_text_by_NID(name, NID_commonName, buf, sizeof buf) > 0) return buf;
  char* line = X509_NAME_oneline(name, nullptr, 0);
  std::string s = line ? line : "";
  OPENSSL_free(line);
  return s;
}

SecKeyRef SecCertificateCopyKey(const SecCertificateRef& certificate) {
  if (!certificate) return nullptr;
  EVP_PKEY* key = X509_get0_pubkey(certificate->x509());
  return SecKey::fromPKey(key);
}

Data SecKeyCopyExternalRepresentation(const SecKeyRef& key) {
  return key ? derOfKey(key->pkey()) : Data();
}

// --- Policies ---

SecPolicyRef SecPolicyCreateBasicX509() {
  return std::make_shared<SecPolicy>(false, false, std::nullopt);
}

SecPolicyRef SecPolicyCreateSSL(bool server, std::optional<std::string> hostname) {
  if (hostname && hostname->empty()) hostname.reset();
  return std::make_shared<SecPolicy>(true, server, std::move(hostname));
}

// --- Trust ---

class SecTrust : public Object {
 public:
  std::string className() const override { return "SecTrust"; }

  mutable std::mutex mu;
  std::vector<SecCertificateRef> presented;
  std::vector<SecPolicyRef> policies;
  std::vector<SecCertificateRef> anchors;
  bool anchorsOnly = true;
  std::optional<double> verifyDate;
  bool evaluated = false;
  SecTrustResultType result = kSecTrustResultInvalid;
  OSStatus failure = errSecSuccess;
  // The failure is a valid chain that breaks the phone's rules for server certificates.
  bool notCompliant = false;
  std::vector<SecCertificateRef> chain;

  void invalidate() {
    evaluated = false;
    result = kSecTrustResultInvalid;
    chain.clear();
  }

  // REQUIRES: mu held.
  void evaluateLocked();
};

void SecTrust::evaluateLocked() {
  evaluated = true;
  chain.assign(1, presented[0]);
  failure = errSecNotTrusted;
  notCompliant = false;
  result = kSecTrustResultRecoverableTrustFailure;

  X509_STORE* store = X509_STORE_new();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  if (!store || !untrusted || !ctx) {
    result = kSecTrustResultOtherError;
    X509_STORE_free(store);
    sk_X509_free(untrusted);
    X509_STORE_CTX_free(ctx);
    return;
  }
  bool useSystem = anchors.empty() || !anchorsOnly;
  for (auto& a : anchors) X509_STORE_add_cert(store, a->x509());
  if (useSystem) {
    auto& sys = systemAnchors();
    std::lock_guard<std::mutex> lock(sys.mu);
    if (sys.custom) {
      for (auto& a : sys.anchors) X509_STORE_add_cert(store, a->x509());
    } else {
      X509_STORE_set_default_paths(store);
    }
    for (X509* c : loadDeviceAnchors()) {
      X509_STORE_add_cert(store, c);
      X509_free(c);
    }
  }
  for (size_t i = 1; i < presented.size(); ++i) sk_X509_push(untrusted, presented[i]->x509());

  X509_STORE_CTX_init(ctx, store, presented[0]->x509(), untrusted);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
  // A trusted intermediate given as an anchor ends the chain there, as on the platform.
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
  if (verifyDate) X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(*verifyDate));
  bool serverRules = false;
  bool hostMismatch = false;  // no name of the leaf names the host, or none can
  // Held to the CAs' name constraints once the chain is built: the hosts and the leaf's names.
  std::vector<std::string> dnsNames;
  const std::vector<std::string> leafNames = leafDNSNames(presented[0]->x509());
  for (auto& p : policies) {
    if (!p->isSSL()) continue;
    if (p->isServer()) {
      X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
      serverRules = true;
    }
    if (p->hostname()) {
      // The host in the one form the connection reached it by.
      const std::optional<std::string> host = canonicalHostName(*p->hostname());
      if (!host) {
        hostMismatch = true;  // no name a certificate can hold
      } else if (isIPAddress(*host)) {
        hostMismatch = hostMismatch || X509_VERIFY_PARAM_set1_ip_asc(param, host->c_str()) != 1;
      } else {
        // Matched here rather than by OpenSSL, whose wildcards are looser than the phone's.
        hostMismatch = hostMismatch || std::none_of(leafNames.begin(), leafNames.end(),
                                                    [&](const std::string& name) {
                                                      return dnsNameMatches(name, *host);
                                                    });
        dnsNames.push_back(*host);
      }
    }
  }
  if (!dnsNames.empty()) dnsNames.insert(dnsNames.end(), leafNames.begin(), leafNames.end());
  int ok = X509_verify_cert(ctx);
  if (ok == 1) {
    chain.clear();
    STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx);
    for (int i = 0; built && i < sk_X509_num(built); ++i) {
      chain.push_back(SecCertificate::fromX509(sk_X509_value(built, i)));
    }
    // A valid path to a server certificate the phone refuses fails, its chain kept.
    hostMismatch = hostMismatch || !namesWithinNameConstraints(built, dnsNames);
    if (hostMismatch) {
      failure = errSecHostNameMismatch;
    } else if (serverRules && !meetsServerRules(built)) {
      notCompliant = true;
    } else {
      result = kSecTrustResultUnspecified;
      failure = errSecSuccess;
    }
  } else {
    // Even an untrusted chain is the one built from the leaf: each certificate issued and
    // signed by the next. A presented certificate that does not chain to the leaf (say, a
    // pinned one appended by someone else) is never part of it.
    STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx);
    for (int i = 1; built && i < sk_X509_num(built); ++i) {
      X509* child = chain.back()->x509();
      X509* issuer = sk_X509_value(built, i);
      EVP_PKEY* key = X509_get0_pubkey(issuer);
      if (X509_check_issued(issuer, child) != X509_V_OK || !key || X509_verify(child, key) != 1) {
        break;
      }
      chain.push_back(SecCertificate::fromX509(issuer));
    }
    // A wrong name is told before a lapsed date.
    int err = X509_STORE_CTX_get_error(ctx);
    if (err == X509_V_ERR_IP_ADDRESS_MISMATCH) {
      failure = errSecHostNameMismatch;
    } else if (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID) {
      failure = hostMismatch ? errSecHostNameMismatch : errSecCertificateExpired;
    }
  }
  X509_STORE_CTX_free(ctx);
  sk_X509_free(untrusted);
  X509_STORE_free(store);
}

OSStatus SecTrustCreateWithCertificates(const std::vector<SecCertificateRef>& certificates,
                                        const std::vector<SecPolicyRef>& policies,
                                        SecTrustRef* trust) {
  if (!trust) return errSecParam;
  *trust = nullptr;
  if (certificates.empty()) return errSecParam;
  for (auto& c : certificates) {
    if (!c) return errSecParam;
  }
  auto t = std::make_shared<SecTrust>();
  t->presented = certificates;
  t->policies = policies;
  if (t->policies.empty()) t->policies.push_back(SecPolicyCreateBasicX509());
  *trust = t;
  return errSecSuccess;
}

OSStatus SecTrustSetPolicies(const SecTrustRef& trust, const std::vector<SecPolicyRef>& policies) {
  if (!trust) return errSecParam;
  std::lock_guard<std::mutex> lock(trust->mu);
  trust->policies.clear();
  for (auto& p : policies) {
    if (p) trust->policies.push_back(p);
  }
  if (trust->policies.empty()) trust->policies.push_back(SecPolicyCreateBasicX509());
  trust->invalidate();
  return errSecSuccess;
}

std::vector<SecPolicyRef> SecTrustCopyPolicies(const SecTrustRef& trust) {
  if (!trust) return {};
  std::lock_guard<std::mutex> lock(trust->mu);
  return trust->policies;
}

OSStatus SecTrustSetAnchorCertificates(const SecTrustRef& trust,
                                       const std::vector<SecCertificateRef>& anchors) {
  if (!trust) return errSecParam;
  std::lock_guard<std::mutex> lock(trust->mu);
  trust->anchors.clear();
  for (auto& a : anchors) {
    if (a) trust->anchors.push_back(a);
  }
  trust->anchorsOnly = true;
  trust->invalidate();
  return errSecSuccess;
}

OSStatus SecTrustSetAnchorCertificatesOnly(const SecTrustRef& trust, bool anchorsOnly) {
  if (!trust) return errSecParam;
  std::lock_guard<std::mutex> lock(trust->mu);
  trust->anchorsOnly = anchorsOnly;
  trust->invalidate();
  return errSecSuccess;
}

OSStatus SecTrustSetVerifyDate(const SecTrustRef& trust, double secondsSince1970) {
  if (!trust) return errSecParam;
  std::lock_guard<std::mutex> lock(trust->mu);
  trust->verifyDate = secondsSince1970;
  trust->invalidate();
  return errSecSuccess;
}

OSStatus SecTrustEvaluate(const SecTrustRef& trust, SecTrustResultType* result) {
  if (!trust) return errSecParam;
  std::lock_guard<std::mutex> lock(trust->mu);
  trust->evaluateLocked();
  if (result) *result = trust->result;
  return errSecSuccess;
}

bool SecTrustEvaluateWithError(const SecTrustRef& trust, NSErrorRef* error) {
  if (!trust) {
    if (error) *error = NSError::make(NSOSStatusErrorDomain, errSecParam, "No trust to evaluate");
    return false;
  }
  std::lock_guard<std::mutex> lock(trust->mu);
  trust->evaluateLocked();
  bool ok = trust->result == kSecTrustResultUnspecified || trust->result == kSecTrustResultProceed;
  if (!ok && error) {
    std::string summary = SecCertificateCopySubjectSummary(trust->presented[0]);
    std::string text;
    switch (trust->failure) {
      case errSecCertificateExpired:
        text = "“" + summary + "” certificate is expired";
        break;
      case errSecHostNameMismatch:
        text = "“" + summary + "” certificate name does not match input";
        break;
      default:
        text = "“" + summary + "” certificate is " +
               (trust->notCompliant ? "not standards compliant" : "not trusted");
        break;
    }
    *error = NSError::make(NSOSStatusErrorDomain, trust->failure, text);
  }
  return ok;
}

SecTrustResultType SecTrustGetTrustResult(const SecTrustRef& trust) {
  if (!trust) return kSecTrustResultInvalid;
  std::lock_guard<std::mutex> lock(trust->mu);
  return trust->evaluated ? trust->result : kSecTrustResultInvalid;
}

int64_t SecTrustGetCertificateCount(const SecTrustRef& trust) {
  if (!trust) return 0;
  std::lock_guard<std::mutex> lock(trust->mu);
  if (!trust->evaluated) trust->evaluateLocked();
  return static_cast<int64_t>(trust->chain.size());
}

SecCertificateRef SecTrustGetCertificateAtIndex(const SecTrustRef& trust, int64_t index) {
  if (!trust || index < 0) return nullptr;
  std::lock_guard<std::mutex> lock(trust->mu);
  if (!trust->evaluated) trust->evaluateLocked();
  if (static_cast<size_t>(index) >= trust->chain.size()) return nullptr;
  return trust->chain[static_cast<size_t>(index)];
}

SecKeyRef SecTrustCopyPublicKey(const SecTrustRef& trust) {
  if (!trust) return nullptr;
  std::lock_guard<std::mutex> lock(trust->mu);
  return SecCertificateCopyKey(trust->presented[0]);
}

void SecTrustSetSystemAnchorCertificates(std::vector<SecCertificateRef> anchors) {
  auto& sys = systemAnchors();
  std::lock_guard<std::mutex> lock(sys.mu);
  sys.custom = true;
  sys.anchors.clear();
  for (auto& a : anchors) {
    if (a) sys.anchors.push_back(std::move(a));
  }
}

std::string SecTrustDeviceAnchorsPath() { return DeviceRoot::platformStatePath() + "/TrustAnchors"; }

bool SecTrustAddDeviceAnchorCertificate(const SecCertificateRef& certificate) {
  if (!certificate) return false;
  std::string dir = SecTrustDeviceAnchorsPath();
  mkdir(dir.c_str(), 0755);
  Data der = derOf(certificate->x509());
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  EVP_Digest(der.bytes(), der.length(), md, &mdLen, EVP_sha1(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string name;
  for (unsigned i = 0; i < mdLen; ++i) {
    name += hex[md[i] >> 4];
    name += hex[md[i] & 15];
  }
  std::string path = dir + "/" + name + ".der";
  // Opened without blocking and truncated only once known to be a regular file: a named pipe
  // under this name would otherwise hold the caller until someone read it.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0 &&
            ::ftruncate(fd, 0) == 0 &&
            ::write(fd, der.bytes(), der.length()) == static_cast<ssize_t>(der.length());
  ::close(fd);
  return ok;
}

void SecTrustResetSystemAnchorCertificates() {
  auto& sys = systemAnchors();
  std::lock_guard<std::mutex> lock(sys.mu);
  sys.custom = false;
  sys.anchors.clear();
}

}  // namespace plat
