// The host program end to end: `lumora` runs against a loopback game host, prints the page's
// console and bridge traffic, writes its logs and ends cleanly on a signal; bundles it
// cannot use are refused with exit code 2.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/graphics/CGImageSource.h"
#include "testing/aggregation/KiteServer.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/platform/device/CaptureFrames.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr const char* kPage = "/mrzd4/index/native_ios/release/index.html";

std::string tempFolder() {
  const char* base = std::getenv("LUMORA_TEST_OUTPUT");
  std::string root = base && *base ? base : "/tmp";
  fs::create_directories(root);
  std::string templ = root + "/host-XXXXXX";
  char* made = ::mkdtemp(templ.data());
  return made ? made : root;
}

void writeFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::string infoPlist(const std::string& gameHost) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>com.example.host</string>"
         "<key>LM_GAME_HOST</key><string>" +
         gameHost + "</string></dict></plist>\n";
}

// A running `lumora` with its standard output and error read line by line.
class HostProcess {
 public:
  // `withoutDisplay`: DISPLAY is taken out of the environment, so the host starts its own.
  explicit HostProcess(std::vector<std::string> args, bool withoutDisplay = false) {
    int out[2], err[2];
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    args.insert(args.begin(), LUMORA_BINARY);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
      if (!withoutDisplay || std::string(*e).rfind("DISPLAY=", 0) != 0) env.push_back(*e);
    env.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, LUMORA_BINARY, &actions, nullptr, argv.data(), env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
  }
  ~HostProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(outFd_);
    ::close(errFd_);
  }

  // Reads output until `pred(stdout)` holds or `seconds` of real time (stretched by the
  // tests' timeout scale) pass.
  bool readUntil(const std::function<bool(const std::string&)>& pred, double seconds = 60) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration<double>(seconds * testing_loop::timeoutScale());
    while (!pred(out_)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0 || !pump(static_cast<int>(left))) return pred(out_);
    }
    return true;
  }
  // Waits for the exit (reading all output) and returns the exit status, or -1 on a crash.
  int wait() {
    while (pump(60000)) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) { ::kill(pid_, sig); }
  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // Reads what is there within `ms`; false once both streams are closed.
  bool pump(int ms) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    int open = (outOpen_ ? 1 : 0) + (errOpen_ ? 1 : 0);
    if (open == 0) return false;
    if (!outOpen_) fds[0].fd = -1;
    if (!errOpen_) fds[1].fd = -1;
    if (::poll(fds, 2, ms) <= 0) return true;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(i == 0 ? outFd_ : errFd_, buf, sizeof buf);
      if (n <= 0) {
        (i == 0 ? outOpen_ : errOpen_) = false;
      } else {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      }
    }
    return true;
  }
  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  bool outOpen_ = true, errOpen_ = true;
  std::string out_, err_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The running children of `parent` with their command names.
std::vector<std::pair<pid_t, std::string>> childrenOf(pid_t parent) {
  std::vector<std::pair<pid_t, std::string>> out;
  for (auto& e : fs::directory_iterator("/proc")) {
    std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(e.path() / "stat");
    std::string line;
    std::getline(stat, line);
    auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 2, "%c %d", &state, &ppid) != 2) continue;
    if (ppid == parent && state != 'Z')
      out.emplace_back(std::stoi(name), line.substr(open + 1, close - open - 1));
  }
  return out;
}

bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TEST(Host, RunsTheGamePagePrintsItsTrafficAndEndsOnASignal) {
  testing_net::LoopbackServer server;
  server.respond(kPage, 200,
                 "<script>"
                 "console.log('hello from the page');"
                 "console.log('two\\nlines');"
                 "console.warn('careful');"
                 "webkit.messageHandlers.iOS_Console.postMessage("
                 "  {name: 'console_warn', args: 'watch out'});"
                 "var x = new XMLHttpRequest();"
                 "x.open('GET', 'local://game/v/clip.mp4');"
                 "x.setRequestHeader('Range', 'bytes=0-3');"
                 "x.onload = function () {"
                 "  console.log('range ' + x.status + ' ' + x.responseText); };"
                 "x.send();"
                 "</script>",
                 "text/html");
  std::string root = tempFolder();
  writeFile(root + "/Lumora.app/Info.plist",
            infoPlist("http://127.0.0.1:" + std::to_string(server.port())));
  writeFile(root + "/Lumora.app/Data/v/clip.mp4", "0123456789");
  HostProcess host({"--bundle", root + "/Lumora.app", "--device", root + "/device"});
  ASSERT_TRUE(host.readUntil([](const std::string& out) {
    // The engine hands the message's members over in an order of its own.
    return contains(out, "console.log: range 206 0123\n") &&
           (contains(out,
                     "bridge> iOS_Console {\"name\":\"console_warn\",\"args\":\"watch out\"}\n") ||
            contains(out,
                     "bridge> iOS_Console {\"args\":\"watch out\",\"name\":\"console_warn\"}\n"));
  })) << host.out()
      << host.err();
  EXPECT_TRUE(contains(host.out(), "console.log: hello from the page\n"));
  EXPECT_TRUE(contains(host.out(), "console.log: two\\nlines\n"));  // one line per message
  EXPECT_TRUE(contains(host.out(), "console.warn: careful\n"));
  // The engine's processes are the host's children, and go with it.
  auto children = childrenOf(host.pid());
  EXPECT_FALSE(children.empty());
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(), 0) << host.err();
  for (auto& [pid, name] : children)
    EXPECT_TRUE(testing_loop::runUntil([pid = pid] { return !running(pid); }, 20)) << name;
  EXPECT_TRUE(contains(host.err(), "page load event")) << host.err();

  // The warning the page sent to the console handler is in the application's log file.
  std::string logs;
  for (auto& f : fs::directory_iterator(root + "/device/Application/Library/Caches/Logs")) {
    std::ifstream in(f.path());
    std::stringstream s;
    s << in.rdbuf();
    logs += s.str();
  }
  EXPECT_TRUE(contains(logs, "js_warn: watch out")) << logs;
  fs::remove_all(root);
}

TEST(Host, EndsAfterTheGivenSecondsAndWritesAScreenshot) {
  std::string root = tempFolder();
  writeFile(root + "/Lumora.app/Info.plist", infoPlist(""));
  // Without a display the host starts a virtual one of its own, and stops it when it ends.
  HostProcess host({"--bundle", root + "/Lumora.app", "--device", root + "/device", "--seconds",
                    "1", "--screenshot", root + "/screen.png"},
                   /*withoutDisplay=*/true);
  std::vector<std::pair<pid_t, std::string>> children;
  EXPECT_TRUE(testing_loop::runUntil(
      [&] {
        children = childrenOf(host.pid());
        for (auto& c : children)
          if (c.second == "Xvfb") return true;
        return false;
      },
      30));
  EXPECT_EQ(host.wait(), 0) << host.err();
  for (auto& [pid, name] : children)
    EXPECT_TRUE(testing_loop::runUntil([pid = pid] { return !running(pid); }, 20)) << name;
  std::ifstream png(root + "/screen.png", std::ios::binary);
  std::string head(8, '\0');
  png.read(head.data(), 8);
  EXPECT_EQ(head, "\x89PNG\r\n\x1a\n");
  fs::remove_all(root);
}

// A game host on a port the engine never connects to: the load fails and is asked again,
// and no page load is reported for the blank page the engine shows instead.
TEST(Host, AGameHostOnARestrictedPortFailsToLoadAndIsAskedAgain) {
  std::string root = tempFolder();
  writeFile(root + "/Lumora.app/Info.plist", infoPlist("http://127.0.0.1:6000"));
  HostProcess host(
      {"--bundle", root + "/Lumora.app", "--device", root + "/device", "--seconds", "5"});
  EXPECT_EQ(host.wait(), 0) << host.err();
  size_t fails = 0;
  for (size_t at = host.err().find("Load Fail"); at != std::string::npos;
       at = host.err().find("Load Fail", at + 1))
    ++fails;
  EXPECT_GE(fails, 2u) << host.err();
  EXPECT_FALSE(contains(host.err(), "page load event")) << host.err();
  fs::remove_all(root);
}

// The page builds its paths from the documents folder: with a relative --device it is still
// absolute, so the file commands take it. The device has a camera only with --camera, whose
// picture the camera screen then takes.
const char* kCameraPage =
    "<script>"
    "LM_IOS.SetCallback({onPhotograph: function (r) { console.log('photo ' + r); }});"
    "LM_IOS.GetDocumentPath(function (docs) {"
    "  console.log('docs ' + docs);"
    "  LM_IOS.IsDirAtPath(docs, function (isDir) {"
    "    console.log('isdir ' + isDir);"
    "    LM_IOS.Photograph({savePath: docs + '/photo.png', width: 6, height: 3});"
    "  });"
    "});"
    "</script>";

