// The channel configuration file (a property list, or a DES-encrypted keyed archive) and the
// aggregation codecs on arbitrary bytes: nothing crashes, DES round-trips under any key text,
// and decrypting garbage either fails or gives whole blocks' worth of bytes.

#include "aggregation/NSString+Extend.h"
#include "aggregation/channel/KTCKiteChannel.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  std::string key(in.field());
  std::string rest(in.rest());
  plat::Data bytes = plat::Data::fromString(rest);

  (void)KTCKiteChannel::defaultChannel().configDictFromData(bytes);

  auto enc = NSData_Extend::des128Encryptt(bytes, key);
  FUZZ_CHECK(enc && enc->length() == (bytes.length() / 8 + 1) * 8, key);
  auto dec = NSData_Extend::des128Decryptt(*enc, key);
  FUZZ_CHECK(dec && *dec == bytes, key);

  if (auto plain = NSData_Extend::des128Decryptt(bytes, key)) {
    FUZZ_CHECK(bytes.length() % 8 == 0 && plain->length() < bytes.length(), key);
  }
  (void)NSString_Extend::urlDecodeFromBase64StrOfDes128Decryptt(rest, key);
  (void)NSString_Extend::stringFromBase64Stringg(rest);
  (void)NSDictionary_Extend::dictionaryFromJsonData(bytes);
  (void)KTCKiteChannel::defaultChannel().praramsDicFromAtEqualStr(rest);
  return 0;
}
