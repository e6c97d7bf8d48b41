#pragma once
// Digest, HMAC and symmetric-cipher functions in the shape of the platform's CommonCrypto,
// over OpenSSL, plus Base64. Thread-safe (no shared state). They never throw: failures come
// back as a CCCryptorStatus or an empty/absent result.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"

namespace plat {

inline constexpr size_t CC_MD5_DIGEST_LENGTH = 16;
inline constexpr size_t CC_SHA1_DIGEST_LENGTH = 20;

// MD5 of `length` bytes into `md` (CC_MD5_DIGEST_LENGTH bytes). Returns md.
unsigned char* CC_MD5(const void* data, size_t length, unsigned char* md);

enum CCHmacAlgorithm : uint32_t { kCCHmacAlgSHA1 = 0, kCCHmacAlgMD5 = 1 };
// HMAC of data under key into macOut (20 bytes for SHA-1, 16 for MD5).
void CCHmac(CCHmacAlgorithm algorithm, const void* key, size_t keyLength, const void* data,
            size_t dataLength, void* macOut);

using CCCryptorStatus = int32_t;
inline constexpr CCCryptorStatus kCCSuccess = 0;
inline constexpr CCCryptorStatus kCCParamError = -4300;
inline constexpr CCCryptorStatus kCCBufferTooSmall = -4301;
inline constexpr CCCryptorStatus kCCAlignmentError = -4303;
inline constexpr CCCryptorStatus kCCDecodeError = -4304;
inline constexpr CCCryptorStatus kCCUnimplemented = -4305;

enum CCOperation : uint32_t { kCCEncrypt = 0, kCCDecrypt = 1 };
enum CCAlgorithm : uint32_t {
  kCCAlgorithmAES128 = 0,
  kCCAlgorithmAES = 0,
  kCCAlgorithmDES = 1,
  kCCAlgorithm3DES = 2
};
enum CCOptions : uint32_t { kCCOptionPKCS7Padding = 1, kCCOptionECBMode = 2 };

inline constexpr size_t kCCBlockSizeAES128 = 16;
inline constexpr size_t kCCBlockSizeDES = 8;
inline constexpr size_t kCCBlockSize3DES = 8;
inline constexpr size_t kCCKeySizeAES128 = 16;
inline constexpr size_t kCCKeySizeAES192 = 24;
inline constexpr size_t kCCKeySizeAES256 = 32;
inline constexpr size_t kCCKeySizeDES = 8;
inline constexpr size_t kCCKeySize3DES = 24;

// One-shot encryption or decryption. CBC unless kCCOptionECBMode; `iv` may be null (zeros);
// the key length picks AES-128/192/256. Without kCCOptionPKCS7Padding the input must be a
// whole number of blocks (kCCAlignmentError otherwise). Returns kCCBufferTooSmall with
// *dataOutMoved set to the size needed when dataOut is too small, kCCParamError for a bad
// key size, kCCDecodeError when padding does not check out on decryption.
CCCryptorStatus CCCrypt(CCOperation op, CCAlgorithm alg, uint32_t options, const void* key,
                        size_t keyLength, const void* iv, const void* dataIn, size_t dataInLength,
                        void* dataOut, size_t dataOutAvailable, size_t* dataOutMoved);

// Base64 (standard alphabet, with padding). `lineLength` 64 or 76 breaks lines with CRLF as
// the platform's line-length options do; 0 writes one line.
std::string base64Encode(const void* bytes, size_t length, size_t lineLength = 0);
inline std::string base64Encode(const Data& data, size_t lineLength = 0) {
  return base64Encode(data.bytes(), data.length(), lineLength);
}
// Decodes Base64. Returns nullopt for malformed input (bad characters, bad length or
// padding), unless ignoreUnknownCharacters, which skips characters outside the alphabet
// (line breaks, spaces) as the platform's option does.
std::optional<Data> base64Decode(std::string_view text, bool ignoreUnknownCharacters = false);

}  // namespace plat
