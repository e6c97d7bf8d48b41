#pragma once
// A loopback aggregation server for tests and the demo: one HTTP (or HTTPS) server on
// 127.0.0.1 that plays the four servers of the aggregation SDK under different base paths:
//   API host        apiBase()            POST /v1/api/init, /v2/users/checklogin,
//                                        /v1/order/orderpay, /v2/users/checkversion
//   report gateway  gatewayBase() (/api) GET /api/gateway?<pairs>, POST /api/getData
//   CDN             cdnBase() (/cdn)     GET /cdn/<product code>/<channel code>.html
//   server list     serverListBase()     GET /list//<product code>-<channel code>.html
// Envelope requests are checked (the sign over the raw body) and decrypted with the product
// key; gateway pairs are decoded. Every call is recorded, and each endpoint answers what the
// test scripted (defaults: success answers with a fresh order id, the user of the checked
// login, an empty settings object, no server list).
//
// Thread-safety: script before requests are sent; calls() from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "testing/net/LoopbackServer.h"

namespace testing_kite {

// Endpoint names.
inline constexpr const char* kInit = "init";
inline constexpr const char* kCheckLogin = "checklogin";
inline constexpr const char* kOrder = "orderpay";
inline constexpr const char* kCheckVersion = "checkversion";
inline constexpr const char* kGateway = "gateway";
inline constexpr const char* kGetData = "getData";
inline constexpr const char* kSettings = "settings";
inline constexpr const char* kServerList = "serverlist";

struct Call {
  std::string endpoint;
  std::string raw;          // the body (POST) or the query (GET) as sent
  plat::Dictionary fields;  // envelope: the decrypted JSON; gateway: the decoded pairs
  bool signOk = false;      // the sign matched (envelope, getData, a signed gateway call)
  bool signed_ = false;     // a "sign" was present
};

// An answer: HTTP status and body.
struct Answer {
  int status = 200;
  std::string body;
};

class KiteServer {
 public:
  struct Options {
    std::string productCode = "kite-code";
    std::string productKey = "kitekey";
    std::string channelCode = "977";
    bool tls = false;
  };
  KiteServer();
  explicit KiteServer(Options options);
  ~KiteServer();
  KiteServer(const KiteServer&) = delete;
  KiteServer& operator=(const KiteServer&) = delete;

  std::string apiBase() const;         // scheme://127.0.0.1:port
  std::string gatewayBase() const;     // apiBase() + "/api"
  std::string cdnBase() const;         // apiBase() + "/cdn"
  std::string serverListBase() const;  // apiBase() + "/list/"
  const Options& options() const { return options_; }

  // Answers the next calls of `endpoint` with `answer(call)`, replacing the default.
  void script(const std::string& endpoint, std::function<Answer(const Call&)> answer);
  // Shorthand: always this JSON with status 200 (or `status`).
  void answer(const std::string& endpoint, const std::string& json, int status = 200);
  // Recorded calls of one endpoint (all when empty), in arrival order.
  std::vector<Call> calls(const std::string& endpoint = "") const;
  testing_net::LoopbackServer& http() { return *server_; }

  // What an endpoint answers unless scripted: a refused sign for unsigned envelope calls, the
  // checked user with token "token-<uid>", orders "K1", "K2"..., an empty settings object, 404
  // for the server list, {"result":true} otherwise.
  Answer defaultAnswer(const std::string& endpoint, const Call& call);
  // Decodes "a=1&b=%20" pairs (percent escapes and "+" as space).
  static plat::Dictionary decodePairs(const std::string& text);

 private:
  void install();
  Answer respond(const std::string& endpoint, Call call);
  Options options_;
  std::unique_ptr<testing_net::LoopbackServer> server_;
  mutable std::mutex mu_;
  std::vector<Call> calls_;
  std::vector<std::pair<std::string, std::function<Answer(const Call&)>>> scripts_;
  int orders_ = 0;
};

}  // namespace testing_kite
