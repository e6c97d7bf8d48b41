// The test PKI: EC P-256 keys and X.509 certificates made with OpenSSL at first use, each
// meeting the phone's rules for TLS server certificates (subjectAltName, serverAuth, SHA-256,
// leaves valid for less than 825 days), and certificates issued on demand by a spec.

#include <openssl/bio.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

#include "testing/net/LoopbackServer.h"

namespace testing_net {

namespace {

struct Made {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

EVP_PKEY* newKey(const std::string& curve = "P-256") {
  EVP_PKEY* key = EVP_EC_gen(curve.c_str());
  if (!key) throw std::runtime_error("EC key generation failed");
  return key;
}

// A 2048-bit DSA key (parameters made once: making them takes a while).
EVP_PKEY* newDSAKey() {
  static EVP_PKEY* params = [] {
    EVP_PKEY* made = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    if (!ctx || EVP_PKEY_paramgen_init(ctx) <= 0 ||
        EVP_PKEY_CTX_set_dsa_paramgen_bits(ctx, 2048) <= 0 || EVP_PKEY_paramgen(ctx, &made) <= 0) {
      made = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    return made;
  }();
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* ctx = params ? EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr) : nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_keygen(ctx, &key) <= 0) key = nullptr;
  EVP_PKEY_CTX_free(ctx);
  if (!key) throw std::runtime_error("DSA key generation failed");
  return key;
}

void addExt(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) throw std::runtime_error("bad certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate by `spec` with `key`, signed by `issuer` (self-signed when null).
Made makeCert(const CertificateSpec& spec, EVP_PKEY* key, const Made* issuer, long serial) {
  Made m;
  m.key = key;
  m.cert = X509_new();
  X509_set_version(m.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(m.cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(m.cert), spec.notBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(m.cert), spec.notAfterDays * 86400L);
  X509_set_pubkey(m.cert, key);
  X509_NAME* name = X509_get_subject_name(m.cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Lumora Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(spec.commonName.c_str()), -1,
                             -1, 0);
  X509* issuerCert = issuer ? issuer->cert : m.cert;
  bool ca = spec.certificateAuthority;
  X509_set_issuer_name(m.cert, X509_get_subject_name(issuerCert));
  addExt(m.cert, issuerCert, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  addExt(m.cert, issuerCert, NID_key_usage,
         ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
  addExt(m.cert, issuerCert, NID_subject_key_identifier, "hash");
  if (issuer) addExt(m.cert, issuerCert, NID_authority_key_identifier, "keyid");
  if (!ca && spec.serverAuth) addExt(m.cert, issuerCert, NID_ext_key_usage, "serverAuth");
  if (!spec.subjectAltName.empty()) {
    addExt(m.cert, issuerCert, NID_subject_alt_name, spec.subjectAltName.c_str());
  }
  if (!spec.nameConstraints.empty()) {
    addExt(m.cert, issuerCert, NID_name_constraints, spec.nameConstraints.c_str());
  }
  if (!X509_sign(m.cert, issuer ? issuer->key : key, spec.sha1 ? EVP_sha1() : EVP_sha256())) {
    throw std::runtime_error("certificate signing failed");
  }
  return m;
}

CertificateSpec authority(const char* cn) {
  CertificateSpec spec;
  spec.commonName = cn;
  spec.subjectAltName.clear();
  spec.certificateAuthority = true;
  spec.notAfterDays = 3650;
  return spec;
}

CertificateSpec leafFor(const char* cn, const std::string& san, long notBeforeDays,
                        long notAfterDays) {
  CertificateSpec spec;
  spec.commonName = cn;
  spec.subjectAltName = san;
  spec.notBeforeDays = notBeforeDays;
  spec.notAfterDays = notAfterDays;
  return spec;
}

TestCertificate exportCert(const Made& m) {
  TestCertificate out;
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(b, m.cert);
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  out.certPEM.assign(p, static_cast<size_t>(n));
  BIO_free(b);
  b = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(b, m.key, nullptr, nullptr, 0, nullptr, nullptr);
  n = BIO_get_mem_data(b, &p);
  out.keyPEM.assign(p, static_cast<size_t>(n));
  BIO_free(b);
  unsigned char* der = nullptr;
  int len = i2d_X509(m.cert, &der);
  out.der = plat::Data(der, static_cast<size_t>(len));
  OPENSSL_free(der);
  return out;
}

}  // namespace

const TestPKI& TestPKI::shared() {
  static const TestPKI* pki = [] {
    auto* p = new TestPKI();
    const std::string kSAN = CertificateSpec().subjectAltName;
    Made root = makeCert(authority("Lumora Test Root CA"), newKey(), nullptr, 1);
    Made inter = makeCert(authority("Lumora Test Intermediate CA"), newKey(), &root, 2);
    EVP_PKEY* leafKey = newKey();
    Made leaf = makeCert(leafFor("127.0.0.1", kSAN, -1, 365), leafKey, &inter, 3);
    EVP_PKEY_up_ref(leafKey);
    Made reissued = makeCert(leafFor("127.0.0.1", kSAN, -1, 730), leafKey, &inter, 4);
    Made expired = makeCert(leafFor("127.0.0.1", kSAN, -30, -1), newKey(), &inter, 5);
    Made other =
        makeCert(leafFor("other.example", "DNS:other.example", -1, 365), newKey(), &inter, 6);
    Made otherRoot = makeCert(authority("Lumora Other Root CA"), newKey(), nullptr, 7);
    Made otherLeaf = makeCert(leafFor("127.0.0.1", kSAN, -1, 365), newKey(), &otherRoot, 8);
    p->root = exportCert(root);
    p->intermediate = exportCert(inter);
    p->leaf = exportCert(leaf);
    p->reissuedLeaf = exportCert(reissued);
    p->expiredLeaf = exportCert(expired);
    p->otherHostLeaf = exportCert(other);
    p->otherRoot = exportCert(otherRoot);
    p->otherRootLeaf = exportCert(otherLeaf);
    for (Made* m : {&root, &inter, &leaf, &reissued, &expired, &other, &otherRoot, &otherLeaf}) {
      X509_free(m->cert);
      EVP_PKEY_free(m->key);
    }
    return p;
  }();
  return *pki;
}

TestCertificate TestPKI::issue(const TestCertificate& issuer, const CertificateSpec& spec) {
  static std::atomic<long> serial{100};
  Made signer;
  BIO* b = BIO_new_mem_buf(issuer.certPEM.data(), static_cast<int>(issuer.certPEM.size()));
  signer.cert = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
  BIO_free(b);
  b = BIO_new_mem_buf(issuer.keyPEM.data(), static_cast<int>(issuer.keyPEM.size()));
  signer.key = PEM_read_bio_PrivateKey(b, nullptr, nullptr, nullptr);
  BIO_free(b);
  if (!signer.cert || !signer.key) throw std::runtime_error("unreadable issuer");
  EVP_PKEY* key = spec.rsaBits            ? EVP_RSA_gen(static_cast<unsigned>(spec.rsaBits))
                  : spec.keyType == "DSA" ? newDSAKey()
                                          : newKey(spec.keyType);
  if (!key) throw std::runtime_error("RSA key generation failed");
  Made made = makeCert(spec, key, &signer, serial++);
  TestCertificate out = exportCert(made);
  for (Made* m : {&signer, &made}) {
    X509_free(m->cert);
    EVP_PKEY_free(m->key);
  }
  return out;
}

TLSIdentity TLSIdentity::withIntermediate(const TestCertificate& leaf) {
  return TLSIdentity{{leaf.certPEM, TestPKI::shared().intermediate.certPEM}, leaf.keyPEM};
}

TLSIdentity TLSIdentity::alone(const TestCertificate& leaf) {
  return TLSIdentity{{leaf.certPEM}, leaf.keyPEM};
}

}  // namespace testing_net
