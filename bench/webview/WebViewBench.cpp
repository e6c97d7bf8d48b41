// The web view beside the engine's own C API and beside loopback HTTP, in one binary:
// (1) page -> native -> page round trips per second (a message handler answering through
//     evaluateJavaScript), beside the same round trip written directly on WebKitGTK;
// (2) the "local" scheme delivering 64 MiB to fetch().arrayBuffer(), beside the same file
//     served over loopback HTTP by cpp-httplib to the same page.
// Also printed: milliseconds from making a web view to its page's load event, and the PSS of
// the UI, web and network processes. Last line: "ratio: R", the lower of (1) and (2).

#include <benchmark/benchmark.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSBundle.h"
#include "platform/webkit/WKWebView.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"
#include "testing/net/LoopbackServer.h"

namespace {

constexpr size_t kFileSize = 64u << 20;
constexpr int kTrips = 200;

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Pumps the main loop until `done` or 60 s.
bool pump(const std::function<bool()>& done) {
  double end = nowMs() + 60000;
  auto loop = plat::RunLoop::main();
  while (!done()) {
    if (nowMs() > end) return false;
    loop->runOnce(plat::kCFRunLoopDefaultMode, 0.01);
  }
  return true;
}

// The page of both round trips: "go" starts n trips; each trip posts and waits for pong().
constexpr const char* kTripPage = R"(<script>
  let left = 0;
  window.pong = () => { if (--left > 0) window.webkit.messageHandlers.rt.postMessage(left);
                        else window.webkit.messageHandlers.rt.postMessage('done'); };
  window.go = (n) => { left = n; window.webkit.messageHandlers.rt.postMessage(left); };
  window.webkit.messageHandlers.rt.postMessage('ready');
</script>)";

// ---- the system ----

struct TripHandler : plat::WKScriptMessageHandler {
  std::weak_ptr<plat::WKWebView> web;
  bool ready = false, done = false;
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<plat::WKUserContentController>&, const plat::WKScriptMessageRef& m) override {
    const std::string* s = m->body().string();
    if (s && *s == "ready") ready = true;
    else if (s && *s == "done") done = true;
    else if (auto w = web.lock()) w->evaluateJavaScriptCompletionHandler("pong()");
  }
};

struct Fixture {
  std::string root;
  std::shared_ptr<MainViewController> vc;
  std::shared_ptr<TripHandler> trips = std::make_shared<TripHandler>();
  plat::WKWebViewRef tripView;
  testing_net::LoopbackServer server;
  double loadMs = 0;

  // The raw engine's view of the baseline round trip.
  WebKitWebView* raw = nullptr;
  GtkWidget* rawWindow = nullptr;
  bool rawReady = false, rawDone = false;

  struct Fetched {
    bool done = false;
    double ms = 0;
    double bytes = 0;
  } fetched;

  Fixture() {
    char templ[] = "/tmp/lumora-bench-XXXXXX";
    root = ::mkdtemp(templ);
    std::filesystem::create_directories(root + "/Data");
    {
      std::string bytes(kFileSize, 'x');
      std::ofstream(root + "/Data/big.bin", std::ios::binary) << bytes;
      server.respond("/big.bin", 200, bytes, "application/octet-stream");
    }
    server.respond("/page.html", 200, R"(<script>
      window.load = async (url) => {
        const t = performance.now();
        const b = await (await fetch(url)).arrayBuffer();
        window.webkit.messageHandlers.rt.postMessage({ms: performance.now() - t, bytes: b.byteLength});
      };
      window.webkit.messageHandlers.rt.postMessage('ready');
    </script>)", "text/html");
    std::ofstream(root + "/Info.plist") << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                           "<key>CFBundleIdentifier</key><string>bench</string>"
                                           "</dict></plist>";
    plat::NSBundle::setMainBundlePath(root);

    // Start to load event of the first web view (the engine's processes start with it).
    double start = nowMs();
    auto config = plat::WKWebViewConfiguration::make();
    config->userContentController()->addScriptMessageHandlerName(trips, "rt");
    tripView = plat::WKWebView::make(plat::CGRectMake(0, 0, 320, 240), config);
    trips->web = tripView;
    tripView->loadHTMLStringBaseURL(kTripPage, "http://127.0.0.1/");
    pump([&] { return trips->ready; });
    loadMs = nowMs() - start;

    makeRaw();

    vc = MainViewController::instantiateFromStoryboard();
    vc->loadViewIfNeeded();
    auto fetchHandler = std::make_shared<FetchHandler>(this);
    vc->webView()->configuration()->userContentController()->addScriptMessageHandlerName(fetchHandler, "rt");
    fetchReady = false;
    vc->webView()->loadRequest(plat::NSURLRequest::requestWithURL(
        "http://127.0.0.1:" + std::to_string(server.port()) + "/page.html"));
    pump([&] { return fetchReady; });
  }
  ~Fixture() { std::filesystem::remove_all(root); }

  bool fetchReady = false;
  struct FetchHandler : plat::WKScriptMessageHandler {
    Fixture* f;
    explicit FetchHandler(Fixture* fx) : f(fx) {}
    void userContentControllerDidReceiveScriptMessage(
        const std::shared_ptr<plat::WKUserContentController>&, const plat::WKScriptMessageRef& m) override {
      if (m->body().string()) {
        f->fetchReady = true;
      } else if (auto d = m->body().dictionary()) {
        f->fetched.ms = d->get("ms").doubleValue();
        f->fetched.bytes = d->get("bytes").doubleValue();
        f->fetched.done = true;
      }
    }
  };

