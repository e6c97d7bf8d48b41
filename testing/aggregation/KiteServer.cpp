#include "testing/aggregation/KiteServer.h"

#include "aggregation/NSString+Extend.h"
#include "aggregation/NetworkManager.h"
#include "platform/foundation/NSJSONSerialization.h"

namespace testing_kite {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

// Splits "k=v&k=v" without decoding (first "=" of each piece).
std::vector<std::pair<std::string, std::string>> rawPairs(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t amp = text.find('&', start);
    std::string piece = text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    size_t eq = piece.find('=');
    if (!piece.empty())
      out.emplace_back(piece.substr(0, eq), eq == std::string::npos ? "" : piece.substr(eq + 1));
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return out;
}

std::string json(const plat::Value& v) { return plat::NSJSONSerialization::stringWithJSONObject(v); }

}  // namespace

plat::Dictionary KiteServer::decodePairs(const std::string& text) {
  plat::Dictionary d;
  for (auto& [k, v] : rawPairs(text)) d.set(percentDecode(k), percentDecode(v));
  return d;
}

KiteServer::KiteServer() : KiteServer(Options()) {}

KiteServer::KiteServer(Options options) : options_(std::move(options)) {
  if (options_.tls) {
    server_ = std::make_unique<testing_net::LoopbackServer>(
        testing_net::TLSIdentity::withIntermediate(testing_net::TestPKI::shared().leaf));
  } else {
    server_ = std::make_unique<testing_net::LoopbackServer>();
  }
  install();
}

KiteServer::~KiteServer() { server_->stop(); }

std::string KiteServer::apiBase() const {
  std::string url = server_->url("/");
  return url.substr(0, url.size() - 1);
}
std::string KiteServer::gatewayBase() const { return apiBase() + "/api"; }
std::string KiteServer::cdnBase() const { return apiBase() + "/cdn"; }
std::string KiteServer::serverListBase() const { return apiBase() + "/list/"; }

void KiteServer::script(const std::string& endpoint, std::function<Answer(const Call&)> answer) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_.emplace_back(endpoint, std::move(answer));
}

void KiteServer::answer(const std::string& endpoint, const std::string& body, int status) {
  script(endpoint, [body, status](const Call&) { return Answer{status, body}; });
}

std::vector<Call> KiteServer::calls(const std::string& endpoint) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Call> out;
  for (auto& c : calls_)
    if (endpoint.empty() || c.endpoint == endpoint) out.push_back(c);
  return out;
}

Answer KiteServer::respond(const std::string& endpoint, Call call) {
  std::function<Answer(const Call&)> scripted;
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(call);
    for (auto it = scripts_.rbegin(); it != scripts_.rend(); ++it) {
      if (it->first == endpoint) {
        scripted = it->second;
        break;
      }
    }
  }
  if (scripted) return scripted(call);
  return defaultAnswer(endpoint, call);
}

Answer KiteServer::defaultAnswer(const std::string& endpoint, const Call& call) {
  if ((endpoint == kInit || endpoint == kCheckLogin || endpoint == kOrder) && !call.signOk) {
    return Answer{200, R"({"result":false,"error":{"id":"1001","message":"sign error"}})"};
  }
  if (endpoint == kCheckLogin) {
    const plat::Dictionary& f = call.fields;
    plat::Dictionary data{{"uid", f.get("uid")},
                          {"user_name", f.get("user_name")},
                          {"user_token", "token-" + f.get("uid").stringOr()}};
    return Answer{200, json(plat::Dictionary{{"result", true}, {"data", data}})};
  }
  if (endpoint == kOrder) {
    int number;
    {
      std::lock_guard<std::mutex> lock(mu_);
      number = ++orders_;
    }
    return Answer{200, json(plat::Dictionary{
                           {"result", true},
                           {"data", plat::Dictionary{{"order_id", "K" + std::to_string(number)}}}})};
  }
  if (endpoint == kServerList) return Answer{404, "not found"};
  if (endpoint == kSettings) return Answer{200, "{}"};
  return Answer{200, R"({"result":true})"};
}