TEST(Host, ARelativeDeviceGivesAbsolutePathsAndTheCameraIsTheGivenPicture) {
  testing_net::LoopbackServer server;
  server.respond(kPage, 200, kCameraPage, "text/html");
  std::string root = tempFolder();
  writeFile(root + "/Lumora.app/Info.plist",
            infoPlist("http://127.0.0.1:" + std::to_string(server.port())));
  // A 2 x 1 PNG.
  const unsigned char png[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
      0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00,
      0x00, 0x7b, 0x40, 0xe8, 0xdd, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
      0x9c, 0x63, 0xf8, 0xcf, 0x00, 0x04, 0xff, 0x01, 0x07, 0x00, 0x01, 0xff, 0xe2, 0x23,
      0x9e, 0x59, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  writeFile(root + "/camera.png", std::string(reinterpret_cast<const char*>(png), sizeof png));
  const std::string device = fs::relative(root + "/device", fs::current_path()).string();
  ASSERT_NE(device[0], '/');
  const std::string docs = fs::weakly_canonical(root).string() + "/device/Application/Documents";

  {
    HostProcess host(
        {"--bundle", root + "/Lumora.app", "--device", device, "--camera", root + "/camera.png"});
    ASSERT_TRUE(host.readUntil([](const std::string& out) {
      return contains(out, "console.log: photo ");
    })) << host.out()
        << host.err();
    EXPECT_TRUE(contains(host.out(), "console.log: docs " + docs + "\n")) << host.out();
    EXPECT_TRUE(contains(host.out(), "console.log: isdir true\n")) << host.out();
    EXPECT_TRUE(contains(host.out(), "console.log: photo {\"result\":true}\n")) << host.out();
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0) << host.err();
    std::ifstream photo(docs + "/photo.png", std::ios::binary);
    std::string head(4, '\0');
    photo.read(head.data(), 4);
    EXPECT_EQ(head, "\x89PNG");
  }
  {
    HostProcess host({"--bundle", root + "/Lumora.app", "--device", device});
    ASSERT_TRUE(host.readUntil([](const std::string& out) {
      return contains(out, "console.log: photo ");
    })) << host.out()
        << host.err();
    EXPECT_TRUE(contains(host.out(),
                         "console.log: photo {\"result\":false,\"msg\":\"camera unavailable\"}\n"))
        << host.out();
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0) << host.err();
  }
  fs::remove_all(root);
}

// The camera is one camera: the scanner reads the code in the --camera picture and the screen
// goes, so the camera picker and the image picker can open after it, across a reload too. The
// second scan asked for while the image picker is up is answered without text.
const char* kScanPage =
    "<script>"
    "var load = location.hash === '#2' ? 2 : 1;"
    "LM_IOS.SetCallback({"
    "  onScanQRCode: function (t) {"
    "    console.log('scan ' + load + ' ' + t);"
    "    if (load === 1 && t !== undefined) LM_IOS.GetDocumentPath(function (docs) {"
    "      LM_IOS.Photograph({savePath: docs + '/photo.png'}); });"
    "    if (load === 2 && t !== undefined) { LM_IOS.SelectImage(1); LM_IOS.ScanQRCode(); }"
    "  },"
    "  onPhotograph: function (r) {"
    "    console.log('photo ' + r); location.hash = '#2'; location.reload(); },"
    "  onSelectImage: function (r) { console.log('select ' + r); }"
    "});"
    "LM_IOS.ScanQRCode();"
    "</script>";

TEST(Host, TheQRScannerReadsTheCameraPictureAndLeavesTheScreensFree) {
  testing_net::LoopbackServer server;
  server.respond(kPage, 200, kScanPage, "text/html");
  std::string root = tempFolder();
  writeFile(root + "/Lumora.app/Info.plist",
            infoPlist("http://127.0.0.1:" + std::to_string(server.port())));
  writeFile(root + "/Lumora.app/Lumora.bundle/Info.plist", infoPlist(""));
  // A bare code, as a code image file is: the picture is all code and quiet zone.
  const std::string text = "https://example.com/join?room=42";
  auto code = capture_frames::frameWithCodes(160, 160, {{text, 0, 0, 5}});
  ASSERT_TRUE(plat::CGImageWritePNGFile(code, root + "/code.png"));
  HostProcess host({"--bundle", root + "/Lumora.app", "--device", root + "/device", "--camera",
                    root + "/code.png"});
  ASSERT_TRUE(host.readUntil([](const std::string& out) {
    return contains(out, "console.log: scan 2 undefined\n");
  })) << host.out()
      << host.err();
  EXPECT_TRUE(contains(host.out(), "console.log: scan 1 " + text + "\n")) << host.out();
  EXPECT_TRUE(contains(host.out(), "console.log: photo {\"result\":true}\n")) << host.out();
  EXPECT_TRUE(contains(host.out(), "console.log: scan 2 " + text + "\n")) << host.out();
  EXPECT_FALSE(contains(host.out(), "console.log: select")) << host.out();
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(), 0) << host.err();
  fs::remove_all(root);
}

