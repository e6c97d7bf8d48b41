#include "aggregation/NSString+Extend.h"

#include <cstring>

#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/UTF16.h"
#include "platform/security/CommonCrypto.h"

namespace {

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
  return s;
}

// Single DES as three-key DES-EDE3 with the key three times: the same cipher, without
// OpenSSL's legacy provider.
std::optional<plat::Data> des(plat::CCOperation op, const plat::Data& data, const std::string& key) {
  auto k = NSData_Extend::desKeyFromText(key);
  uint8_t key3[plat::kCCKeySize3DES];
  for (int i = 0; i < 3; ++i) memcpy(key3 + 8 * i, k.data(), 8);
  plat::Data out;
  out.setLength(data.length() + plat::kCCBlockSizeDES);
  size_t moved = 0;
  plat::CCCryptorStatus status = plat::CCCrypt(
      op, plat::kCCAlgorithm3DES, plat::kCCOptionPKCS7Padding | plat::kCCOptionECBMode, key3,
      sizeof(key3), nullptr, data.bytes(), data.length(), out.mutableBytes(), out.length(), &moved);
  if (status != plat::kCCSuccess) return std::nullopt;
  out.setLength(moved);
  return out;
}

std::optional<std::string> decryptBase64(const std::string& text, const std::string& key) {
  auto raw = plat::base64Decode(text);
  if (!raw) return std::nullopt;
  auto plain = NSData_Extend::des128Decryptt(*raw, key);
  if (!plain) return std::nullopt;
  std::string s = plain->toString();
  if (!plat::isValidUTF8(s)) return std::nullopt;
  return s;
}

void logParseFailure(const plat::NSErrorRef& error) {
  plat::NSLog("json解析错误：NSJSONSerialization #ANALYZE# fail");
  plat::NSLog("json解析错误：error %@", error ? plat::Value(error) : plat::Value());
}

}  // namespace

std::string NSString_Extend::md5Stringg(const std::string& s) {
  if (s.empty()) return "";
  size_t len = strnlen(s.data(), s.size());
  unsigned char md[plat::CC_MD5_DIGEST_LENGTH];
  plat::CC_MD5(s.data(), len, md);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : md) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

std::string NSString_Extend::base64Stringg(const std::string& s) {
  if (s.empty()) return "";
  return plat::base64Encode(s.data(), s.size());
}

std::string NSString_Extend::stringFromBase64Stringg(const std::string& s) {
  auto raw = plat::base64Decode(s);
  if (!raw) return "";
  std::string text = raw->toString();
  return plat::isValidUTF8(text) ? text : "";
}

std::optional<std::string> NSString_Extend::base64FromDES128Encrypt(const std::string& s,
                                                                    const std::string& key) {
  auto enc = NSData_Extend::des128Encryptt(plat::Data::fromString(s), key);
  if (!enc) return std::nullopt;
  return plat::base64Encode(*enc);
}

std::optional<std::string> NSString_Extend::urlEncodeFromBase64StrOfDES128Encryptt(
    const std::string& s, const std::string& key) {
  auto b = base64FromDES128Encrypt(s, key);
  if (!b) return std::nullopt;
  return replaceAll(*b, "+", "%2B");
}

std::optional<std::string> NSString_Extend::urlDecodeFromBase64StrOfDes128Decryptt(
    const std::string& s, const std::string& key) {
  return decryptBase64(replaceAll(s, "%2B", "+"), key);
}

std::optional<std::string> NSString_Extend::DES128DecryptBase64StrWithKey(const std::string& s,
                                                                          const std::string& key) {
  return decryptBase64(s, key);
}

std::array<uint8_t, 8> NSData_Extend::desKeyFromText(const std::string& key) {
  std::array<uint8_t, 8> k{};
  memcpy(k.data(), key.data(), std::min<size_t>(key.size(), 8));
  return k;
}

std::optional<plat::Data> NSData_Extend::des128Encryptt(const plat::Data& data,
                                                        const std::string& key) {
  return des(plat::kCCEncrypt, data, key);
}

std::optional<plat::Data> NSData_Extend::des128Decryptt(const plat::Data& data,
                                                        const std::string& key) {
  return des(plat::kCCDecrypt, data, key);
}

std::optional<std::string> NSDictionary_Extend::jsonString(const plat::Value& value) {
  auto data = jsonData(value);
  if (!data) return std::nullopt;
  return data->toString();
}

std::optional<plat::Data> NSDictionary_Extend::jsonData(const plat::Value& value) {
  plat::NSErrorRef error;
  plat::Data d = plat::NSJSONSerialization::dataWithJSONObject(
      value, plat::NSJSONSerialization::NSJSONWritingSortedKeys, &error);
  if (error) {
    plat::NSLog("json封装错误：NSJSONSerialization #CREAT# fail");
    return std::nullopt;
  }
  return d;
}

plat::Value NSDictionary_Extend::dictionaryFromJsonData(const plat::Data& data) {
  plat::NSErrorRef error;
  plat::Value v = plat::NSJSONSerialization::JSONObjectWithData(
      data, plat::NSJSONSerialization::NSJSONReadingMutableContainers, &error);
  if (error || v.isNil()) {
    logParseFailure(error);
    return plat::Value();
  }
  return v;
}

plat::Value NSDictionary_Extend::arrayFromJsonData(const plat::Data& data) {
  return dictionaryFromJsonData(data);
}