  static void rawMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* f = static_cast<Fixture*>(data);
    JSCValue* v = webkit_javascript_result_get_js_value(result);
    if (jsc_value_is_string(v)) {
      char* s = jsc_value_to_string(v);
      if (std::string(s) == "ready") f->rawReady = true;
      if (std::string(s) == "done") f->rawDone = true;
      g_free(s);
      return;
    }
    webkit_web_view_evaluate_javascript(f->raw, "pong()", -1, nullptr, nullptr, nullptr, nullptr, nullptr);
  }

  void makeRaw() {
    auto* ucm = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler(ucm, "rt");
    g_signal_connect(ucm, "script-message-received::rt", G_CALLBACK(rawMessage), this);
    raw = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", ucm, nullptr));
    g_object_unref(ucm);
    rawWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(rawWindow), 320, 240);
    gtk_container_add(GTK_CONTAINER(rawWindow), GTK_WIDGET(raw));
    gtk_widget_show_all(rawWindow);
    webkit_web_view_load_html(raw, kTripPage, "http://127.0.0.1/");
    pump([&] { return rawReady; });
  }
};

Fixture& fixture() {
  static Fixture* f = new Fixture();
  return *f;
}

void BM_WebViewRoundTrips(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    f.trips->done = false;
    f.tripView->evaluateJavaScriptCompletionHandler("go(" + std::to_string(kTrips) + ")");
    if (!pump([&] { return f.trips->done; })) state.SkipWithError("no answer");
  }
  state.SetItemsProcessed(state.iterations() * kTrips);
}

void BM_RawEngineRoundTrips(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    f.rawDone = false;
    std::string go = "go(" + std::to_string(kTrips) + ")";
    webkit_web_view_evaluate_javascript(f.raw, go.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!pump([&] { return f.rawDone; })) state.SkipWithError("no answer");
  }
  state.SetItemsProcessed(state.iterations() * kTrips);
}

// Fetches `url` into an ArrayBuffer in the page; the page's own clock times it.
void fetchInPage(benchmark::State& state, const std::string& url) {
  auto& f = fixture();
  for (auto _ : state) {
    f.fetched = {};
    f.vc->webView()->evaluateJavaScriptCompletionHandler("load('" + url + "'); 1");
    if (!pump([&] { return f.fetched.done; }) || f.fetched.bytes != kFileSize)
      state.SkipWithError("short answer");
    state.SetIterationTime(f.fetched.ms / 1000.0);
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_LocalSchemeFetch(benchmark::State& state) { fetchInPage(state, "local://game/big.bin"); }
void BM_LoopbackHTTPFetch(benchmark::State& state) {
  fetchInPage(state, "http://127.0.0.1:" + std::to_string(fixture().server.port()) + "/big.bin");
}

BENCHMARK(BM_WebViewRoundTrips)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_RawEngineRoundTrips)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LocalSchemeFetch)->Unit(benchmark::kMillisecond)->Iterations(8)->UseManualTime();
BENCHMARK(BM_LoopbackHTTPFetch)->Unit(benchmark::kMillisecond)->Iterations(8)->UseManualTime();

class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      std::string name = r.benchmark_name();
      name = name.substr(0, name.find('/'));
      for (const char* key : {"items_per_second", "bytes_per_second"}) {
        auto it = r.counters.find(key);
        if (it != r.counters.end()) rate[name] = it->second.value;
      }
    }
  }
};

// PSS in MiB of a process, from /proc/<pid>/smaps_rollup (0 when unreadable).
double pssMiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string key;
  double kb = 0;
  while (in >> key) {
    if (key == "Pss:") {
      in >> kb;
      break;
    }
    std::getline(in, key);
  }
  return kb / 1024;
}

// The engine's processes started by this one, by name.
std::map<std::string, double> childPss() {
  std::map<std::string, double> out;
  for (auto& e : std::filesystem::directory_iterator("/proc")) {
    std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(e.path() / "stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    int ppid = 0;
    char state;
    std::sscanf(line.c_str() + close + 2, "%c %d", &state, &ppid);
    if (ppid != ::getpid()) continue;
    std::string comm = line.substr(line.find('(') + 1, close - line.find('(') - 1);
    out[comm] += pssMiB(std::stoi(name));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  fixture();
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  double trips = collector.rate["BM_WebViewRoundTrips"], rawTrips = collector.rate["BM_RawEngineRoundTrips"];
  double local = collector.rate["BM_LocalSchemeFetch"] / (1 << 20);
  double http = collector.rate["BM_LoopbackHTTPFetch"] / (1 << 20);
  double r1 = rawTrips > 0 ? trips / rawTrips : 0, r2 = http > 0 ? local / http : 0;
  std::printf("round trips: %.0f/s; raw engine: %.0f/s (%.2f)\n", trips, rawTrips, r1);
  std::printf("64 MiB to fetch().arrayBuffer(): local scheme %.0f MiB/s; loopback HTTP %.0f MiB/s (%.2f)\n",
              local, http, r2);
  std::printf("start to load event: %.0f ms\n", fixture().loadMs);
  std::printf("PSS: UI process %.0f MiB", pssMiB(::getpid()));
  for (auto& [name, mib] : childPss()) std::printf(", %s %.0f MiB", name.c_str(), mib);
  std::printf("\n");
  std::printf("ratio: %.2f\n", std::min(r1, r2));
  std::fflush(stdout);
  plat::WKWebView::terminateAllContentProcesses();
  std::_Exit(0);
}