TEST(Host, BundlesThatCannotBeUsedAreRefusedWithExitCode2) {
  std::string root = tempFolder();
  fs::create_directories(root + "/empty.app");
  writeFile(root + "/garbage.app/Info.plist", "this is not a property list \x01\x02");
  writeFile(root + "/ok.app/Info.plist", infoPlist(""));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bundle", root + "/missing.app", "--device", root + "/d"}, "is not a folder"},
      {{"--bundle", root + "/empty.app", "--device", root + "/d"}, "has no readable Info.plist"},
      {{"--bundle", root + "/garbage.app", "--device", root + "/d"}, "not a property list"},
      {{"--device", root + "/d"}, "--bundle and --device are required"},
      {{"--bundle", root + "/empty.app", "--device", root + "/d", "--seconds", "soon"},
       "--seconds"},
      {{"--bundle", root + "/empty.app", "--device", root + "/d", "--seconds", "nan"}, "--seconds"},
      {{"--bundle", root + "/ok.app", "--device", root + "/d", "--camera",
        root + "/garbage.app/Info.plist"},
       "is not an image file"},
      {{"--bundle", root + "/ok.app", "--device", root + "/d", "--camera", root},
       "is not an image file"},
  };
  for (const auto& c : cases) {
    HostProcess host(c.args);
    EXPECT_EQ(host.wait(), 2) << c.message;
    EXPECT_TRUE(contains(host.err(), c.message)) << host.err();
    EXPECT_TRUE(host.out().empty());
  }
  fs::remove_all(root);
}

