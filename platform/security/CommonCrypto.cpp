// CommonCrypto-like helpers over OpenSSL's EVP interface.

#include "platform/security/CommonCrypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace plat {

namespace {

// DES lives in OpenSSL's legacy provider; load it once (next to the default provider).
void loadLegacyProvider() {
  // The providers stay loaded for the life of the process; their handles are kept (volatile:
  // a store the program never reads would be dropped by the optimizer) so they are not lost.
  static std::once_flag once;
  static OSSL_PROVIDER* volatile legacy = nullptr;
  static OSSL_PROVIDER* volatile fallback = nullptr;
  std::call_once(once, [] {
    legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    fallback = OSSL_PROVIDER_load(nullptr, "default");
  });
}

const EVP_CIPHER* cipherFor(CCAlgorithm alg, size_t keyLength, bool ecb) {
  switch (alg) {
    case kCCAlgorithmAES128:
      if (keyLength == kCCKeySizeAES128) return ecb ? EVP_aes_128_ecb() : EVP_aes_128_cbc();
      if (keyLength == kCCKeySizeAES192) return ecb ? EVP_aes_192_ecb() : EVP_aes_192_cbc();
      if (keyLength == kCCKeySizeAES256) return ecb ? EVP_aes_256_ecb() : EVP_aes_256_cbc();
      return nullptr;
    case kCCAlgorithmDES:
      if (keyLength != kCCKeySizeDES) return nullptr;
      loadLegacyProvider();
      return ecb ? EVP_des_ecb() : EVP_des_cbc();
    case kCCAlgorithm3DES:
      if (keyLength != kCCKeySize3DES) return nullptr;
      return ecb ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
  }
  return nullptr;
}

size_t blockSizeFor(CCAlgorithm alg) {
  return alg == kCCAlgorithmAES128 ? kCCBlockSizeAES128 : kCCBlockSizeDES;
}

}  // namespace

unsigned char* CC_MD5(const void* data, size_t length, unsigned char* md) {
  unsigned int len = 0;
  EVP_Digest(data, length, md, &len, EVP_md5(), nullptr);
  return md;
}

void CCHmac(CCHmacAlgorithm algorithm, const void* key, size_t keyLength, const void* data,
            size_t dataLength, void* macOut) {
  unsigned int len = 0;
  const EVP_MD* md = algorithm == kCCHmacAlgMD5 ? EVP_md5() : EVP_sha1();
  static const unsigned char kEmpty = 0;
  HMAC(md, key ? key : &kEmpty, static_cast<int>(keyLength),
       static_cast<const unsigned char*>(data ? data : &kEmpty), dataLength,
       static_cast<unsigned char*>(macOut), &len);
}

CCCryptorStatus CCCrypt(CCOperation op, CCAlgorithm alg, uint32_t options, const void* key,
                        size_t keyLength, const void* iv, const void* dataIn, size_t dataInLength,
                        void* dataOut, size_t dataOutAvailable, size_t* dataOutMoved) {
  if (dataOutMoved) *dataOutMoved = 0;
  if (!key || (op != kCCEncrypt && op != kCCDecrypt) || (dataInLength && !dataIn)) {
    return kCCParamError;
  }
  bool ecb = options & kCCOptionECBMode;
  bool padding = options & kCCOptionPKCS7Padding;
  const EVP_CIPHER* cipher = cipherFor(alg, keyLength, ecb);
  if (!cipher) return kCCParamError;
  size_t block = blockSizeFor(alg);
  if (!padding && dataInLength % block != 0) return kCCAlignmentError;
  if (op == kCCDecrypt && padding && dataInLength % block != 0) return kCCAlignmentError;

  size_t needed = op == kCCEncrypt && padding ? (dataInLength / block + 1) * block : dataInLength;
  if (dataOutAvailable < needed) {
    // Decryption with padding needs at most the input size; report that size.
    if (dataOutMoved) *dataOutMoved = needed;
    return kCCBufferTooSmall;
  }
  std::vector<unsigned char> zeroIV(block, 0);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  if (!ctx) return kCCParamError;
  const unsigned char* ivp =
      ecb ? nullptr : static_cast<const unsigned char*>(iv ? iv : zeroIV.data());
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, static_cast<const unsigned char*>(key), ivp,
                        op == kCCEncrypt ? 1 : 0) != 1) {
    return kCCParamError;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0);
  // Work in a scratch buffer: EVP may write a block beyond the final size while decrypting.
  std::vector<unsigned char> out(dataInLength + block);
  int outLen = 0;
  int finalLen = 0;
  if (EVP_CipherUpdate(ctx.get(), out.data(), &outLen, static_cast<const unsigned char*>(dataIn),
                       static_cast<int>(dataInLength)) != 1) {
    return kCCParamError;
  }
  if (EVP_CipherFinal_ex(ctx.get(), out.data() + outLen, &finalLen) != 1) {
    return op == kCCDecrypt ? kCCDecodeError : kCCParamError;
  }
  size_t total = static_cast<size_t>(outLen + finalLen);
  if (total > dataOutAvailable) {
    if (dataOutMoved) *dataOutMoved = total;
    return kCCBufferTooSmall;
  }
  if (total) std::memcpy(dataOut, out.data(), total);
  if (dataOutMoved) *dataOutMoved = total;
  return kCCSuccess;
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int decodeChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string base64Encode(const void* bytes, size_t length, size_t lineLength) {
  auto p = static_cast<const unsigned char*>(bytes);
  std::string out;
  out.reserve((length + 2) / 3 * 4 + 8);
  size_t col = 0;
  auto put = [&](char c) {
    if (lineLength && col == lineLength) {
      out += "\r\n";
      col = 0;
    }
    out += c;
    ++col;
  };
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (length - i == 1) {
    uint32_t v = p[i] << 16;
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put('=');
    put('=');
  } else if (length - i == 2) {
    uint32_t v = (p[i] << 16) | (p[i + 1] << 8);
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put('=');
  }
  return out;
}

std::optional<Data> base64Decode(std::string_view text, bool ignoreUnknownCharacters) {
  std::vector<int> values;
  values.reserve(text.size());
  size_t padding = 0;
  for (unsigned char c : text) {
    if (c == '=') {
      ++padding;
      continue;
    }
    int v = decodeChar(c);
    if (v < 0) {
      if (ignoreUnknownCharacters) continue;
      return std::nullopt;
    }
    if (padding) return std::nullopt;  // data after padding
    values.push_back(v);
  }
  // The platform requires whole groups of four (padding included).
  size_t total = values.size() + padding;
  if (padding > 2 || total % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(values.size() * 3 / 4);
  size_t i = 0;
  for (; i + 4 <= values.size(); i += 4) {
    uint32_t v = (values[i] << 18) | (values[i + 1] << 12) | (values[i + 2] << 6) | values[i + 3];
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  }
  size_t rest = values.size() - i;
  if (rest == 2) {
    uint32_t v = (values[i] << 18) | (values[i + 1] << 12);
    out.push_back(static_cast<uint8_t>(v >> 16));
  } else if (rest == 3) {
    uint32_t v = (values[i] << 18) | (values[i + 1] << 12) | (values[i + 2] << 6);
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
  }
  return Data(std::move(out));
}

}  // namespace plat
