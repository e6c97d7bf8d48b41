// Aggregation server answers and the page's JSON on arbitrary bytes: the init, login check
// and order answers go through the coordinator's and facade's handlers, a server list through
// the host list filter, and page texts through the bridge-facing interface. Nothing crashes,
// and a server list keeps only non-empty texts.

#include "aggregation/KiteSDKInterface.h"
#include "aggregation/KTCKiteSDK.h"
#include "aggregation/NSString+Extend.h"
#include "aggregation/NetworkManager.h"
#include "aggregation/SDKCooperater.h"
#include "fuzz/FuzzSupport.h"
#include "testing/loop/Pump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t choice = in.byte();
  std::string text(in.rest());
  // The transport's decoding: a dictionary, or an empty one for a body that is none.
  plat::Value parsed = NSDictionary_Extend::dictionaryFromJsonData(plat::Data::fromString(text));
  plat::Value answer = parsed.dictionary() ? parsed : plat::Value(plat::Dictionary());
  SDKCooperater& coop = SDKCooperater::shareCooperater();
  switch (choice % 5) {
    case 0:
      coop.handleInitAnswer(answer);
      break;
    case 1:
      coop.handleLoginCheckAnswer(answer, parsed);
      break;
    case 2:
      KTCKiteSDK::defaultInstance().handleOrderAnswer(answer, KTCKiteSDKPayOrderInfo::info(),
                                                      nullptr, nullptr, nullptr,
                                                      coop.sessionSerial());
      break;
    case 3: {
      plat::Array hosts = NetworkManager::hostListFrom(parsed);
      for (const auto& h : hosts) FUZZ_CHECK(h.isString() && !h.string()->empty(), text);
      break;
    }
    default: {
      KiteSDKInterface iface;
      if (choice & 0x80) {
        iface.Pay(text);
      } else {
        iface.SetGameRoleInfo(text);
      }
      break;
    }
  }
  testing_loop::runUntilIdle(1);
  return 0;
}
