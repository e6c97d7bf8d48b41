#pragma once
// Shared helpers of the application tests: a temporary app bundle, and a scheme task that
// records what it is told.

#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/NSBundle.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLResponse.h"
#include "platform/webkit/WKURLSchemeHandler.h"

// A fresh app bundle folder under the test output folder, made the main bundle.
class TempBundle {
 public:
  TempBundle() {
    const char* base = std::getenv("LUMORA_TEST_OUTPUT");
    std::string root = base && *base ? base : "/tmp";
    std::filesystem::create_directories(root);
    std::string templ = root + "/app-XXXXXX";
    char* made = ::mkdtemp(templ.data());
    path_ = made ? made : root;
  }
  ~TempBundle() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

  // Writes `bytes` at `relative` inside the bundle, making folders.
  void write(const std::string& relative, const std::string& bytes) const {
    std::filesystem::path p = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }
  // An XML Info.plist with string values, and the bundle made the main bundle.
  void writeInfo(const std::vector<std::pair<std::string, std::string>>& entries) const {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>CFBundleIdentifier</key><string>com.example.lumora.test</string>";
    for (auto& [k, v] : entries) xml += "<key>" + k + "</key><string>" + v + "</string>";
    xml += "</dict></plist>\n";
    write("Info.plist", xml);
    plat::NSBundle::setMainBundlePath(path_);
  }

 private:
  std::string path_;
};

// A scheme task for `url` (with an optional Range header) that records its answers. The
// answers may arrive on any thread. A `paced` task plays a page that reads only when told:
// bytes it received count as unread until consume().
struct RecordedTask {
  plat::WKURLSchemeTaskRef task;
  std::mutex mu;
  std::shared_ptr<plat::NSURLResponse> response;
  std::string body;
  int dataCalls = 0;
  bool finished = false;
  plat::NSErrorRef error;
  int64_t unread = 0;

  explicit RecordedTask(const std::string& url, const std::string& range = "",
                        bool paced = false) {
    auto request = plat::NSMutableURLRequest::requestWithURL(url);
    if (!range.empty()) request->setValueForHTTPHeaderField(range, "Range");
    plat::WKURLSchemeTask::Sink sink;
    sink.reportsConsumption = paced;
    sink.response = [this](const std::shared_ptr<plat::NSURLResponse>& r) {
      std::lock_guard<std::mutex> lock(mu);
      response = r;
    };
    sink.data = [this](const plat::Data& d) {
      std::lock_guard<std::mutex> lock(mu);
      body.append(reinterpret_cast<const char*>(d.bytes()), d.length());
      unread += static_cast<int64_t>(d.length());
      ++dataCalls;
    };
    sink.finish = [this] {
      std::lock_guard<std::mutex> lock(mu);
      finished = true;
    };
    sink.fail = [this](const plat::NSErrorRef& e) {
      std::lock_guard<std::mutex> lock(mu);
      error = e;
    };
    task = std::make_shared<plat::WKURLSchemeTask>(request, sink);
  }
  // A paced task reads what it received.
  void consume() {
    int64_t n;
    {
      std::lock_guard<std::mutex> lock(mu);
      n = unread;
      unread = 0;
    }
    if (n) task->bytesConsumed(n);
  }
  size_t received() {
    std::lock_guard<std::mutex> lock(mu);
    return body.size();
  }
  bool done() {
    std::lock_guard<std::mutex> lock(mu);
    return finished || error;
  }
  std::shared_ptr<plat::NSHTTPURLResponse> http() {
    std::lock_guard<std::mutex> lock(mu);
    return std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(response);
  }
  std::string header(const std::string& name) {
    auto h = http();
    return h ? h->valueForHTTPHeaderField(name).value_or("<none>") : "<no response>";
  }
};
