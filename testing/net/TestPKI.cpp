// The test PKI: EC P-256 keys and X.509 certificates made with OpenSSL at first use.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "testing/net/LoopbackServer.h"

namespace testing_net {

namespace {

struct Made {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

EVP_PKEY* newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("EC key generation failed");
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

// A certificate for `cn` with `key`, signed by `issuer` (self-signed when null).
Made makeCert(const char* cn, EVP_PKEY* key, const Made* issuer, bool ca, const char* san,
              long serial, long notBeforeDays, long notAfterDays) {
  Made m;
  m.key = key;
  m.cert = X509_new();
  X509_set_version(m.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(m.cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(m.cert), notBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(m.cert), notAfterDays * 86400L);
  X509_set_pubkey(m.cert, key);
  X509_NAME* name = X509_get_subject_name(m.cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Lumora Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509* issuerCert = issuer ? issuer->cert : m.cert;
  X509_set_issuer_name(m.cert, X509_get_subject_name(issuerCert));
  addExt(m.cert, issuerCert, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  addExt(m.cert, issuerCert, NID_key_usage,
         ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
  addExt(m.cert, issuerCert, NID_subject_key_identifier, "hash");
  if (issuer) addExt(m.cert, issuerCert, NID_authority_key_identifier, "keyid");
  if (!ca) addExt(m.cert, issuerCert, NID_ext_key_usage, "serverAuth");
  if (san) addExt(m.cert, issuerCert, NID_subject_alt_name, san);
  if (!X509_sign(m.cert, issuer ? issuer->key : key, EVP_sha256())) {
    throw std::runtime_error("certificate signing failed");
  }
  return m;
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
    const char* kSAN = "IP:127.0.0.1,DNS:localhost";
    Made root = makeCert("Lumora Test Root CA", newKey(), nullptr, true, nullptr, 1, -1, 3650);
    Made inter =
        makeCert("Lumora Test Intermediate CA", newKey(), &root, true, nullptr, 2, -1, 3650);
    EVP_PKEY* leafKey = newKey();
    Made leaf = makeCert("127.0.0.1", leafKey, &inter, false, kSAN, 3, -1, 365);
    EVP_PKEY_up_ref(leafKey);
    Made reissued = makeCert("127.0.0.1", leafKey, &inter, false, kSAN, 4, -1, 730);
    Made expired = makeCert("127.0.0.1", newKey(), &inter, false, kSAN, 5, -30, -1);
    Made other =
        makeCert("other.example", newKey(), &inter, false, "DNS:other.example", 6, -1, 365);
    Made otherRoot =
        makeCert("Lumora Other Root CA", newKey(), nullptr, true, nullptr, 7, -1, 3650);
    Made otherLeaf = makeCert("127.0.0.1", newKey(), &otherRoot, false, kSAN, 8, -1, 365);
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

TLSIdentity TLSIdentity::withIntermediate(const TestCertificate& leaf) {
  return TLSIdentity{{leaf.certPEM, TestPKI::shared().intermediate.certPEM}, leaf.keyPEM};
}

TLSIdentity TLSIdentity::alone(const TestCertificate& leaf) {
  return TLSIdentity{{leaf.certPEM}, leaf.keyPEM};
}

}  // namespace testing_net
