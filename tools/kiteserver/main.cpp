// lumora_kiteserver: a loopback aggregation server for the demo.
//
//   lumora_kiteserver [--tls --anchor FILE] [--product-code C] [--product-key K]
//                     [--channel-code N] [--server-list]
//
// Plays the API host, report gateway, configuration CDN and server-list host on one port of
// 127.0.0.1 (see testing/aggregation/KiteServer.h). With --tls it speaks HTTPS with the test
// PKI and writes the root certificate (DER) to FILE, for the device root to trust. With
// --server-list the server list names the server itself. Prints the four bases, then
// "listening", on standard output; one line per call on standard error. Ends on SIGINT or
// SIGTERM.

#include <signal.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/foundation/NSJSONSerialization.h"
#include "testing/aggregation/KiteServer.h"

namespace {

int usage(const char* why) {
  std::fprintf(stderr,
               "lumora_kiteserver: %s\nusage: lumora_kiteserver [--tls --anchor FILE] "
               "[--product-code C] [--product-key K] [--channel-code N] [--server-list]\n",
               why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  testing_kite::KiteServer::Options options;
  std::string anchor;
  bool serverList = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "--tls") {
      options.tls = true;
    } else if (arg == "--anchor") {
      if (!value(anchor)) return usage("--anchor needs a file name");
    } else if (arg == "--product-code") {
      if (!value(options.productCode)) return usage("--product-code needs a value");
    } else if (arg == "--product-key") {
      if (!value(options.productKey)) return usage("--product-key needs a value");
    } else if (arg == "--channel-code") {
      if (!value(options.channelCode)) return usage("--channel-code needs a value");
    } else if (arg == "--server-list") {
      serverList = true;
    } else {
      return usage(("unknown argument " + arg).c_str());
    }
  }
  if (options.tls && anchor.empty()) return usage("--tls needs --anchor");

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  testing_kite::KiteServer server(options);
  if (options.tls) {
    const plat::Data& der = testing_net::TestPKI::shared().root.der;
    std::ofstream out(anchor, std::ios::binary);
    out.write(reinterpret_cast<const char*>(der.bytes()), static_cast<std::streamsize>(der.length()));
    if (!out) return usage("cannot write the anchor file");
  }
  // Every call is reported as it is answered.
  for (const char* endpoint :
       {testing_kite::kInit, testing_kite::kCheckLogin, testing_kite::kOrder,
        testing_kite::kCheckVersion, testing_kite::kGateway, testing_kite::kGetData,
        testing_kite::kSettings, testing_kite::kServerList}) {
    std::string name = endpoint;
    server.script(name, [&server, name, serverList](const testing_kite::Call& call) {
      std::string fields = plat::NSJSONSerialization::stringWithJSONObject(plat::Value(call.fields));
      std::fprintf(stderr, "kiteserver: %s%s %s\n", name.c_str(),
                   call.signed_ ? (call.signOk ? " (signed, sign ok)" : " (signed, SIGN BAD)") : "",
                   fields.c_str());
      if (name == testing_kite::kServerList) {
        return serverList ? testing_kite::Answer{200, "[\"" + server.apiBase() + "\"]"}
                          : testing_kite::Answer{404, "not found"};
      }
      return server.defaultAnswer(name, call);
    });
  }
  std::printf("api %s\ngateway %s\ncdn %s\nserverlist %s\nlistening\n", server.apiBase().c_str(),
              server.gatewayBase().c_str(), server.cdnBase().c_str(),
              server.serverListBase().c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  return 0;
}
