// Digests, HMAC, ciphers and Base64 against published test vectors.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/security/CommonCrypto.h"

using namespace plat;

namespace {

std::string hex(const unsigned char* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::vector<unsigned char> unhex(const std::string& s) {
  std::vector<unsigned char> v;
  for (size_t i = 0; i + 1 < s.size(); i += 2) v.push_back(std::stoi(s.substr(i, 2), nullptr, 16));
  return v;
}

TEST(CommonCrypto, MD5AndHMACMatchPublishedVectors) {
  unsigned char md[CC_MD5_DIGEST_LENGTH];
  CC_MD5("", 0, md);
  EXPECT_EQ(hex(md, 16), "d41d8cd98f00b204e9800998ecf8427e");
  CC_MD5("The quick brown fox jumps over the lazy dog", 43, md);
  EXPECT_EQ(hex(md, 16), "9e107d9d372bb6826bd81d3542a419d6");

  unsigned char mac[CC_SHA1_DIGEST_LENGTH];
  const char* msg = "The quick brown fox jumps over the lazy dog";
  CCHmac(kCCHmacAlgSHA1, "key", 3, msg, std::strlen(msg), mac);
  EXPECT_EQ(hex(mac, 20), "de7c9b85b8b78aa6bc8a7a36f70a90701c9db4d9");
  CCHmac(kCCHmacAlgSHA1, nullptr, 0, nullptr, 0, mac);
  EXPECT_EQ(hex(mac, 20), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}

TEST(CommonCrypto, AESAndDESMatchVectorsAndRoundTrip) {
  // FIPS-197 AES-128 single block, ECB without padding.
  auto key = unhex("000102030405060708090a0b0c0d0e0f");
  auto plain = unhex("00112233445566778899aabbccddeeff");
  unsigned char out[64];
  size_t moved = 0;
  ASSERT_EQ(CCCrypt(kCCEncrypt, kCCAlgorithmAES128, kCCOptionECBMode, key.data(), 16, nullptr,
                    plain.data(), 16, out, sizeof out, &moved),
            kCCSuccess);
  EXPECT_EQ(hex(out, moved), "69c4e0d86a7b0430d8cdb78070b4c55a");

  // DES (FIPS 81 example): key 0123456789abcdef, "Now is t" -> 3fa40e8a984d4815.
  auto desKey = unhex("0123456789abcdef");
  ASSERT_EQ(CCCrypt(kCCEncrypt, kCCAlgorithmDES, kCCOptionECBMode, desKey.data(), 8, nullptr,
                    "Now is t", 8, out, sizeof out, &moved),
            kCCSuccess);
  EXPECT_EQ(hex(out, moved), "3fa40e8a984d4815");

  // CBC with PKCS#7 padding round-trips for each algorithm and key size.
  std::string text = "attack at dawn, bring snacks";
  struct Case {
    CCAlgorithm alg;
    size_t keyLen, block;
  } cases[] = {{kCCAlgorithmAES, 16, 16},
               {kCCAlgorithmAES, 24, 16},
               {kCCAlgorithmAES, 32, 16},
               {kCCAlgorithmDES, 8, 8},
               {kCCAlgorithm3DES, 24, 8}};
  for (auto& c : cases) {
    std::vector<unsigned char> k(c.keyLen, 0x5a), iv(c.block, 0x11);
    unsigned char enc[64], dec[64];
    size_t encLen = 0, decLen = 0;
    ASSERT_EQ(CCCrypt(kCCEncrypt, c.alg, kCCOptionPKCS7Padding, k.data(), k.size(), iv.data(),
                      text.data(), text.size(), enc, sizeof enc, &encLen),
              kCCSuccess);
    EXPECT_EQ(encLen % c.block, 0u);
    EXPECT_GT(encLen, text.size());
    ASSERT_EQ(CCCrypt(kCCDecrypt, c.alg, kCCOptionPKCS7Padding, k.data(), k.size(), iv.data(), enc,
                      encLen, dec, sizeof dec, &decLen),
              kCCSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dec), decLen), text);
  }
}

TEST(CommonCrypto, CipherMisuseIsReported) {
  std::vector<unsigned char> key(16, 1);
  unsigned char out[64];
  size_t moved = 0;
  EXPECT_EQ(CCCrypt(kCCEncrypt, kCCAlgorithmAES, 0, key.data(), 15, nullptr, "0123456789abcdef", 16,
                    out, sizeof out, &moved),
            kCCParamError);
  EXPECT_EQ(CCCrypt(kCCEncrypt, kCCAlgorithmAES, 0, key.data(), 16, nullptr, "short", 5, out,
                    sizeof out, &moved),
            kCCAlignmentError);
  EXPECT_EQ(CCCrypt(kCCEncrypt, kCCAlgorithmAES, kCCOptionPKCS7Padding, key.data(), 16, nullptr,
                    "0123456789abcdef", 16, out, 16, &moved),
            kCCBufferTooSmall);
  EXPECT_EQ(moved, 32u);
  // Decrypting garbage with padding fails instead of returning junk.
  unsigned char junk[16];
  std::memset(junk, 0x42, sizeof junk);
  EXPECT_EQ(CCCrypt(kCCDecrypt, kCCAlgorithmAES, kCCOptionPKCS7Padding, key.data(), 16, nullptr,
                    junk, 16, out, sizeof out, &moved),
            kCCDecodeError);
}

TEST(Base64, EncodesDecodesAndRefusesMalformedText) {
  EXPECT_EQ(base64Encode("", 0), "");
  EXPECT_EQ(base64Encode("f", 1), "Zg==");
  EXPECT_EQ(base64Encode("fo", 2), "Zm8=");
  EXPECT_EQ(base64Encode("foo", 3), "Zm9v");
  EXPECT_EQ(base64Encode("user:pass", 9), "dXNlcjpwYXNz");
  std::string long64(100, 'a');
  std::string wrapped = base64Encode(long64.data(), long64.size(), 64);
  EXPECT_EQ(wrapped.find("\r\n"), 64u);

  EXPECT_EQ(base64Decode("Zm9vYg==")->toString(), "foob");
  EXPECT_EQ(base64Decode("")->toString(), "");
  EXPECT_FALSE(base64Decode("Zm9vYg"));    // missing padding
  EXPECT_FALSE(base64Decode("Zm9v!g=="));  // bad character
  EXPECT_FALSE(base64Decode("Zg==Zg=="));  // data after padding
  EXPECT_FALSE(base64Decode("Z==="));
  EXPECT_EQ(base64Decode(wrapped, true)->toString(), long64);
  EXPECT_FALSE(base64Decode(wrapped, false));
}

}  // namespace
