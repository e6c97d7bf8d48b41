#pragma once
// NetworkManager: the aggregation SDK's client of its own servers. It keeps the public
// parameters every API request carries, wraps them with a call's fields into the encrypted,
// signed form body (the envelope), keeps the API host list with the index of the host that
// answered last, and offers one operation per endpoint.
//
// The four servers are the Info.plist keys "KITE_API_HOST" (the default API host list: that
// one entry), "KITE_GATEWAY_BASE" (the report gateway, ".../api"), "KITE_CDN_BASE" (the
// configuration CDN) and "KITE_SERVER_LIST_BASE" (ends in "/"). Without a base, requests to
// that server fail at once (nil) and send nothing.
//
// Envelope: J = Base64(DES(compact sorted JSON of the public parameters and call fields,
// product key)) with "+" written "%2B"; sign = md5("json_data=J&product_code=C&K"); body
// "json_data=J&product_code=C&sign=S".
//
// Threading: operations may be called from any thread, but the public parameters are built
// on first use, which must be the main thread. Requests run on global queues and wait there
// for the transport. Completions run on the main queue when the call came from the main
// thread, otherwise on the worker thread that made the request. The host list and selected
// index are guarded by the manager's lock.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "aggregation/KTCKiteSDKGameRoleInfo.h"
#include "aggregation/KTCKiteSDKPayOrderInfo.h"
#include "platform/foundation/Value.h"

inline constexpr const char* kKiteSDKVersion = "2.5.4";

class NetworkManager {
 public:
  // The decoded answer dictionary, or nil when no host answered.
  using Completion = std::function<void(const plat::Value& answer)>;

  static NetworkManager& sharedInstance();
  // Makes the manager afresh from the current main bundle (tests).
  static void resetForTesting();

  const std::string& session_id() const { return sessionId_; }
  plat::Array serveUrls() const;
  void setServeUrls(const plat::Array& urls);
  uint64_t selectedIndex() const;
  void setSelectedIndex(uint64_t index);

  // The public parameters with "time" and "channel_code" refreshed.
  plat::Dictionary publicDict();
  void setPublicDict(const plat::Dictionary& dict);

  void initInterface(Completion completion);
  void loginVerifyInterfaceHandler(const plat::Dictionary& fields, Completion completion);
  // Logs "数据错误,检查相关参数" and delivers nil when the order cannot be written as JSON.
  void orderInterfaceRoleInfoHandler(const KTCKiteSDKPayOrderInfoRef& order,
                                     const KTCKiteSDKGameRoleInfoRef& role, Completion completion);
  void checkGameVersion(Completion completion);
  // The role report; an answer with "error"."id" 1000 is sent once more without "sign" and
  // that second answer is final.
  void updateRoleWithUidNameRoleInfoHandler(const std::string& uid, const std::string& name,
                                            const KTCKiteSDKGameRoleInfoRef& role,
                                            Completion completion);
  void updateRoleInfoDictWithSignResultBlock(const plat::Dictionary& dict, bool withSign,
                                             Completion completion);
  void getPayData(Completion completion);
  // The anti-addiction settings; the completion runs on the main queue, with nil when the fetch
  // failed (no answer, an HTTP error status, a body that is no JSON object).
  void getAntiIndulgeMessage(Completion completion);
  // Refreshes the host list from the channel configuration and the server-list host; the
  // handler runs whatever the outcome.
  void updateServerListWithChannelParamsHandler(const plat::Value& channelParams,
                                                std::function<void()> handler);
  // One request with host fail-over: hosts are tried from the selected index on, each once;
  // the index of the host that answered is kept. nil when all fail or there is none.
  void requestUrlInterfaceParamMethodCompletionBlock(const std::string& path,
                                                     const std::string& param,
                                                     const std::string& method,
                                                     Completion completion);
  // The staggered form: the selected host at once, and each timer tick (the transport's
  // time-out) one more host, until one answers. The first host's failure ends the request
  // with nil at once. The completion runs once.
  void timerRequestUrlInterfaceParamMethodCompletionBlock(const std::string& path,
                                                          const std::string& param,
                                                          const std::string& method,
                                                          Completion completion);

  // The envelope's parts, for the endpoints and the servers that check them.
  static std::optional<std::string> envelopeJ(const plat::Dictionary& dict,
                                              const std::string& productKey);
  static std::string envelopeSign(const std::string& j, const std::string& productCode,
                                  const std::string& productKey);
  // Requests of any manager that have not yet handed over their answer (tests wait for 0).
  static int requestsInFlight();
  // The usable entries of a server list (non-empty texts), in order.
  static plat::Array hostListFrom(const plat::Value& list);
  // Text as a URL query component: everything but letters, digits and "-._~" as %XX.
  static std::string escapeComponent(const std::string& text);

 private:
  NetworkManager();
  struct Staggered;
  // Delivers nil when the JSON text cannot be made, logging `jsonFailureLog` when given.
  void sendEnvelope(const std::string& path, plat::Dictionary dict, Completion completion,
                    const char* jsonFailureLog = nullptr);
  // Synchronous attempts against one fixed URL, as many as there are hosts.
  void gatewayRequest(const std::string& url, const std::string& param, const std::string& method,
                      Completion completion);
  void scheduleTick(const std::shared_ptr<Staggered>& s);
  void timeIsUp(const std::shared_ptr<Staggered>& s);

  mutable std::mutex mu_;
  plat::Array serveUrls_;
  uint64_t selectedIndex_ = 0;
  std::string sessionId_;
  plat::Dictionary publicDict_;
  bool publicBuilt_ = false;
  std::shared_ptr<Staggered> staggered_;
};