void KiteServer::install() {
  auto envelope = [this](const char* endpoint) {
    return [this, endpoint](const testing_net::Request& req, testing_net::Response& res) {
      Call call;
      call.endpoint = endpoint;
      call.raw = req.body;
      std::string j, code, sign;
      for (auto& [k, v] : rawPairs(req.body)) {
        if (k == "json_data") j = v;
        if (k == "product_code") code = v;
        if (k == "sign") sign = v;
      }
      call.signed_ = !sign.empty();
      call.signOk = code == options_.productCode &&
                    sign == NetworkManager::envelopeSign(j, code, options_.productKey);
      if (auto plain =
              NSString_Extend::urlDecodeFromBase64StrOfDes128Decryptt(j, options_.productKey)) {
        plat::Value v = plat::NSJSONSerialization::JSONObjectWithString(*plain);
        if (v.dictionary()) call.fields = *v.dictionary();
      }
      Answer a = respond(endpoint, std::move(call));
      res.status = a.status;
      res.body = a.body;
      res.contentType = "application/json";
    };
  };
  server_->route("/v1/api/init", envelope(kInit), "POST");
  server_->route("/v2/users/checklogin", envelope(kCheckLogin), "POST");
  server_->route("/v1/order/orderpay", envelope(kOrder), "POST");
  server_->route("/v2/users/checkversion", envelope(kCheckVersion), "POST");

  auto pairs = [this](const char* endpoint, bool fromBody) {
    return [this, endpoint, fromBody](const testing_net::Request& req, testing_net::Response& res) {
      Call call;
      call.endpoint = endpoint;
      call.raw = fromBody ? req.body : req.query;
      call.fields = decodePairs(call.raw);
      call.signed_ = call.fields.contains("sign");
      if (std::string(endpoint) == kGetData) {
        // md5 of the pairs before "sign", unescaped, in the order sent.
        std::string plain;
        for (auto& [k, v] : rawPairs(call.raw)) {
          if (k == "sign") break;
          if (!plain.empty()) plain += "&";
          plain += percentDecode(k) + "=" + percentDecode(v);
        }
        call.signOk = call.fields.get("sign").stringOr() == NSString_Extend::md5Stringg(plain);
      } else if (call.signed_) {
        plat::Dictionary unsignedFields = call.fields;
        unsignedFields.remove("sign");
        // The sign covers the JSON of the pairs as the client held them: "time" and
        // "channelCode" were numbers there, everything else text.
        for (const char* numeric : {"time", "channelCode"}) {
          if (unsignedFields.contains(numeric))
            unsignedFields.set(numeric, unsignedFields.get(numeric).integerValue());
        }
        auto j = NetworkManager::envelopeJ(unsignedFields, options_.productKey);
        call.signOk = j && call.fields.get("sign").stringOr() ==
                               NetworkManager::envelopeSign(*j, options_.productCode,
                                                            options_.productKey);
      }
      Answer a = respond(endpoint, std::move(call));
      res.status = a.status;
      res.body = a.body;
      res.contentType = "application/json";
    };
  };
  server_->route("/api/gateway", pairs(kGateway, false), "GET");
  server_->route("/api/getData", pairs(kGetData, true), "POST");

  auto plainGet = [this](const char* endpoint) {
    return [this, endpoint](const testing_net::Request& req, testing_net::Response& res) {
      Call call;
      call.endpoint = endpoint;
      call.raw = req.query;
      Answer a = respond(endpoint, std::move(call));
      res.status = a.status;
      res.body = a.body;
      res.contentType = "application/json";
    };
  };
  server_->route("/cdn/" + options_.productCode + "/" + options_.channelCode + ".html",
                 plainGet(kSettings), "GET");
  server_->route("/list//" + options_.productCode + "-" + options_.channelCode + ".html",
                 plainGet(kServerList), "GET");
}

}  // namespace testing_kite
