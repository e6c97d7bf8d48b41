#pragma once
// KTCKiteSDKInitConfigure: the aggregation SDK's start-up configuration, the product code and
// the product key (which also keys the server requests). A field that was never given is
// nullopt; its text form is then "" (never sent as "(null)"). Plain value; made on the main thread
// and read from the request queues afterwards without change.

#include <memory>
#include <optional>
#include <string>

class KTCKiteSDKInitConfigure {
 public:
  std::optional<std::string> productCode;
  std::optional<std::string> productKey;

  // "" for a missing field.
  std::string productCodeText() const { return productCode.value_or(""); }
  std::string productKeyText() const { return productKey.value_or(""); }
};
using KTCKiteSDKInitConfigureRef = std::shared_ptr<KTCKiteSDKInitConfigure>;