TEST(Host, HelpPrintsTheUsageAndABundleWithAnEmptyInfoDictionaryStarts) {
  {
    HostProcess help({"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_TRUE(contains(help.out(), "usage: lumora --bundle DIR --device DIR")) << help.out();
    EXPECT_TRUE(help.err().empty()) << help.err();
  }
  std::string root = tempFolder();
  writeFile(root + "/bare.app/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict/></plist>\n");
  HostProcess host({"--bundle", root + "/bare.app", "--device", root + "/d", "--seconds", "1"});
  EXPECT_EQ(host.wait(), 0) << host.err();
  EXPECT_FALSE(contains(host.err(), "not a property list")) << host.err();
  fs::remove_all(root);
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The demo as scripts/demo runs it (its bundle and page, the aggregation server on loopback,
// the channel completing at once): once the page has logged "done" and "onLogout" it presses
// its "QR + crop" button, and the screen picture shows the crop screen over the code.
// A plain run has no channel behind the channel SDK's entry: the page's login and payment are
// answered at once with failures, never left unanswered.
TEST(Host, WithoutAChannelThePagesLoginAndPaymentFailAtOnce) {
  testing_kite::KiteServer kite;
  testing_net::LoopbackServer server;
  server.respond(kPage, 200,
                 "<script>"
                 "var kite = window.KiteSDK_IOS;"
                 "kite.SetCallback({"
                 "  onLogin: function (r) { console.log('onLogin ' + JSON.stringify(r));"
                 "    kite.Pay({orderInfo: {cpOrderID: 'cp-1', amount: 6}}); },"
                 "  onPay: function (r) { console.log('onPay ' + JSON.stringify(r)); }"
                 "});"
                 "(function waitForInit() {"
                 "  kite.GetInitResult(function (r) {"
                 "    if (r === 0) { kite.Login(); return; }"
                 "    setTimeout(waitForInit, 100);"
                 "  });"
                 "})();"
                 "</script>",
                 "text/html");
  std::string root = tempFolder();
  std::string info = infoPlist("http://127.0.0.1:" + std::to_string(server.port()));
  info.replace(info.find("</dict>"), 7,
               "<key>KITE_PRODUCT_CODE</key><string>" + kite.options().productCode +
                   "</string><key>KITE_PRODUCT_KEY</key><string>" + kite.options().productKey +
                   "</string><key>KITE_API_HOST</key><string>" + kite.apiBase() +
                   "</string><key>KITE_GATEWAY_BASE</key><string>" + kite.gatewayBase() +
                   "</string><key>KITE_CDN_BASE</key><string>" + kite.cdnBase() +
                   "</string><key>KITE_SERVER_LIST_BASE</key><string>" + kite.serverListBase() +
                   "</string></dict>");
  writeFile(root + "/Lumora.app/Info.plist", info);
  HostProcess host({"--bundle", root + "/Lumora.app", "--device", root + "/device", "--online"});
  ASSERT_TRUE(host.readUntil([](const std::string& out) {
    return contains(out, "console.log: onPay {\"result\":1}\n");
  })) << host.out()
      << host.err();
  EXPECT_TRUE(contains(host.out(), "console.log: onLogin {\"result\":1}\n")) << host.out();
  EXPECT_EQ(kite.calls(testing_kite::kOrder).size(), 0u) << "nobody logged in: no order";
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(), 0) << host.err();
  fs::remove_all(root);
}

TEST(Host, TheDemoPageEndsOnTheCropScreenOverItsQRCode) {
  testing_kite::KiteServer::Options options;
  options.productCode = "demo-product-code";
  options.productKey = "demo-product-key";
  testing_kite::KiteServer kite(options);
  testing_net::LoopbackServer server;
  server.respond(kPage, 200,
                 readFile(LUMORA_SOURCE_DIR "/demo/site/mrzd4/index/native_ios/release/index.html"),
                 "text/html");
  std::string root = tempFolder();
  fs::copy(LUMORA_SOURCE_DIR "/demo/Lumora.app", root + "/Lumora.app", fs::copy_options::recursive);
  std::string info = readFile(root + "/Lumora.app/Info.plist");
  auto put = [&](const std::string& from, const std::string& to) {
    auto at = info.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    info.replace(at, from.size(), to);
  };
  put("http://127.0.0.1:8080", "http://127.0.0.1:" + std::to_string(server.port()));
  put("</dict>", "<key>KITE_API_HOST</key><string>" + kite.apiBase() +
                     "</string><key>KITE_GATEWAY_BASE</key><string>" + kite.gatewayBase() +
                     "</string><key>KITE_CDN_BASE</key><string>" + kite.cdnBase() +
                     "</string><key>KITE_SERVER_LIST_BASE</key><string>" + kite.serverListBase() +
                     "</string></dict>");
  writeFile(root + "/Lumora.app/Info.plist", info);

  HostProcess host({"--bundle", root + "/Lumora.app", "--device", root + "/device", "--screenshot",
                    root + "/screen.png", "--auto-channel", "--online"});
  ASSERT_TRUE(host.readUntil([](const std::string& out) {
    return contains(out, "console.log: demo: QR + crop: code written to ");
  })) << host.out()
      << host.err();
  EXPECT_TRUE(contains(host.out(), "console.log: demo: done\n"));
  EXPECT_TRUE(contains(host.out(), "console.log: demo: onLogout "));
  // The page logs after its commands were posted, and the host handles the page's messages
  // in order: the crop screen is up by now.
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(), 0) << host.err();
  std::string docs = root + "/device/Application/Documents";
  EXPECT_EQ(readFile(docs + "/demo-qr.jpg").substr(0, 3), "\xFF\xD8\xFF");

  // The picture: the code's square of black and white modules in the middle of the crop
  // view, the crop screen's bar at the bottom.
  std::string png = readFile(root + "/screen.png");
  const char* output = std::getenv("LUMORA_TEST_OUTPUT");
  writeFile(std::string(output && *output ? output : "test-output") + "/host/demo-screen.png", png);
  auto source = plat::CGImageSource::createWithData(plat::Data::fromString(png));
  ASSERT_TRUE(source);
  auto image = source->createImageAtIndex(0);
  ASSERT_TRUE(image);
  size_t w = image->width(), h = image->height();
  int black = 0, white = 0;
  for (size_t y = h / 2 - h / 8; y < h / 2 + h / 8; y += 2) {
    for (size_t x = w / 4; x < w * 3 / 4; x += 2) {
      uint32_t p = image->pixelAt(int(x), int(y));
      int r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
      black += r < 60 && g < 60 && b < 60;
      white += r > 200 && g > 200 && b > 200;
    }
  }
  EXPECT_GT(black, 200) << "no dark modules in the middle";
  EXPECT_GT(white, 200) << "no light modules in the middle";
  int title = 0;  // "Confirm", white on the black bar at the bottom right
  for (size_t y = h - h / 14; y < h; ++y)
    for (size_t x = w * 3 / 4; x < w; ++x) title += (image->pixelAt(int(x), int(y)) & 0xff) > 200;
  EXPECT_GT(title, 20) << "no crop screen bar";
  fs::remove_all(root);
}

}  // namespace
