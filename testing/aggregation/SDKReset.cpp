#include "testing/aggregation/SDKReset.h"

#include "aggregation/KMDevice.h"
#include "aggregation/KMNetWorkUtil.h"
#include "aggregation/KTCKiteSDK.h"
#include "aggregation/NetworkManager.h"
#include "aggregation/SDKCooperater.h"
#include "aggregation/channel/KTCKiteChannel.h"
#include "channel/core/HVmsSDK.h"
#include "platform/foundation/NSUserDefaults.h"

namespace testing_kite {

void resetAggregationSDK() {
  SDKCooperater::resetForTesting();
  KTCKiteSDK::resetForTesting();
  KTCKiteChannel::resetForTesting();
  HVmsSDK::resetForTesting();
  KMNetWorkUtil::resetForTesting();
  KMDevice::resetForTesting();
  NetworkManager::resetForTesting();
  plat::NSUserDefaults::resetStandardUserDefaults();
}

}  // namespace testing_kite
