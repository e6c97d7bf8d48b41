// The "local" scheme's Range header on a video of the Data folder, through the scheme handler
// itself: every header ends the task, a served range lies inside the file and carries exactly
// its bytes, and an unsatisfiable one answers 416 with nothing in the body.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NSBundle.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLResponse.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"
#include "testing/loop/Pump.h"

namespace {

constexpr size_t kVideoSize = 1000;

std::string videoBytes() {
  std::string s;
  for (size_t i = 0; i < kVideoSize; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

std::shared_ptr<MainViewController> controller;
std::string video;

void write(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

// What the task was told.
struct Answer {
  std::mutex mu;
  std::shared_ptr<plat::NSHTTPURLResponse> response;
  std::string body;
  bool finished = false;
  plat::NSErrorRef error;
  bool done() {
    std::lock_guard<std::mutex> lock(mu);
    return finished || error;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A bundle of our own under the temporary folder, removed at exit.
  static std::string root = [] {
    std::string templ = (std::filesystem::temp_directory_path() / "lumora-fuzz-XXXXXX").string();
    char* made = ::mkdtemp(templ.data());
    if (!made) std::abort();
    return std::string(made);
  }();
  std::atexit([] {
    controller.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  });
  video = videoBytes();
  write(std::filesystem::path(root) / "Data/v/clip.mp4", video);
  write(std::filesystem::path(root) / "Data/nativefiles.json", R"({"/v/clip.mp4": {"mime": "video/mp4"}})");
  write(std::filesystem::path(root) / "Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.lumora.fuzz</string></dict></plist>\n");
  plat::NSBundle::setMainBundlePath(root);
  controller = MainViewController::instantiateFromStoryboard();
  controller->loadViewIfNeeded();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string range(reinterpret_cast<const char*>(data), size);
  auto request = plat::NSMutableURLRequest::requestWithURL("local://game/v/clip.mp4");
  request->setValueForHTTPHeaderField(range, "Range");
  auto answer = std::make_shared<Answer>();
  plat::WKURLSchemeTask::Sink sink;
  sink.response = [answer](const std::shared_ptr<plat::NSURLResponse>& r) {
    std::lock_guard<std::mutex> lock(answer->mu);
    answer->response = std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(r);
  };
  sink.data = [answer](const plat::Data& d) {
    std::lock_guard<std::mutex> lock(answer->mu);
    answer->body += d.toString();
  };
  sink.finish = [answer] {
    std::lock_guard<std::mutex> lock(answer->mu);
    answer->finished = true;
  };
  sink.fail = [answer](const plat::NSErrorRef& e) {
    std::lock_guard<std::mutex> lock(answer->mu);
    answer->error = e;
  };
  auto task = std::make_shared<plat::WKURLSchemeTask>(request, sink);
  controller->webViewStartURLSchemeTask(controller->webView(), task);
  FUZZ_CHECK(testing_loop::runUntil([&] { return answer->done(); }, 30), range);

  std::lock_guard<std::mutex> lock(answer->mu);
  if (answer->error) {
    FUZZ_CHECK(!answer->response && answer->body.empty(), range);
    return 0;
  }
  FUZZ_CHECK(answer->response, range);
  const int64_t status = answer->response->statusCode();
  const std::string contentRange =
      answer->response->valueForHTTPHeaderField("Content-Range").value_or("");
  if (status == 416) {
    FUZZ_CHECK(contentRange == "bytes */" + std::to_string(kVideoSize) && answer->body.empty(),
               range);
    return 0;
  }
  FUZZ_CHECK(status == 206, range + " -> status " + std::to_string(status));
  long long start = -1, end = -1, total = -1;
  FUZZ_CHECK(std::sscanf(contentRange.c_str(), "bytes %lld-%lld/%lld", &start, &end, &total) == 3,
             range + " -> " + contentRange);
  FUZZ_CHECK(total == static_cast<long long>(kVideoSize) && 0 <= start && start <= end &&
                 end < total,
             range + " -> " + contentRange);
  FUZZ_CHECK(answer->body == video.substr(start, end - start + 1), range + " -> " + contentRange);
  FUZZ_CHECK(answer->response->valueForHTTPHeaderField("Content-Length") ==
                 std::to_string(end - start + 1),
             range);
  return 0;
}
