// Aggregation server answers and the page's JSON on arbitrary bytes: the init, login check
// and order answers go through the coordinator's and facade's handlers, a server list through
// the host list filter, and page texts through the bridge-facing interface (and the amount
// reader). Nothing crashes, a server list keeps only non-empty texts, and an amount read from a
// text reads back the same from the texts it is charged and sent as.

#include "aggregation/KTCKiteSDK.h"
#include "aggregation/KTCKiteSDKPayOrderInfo.h"
#include "aggregation/KiteSDKInterface.h"
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
      KTCKiteSDK::defaultInstance().handleOrderAnswer(
          answer, KTCKiteSDKPayOrderInfo::info(), nullptr, nullptr, nullptr, coop.sessionSerial());
      break;
    case 3: {
      plat::Array hosts = NetworkManager::hostListFrom(parsed);
      for (const auto& h : hosts) FUZZ_CHECK(h.isString() && !h.string()->empty(), text);
      break;
    }
    default: {
      // An amount text read in hundredths reads back the same from the cashier's text and from
      // the number sent to the order server.
      if (std::optional<int64_t> cents = KTCMoney::centsFromText(text)) {
        FUZZ_CHECK(KTCMoney::centsFromText(KTCMoney::cashierText(*cents)) == cents, text);
        plat::Value sent = KTCMoney::number(*cents);
        FUZZ_CHECK(sent.isNil() || KTCMoney::centsFromValue(sent) == cents, text);
      }
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
