#pragma once
// The aggregation layer's codec helpers: MD5, Base64 and DES (single DES, ECB, PKCS#7, no
// initialisation vector) with Base64 on strings and data, and compact JSON of dictionaries
// and arrays. Thread-safe (no shared state).
//
// DES keys: the key text's bytes, zero-filled when it has fewer than 8 and cut to its first
// 8 bytes when it has more. Every DES user of the aggregation layer forms its key here.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Value.h"

struct NSString_Extend {
  // "" for ""; otherwise the MD5 of the text's bytes up to the first zero byte as 32
  // lowercase hexadecimal characters.
  static std::string md5Stringg(const std::string& s);
  // "" for ""; otherwise standard Base64 (padded, one line) of the bytes.
  static std::string base64Stringg(const std::string& s);
  // The Base64-decoded text; "" when the text is not Base64 or its bytes are not UTF-8.
  static std::string stringFromBase64Stringg(const std::string& s);
  // Base64 of the DES encryption of the text; nullopt when encryption fails.
  static std::optional<std::string> base64FromDES128Encrypt(const std::string& s,
                                                            const std::string& key);
  // The same with every "+" written "%2B" ("/" and "=" stay).
  static std::optional<std::string> urlEncodeFromBase64StrOfDES128Encryptt(const std::string& s,
                                                                         const std::string& key);
  // "%2B" back to "+", then Base64-decoded, DES-decrypted and read as UTF-8; nullopt when a
  // step fails.
  static std::optional<std::string> urlDecodeFromBase64StrOfDes128Decryptt(const std::string& s,
                                                                         const std::string& key);
  // Base64-decoded, DES-decrypted and read as UTF-8; nullopt when a step fails.
  static std::optional<std::string> DES128DecryptBase64StrWithKey(const std::string& s,
                                                                  const std::string& key);
};

struct NSData_Extend {
  // The 8 key bytes of a key text (see the top of this header).
  static std::array<uint8_t, 8> desKeyFromText(const std::string& key);
  // DES encryption; nullopt on failure.
  static std::optional<plat::Data> des128Encryptt(const plat::Data& data, const std::string& key);
  // DES decryption; nullopt on failure, including bad padding or a length that is not a
  // whole number of blocks.
  static std::optional<plat::Data> des128Decryptt(const plat::Data& data, const std::string& key);
};

struct NSDictionary_Extend {
  // Compact JSON (UTF-8, no whitespace, keys sorted) of a dictionary or array; nullopt (and
  // the log line "json封装错误：NSJSONSerialization #CREAT# fail") when it cannot be written.
  static std::optional<std::string> jsonString(const plat::Value& value);
  static std::optional<plat::Data> jsonData(const plat::Value& value);
  // The JSON value of the data, whatever its top level; nil (and the log lines
  // "json解析错误：NSJSONSerialization #ANALYZE# fail" and "json解析错误：error %@") when it
  // cannot be parsed.
  static plat::Value dictionaryFromJsonData(const plat::Data& data);
  static plat::Value arrayFromJsonData(const plat::Data& data);
};
