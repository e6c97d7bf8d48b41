// The "local" scheme of the game view: files of the Data folder, whole and by byte range,
// with the asset table's MIME types; refusals; stopped tasks; and the page's own requests.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "AppTestSupport.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSError.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

std::string pattern(size_t n) {
  static const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
  std::string s;
  s.reserve(n + alphabet.size());
  while (s.size() < n) s += alphabet;
  s.resize(n);
  return s;
}

struct LocalScheme : ::testing::Test {
  TempBundle bundle;
  std::shared_ptr<MainViewController> vc;
  const std::string video = pattern(1000);

  void SetUp() override {
    bundle.write("Data/img/a.png", "PNGDATA-0123456789");
    bundle.write("Data/img/b.bin", "raw");
    bundle.write("Data/odd/entry.txt", "odd");
    bundle.write("Data/odd/number.txt", "number");
    bundle.write("Data/v/clip.mp4", video);
    bundle.write("Data/v/empty.mp4", "");
    bundle.write("Data/dir/inner.txt", "x");
    bundle.write("secret.txt", "outside the Data folder");
    std::filesystem::create_symlink(bundle.path() + "/secret.txt",
                                    bundle.path() + "/Data/link.txt");
    std::filesystem::create_symlink("img/a.png", bundle.path() + "/Data/alias.png");
    bundle.write("Data/nativefiles.json",
                 R"({"/img/a.png": {"mime": "image/png", "encoding": "binary"},
                     "/v/clip.mp4": {"mime": "video/mp4"},
                     "/img/my pic.png": {"mime": "image/png"},
                     "/odd/entry.txt": "text/plain",
                     "/odd/number.txt": {"mime": 7}})");
    bundle.writeInfo({});
    vc = MainViewController::instantiateFromStoryboard();
    vc->loadViewIfNeeded();
  }

  std::shared_ptr<RecordedTask> run(const std::string& path, const std::string& range = "") {
    auto t = std::make_shared<RecordedTask>("local://game" + path, range);
    vc->webViewStartURLSchemeTask(vc->webView(), t->task);
    EXPECT_TRUE(testing_loop::runUntil([&] { return t->done(); })) << path;
    return t;
  }
};

TEST_F(LocalScheme, WholeFilesAnswer200WithTheTableTypeOrOctetStream) {
  auto png = run("/img/a.png");
  ASSERT_TRUE(png->http());
  EXPECT_EQ(png->http()->statusCode(), 200);
  EXPECT_EQ(png->header("Content-Type"), "image/png");
  EXPECT_EQ(png->header("Content-Length"), "18");
  EXPECT_EQ(png->header("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(png->header("Access-Control-Allow-Methods"), "GET, POST, OPTIONS");
  EXPECT_EQ(png->http()->headerFields().fields().size(), 4u);
  EXPECT_EQ(png->body, "PNGDATA-0123456789");
  EXPECT_TRUE(png->finished);

  // No entry, an entry that is not an object, a "mime" that is not text: all count as missing.
  EXPECT_EQ(run("/img/b.bin")->header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(run("/odd/entry.txt")->header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(run("/odd/number.txt")->header("Content-Type"), "application/octet-stream");
  // The path is looked up as the URL reports it, percent escapes decoded.
  bundle.write("Data/img/my pic.png", "spaced");
  auto spaced = run("/img/my%20pic.png");
  EXPECT_EQ(spaced->body, "spaced");
  EXPECT_EQ(spaced->header("Content-Type"), "image/png");
  EXPECT_EQ(vc->GetAssetEncoding("/img/a.png"), "binary");
  EXPECT_EQ(vc->GetAssetEncoding("/img/b.bin"), "");

  // A large file arrives whole and in order, however it is cut up on the way.
  std::string large = pattern(2621440 + 7);
  bundle.write("Data/big.dat", large);
  auto big = run("/big.dat");
  EXPECT_EQ(big->header("Content-Length"), std::to_string(large.size()));
  EXPECT_TRUE(big->body == large);

  // A Range header on a file that is not a video is ignored: the whole file.
  auto ranged = run("/img/a.png", "bytes=0-1");
  EXPECT_EQ(ranged->http()->statusCode(), 200);
  EXPECT_EQ(ranged->body, "PNGDATA-0123456789");
}

TEST_F(LocalScheme, MissingFoldersAndPathsLeavingTheDataFolderFailWith404AndNoResponse) {
  for (std::string path :
       {"/img/missing.png", "/dir", "/%2e%2e/secret.txt", "/img/%2e%2e/%2e%2e/secret.txt",
        "/%2e%2e/Data/../secret.txt", "/link.txt"}) {
    auto t = run(path);
    ASSERT_TRUE(t->error) << path;
    EXPECT_EQ(t->error->domain(), NSCocoaErrorDomain) << path;
    EXPECT_EQ(t->error->code(), 404) << path;
    EXPECT_FALSE(t->response) << path;
    EXPECT_EQ(t->body, "") << path;
  }
  // A link to a file inside the folder is served.
  EXPECT_EQ(run("/alias.png")->body, "PNGDATA-0123456789");
}

TEST_F(LocalScheme, NamedPipesAreRefusedWithoutBlockingTheFileQueue) {
  // Opening a pipe for reading waits for a writer: served files are checked before opening.
  ASSERT_EQ(::mkfifo((bundle.path() + "/Data/pipe.txt").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((bundle.path() + "/Data/v/pipe.mp4").c_str(), 0600), 0);
  std::filesystem::create_symlink("pipe.txt", bundle.path() + "/Data/to-pipe.txt");
  for (auto [path, range] : {std::pair<std::string, std::string>{"/pipe.txt", ""},
                             {"/v/pipe.mp4", "bytes=0-1"},
                             {"/to-pipe.txt", ""}}) {
    auto t = run(path, range);
    ASSERT_TRUE(t->error) << path;
    EXPECT_EQ(t->error->code(), 404) << path;
    EXPECT_FALSE(t->response) << path;
  }
  // The queue still serves files.
  EXPECT_EQ(run("/img/b.bin")->body, "raw");
}

TEST_F(LocalScheme, VideoRangesAreServedClampedOrRefusedWith416) {
  struct Case {
    std::string range;
    int status;
    std::string contentRange;
    size_t start, length;
  };
  const std::vector<Case> cases = {
      {"bytes=0-1", 206, "bytes 0-1/1000", 0, 2},
      {"bytes=100-", 206, "bytes 100-999/1000", 100, 900},
      {"bytes=100-*", 206, "bytes 100-999/1000", 100, 900},
      {"bytes=990-5000", 206, "bytes 990-999/1000", 990, 10},  // end clamped
      {"bytes=-10", 206, "bytes 990-999/1000", 990, 10},       // suffix: the last 10
      {"bytes=-5000", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes=1000-", 416, "bytes */1000", 0, 0},
      {"bytes=5-2", 416, "bytes */1000", 0, 0},
      {"bytes=-0", 416, "bytes */1000", 0, 0},
      // Numbers are read as the platform reads them: white space and a sign may lead.
      {"bytes= 2-4", 206, "bytes 2-4/1000", 2, 3},
      {"bytes=\t+2- 4", 206, "bytes 2-4/1000", 2, 3},
      {"bytes= -10", 206, "bytes 990-999/1000", 990, 10},
      {"bytes=5--2", 416, "bytes */1000", 0, 0},
      {"bytes=--9223372036854775807", 416, "bytes */1000", 0, 0},  // a negative suffix
  };
  for (const auto& c : cases) {
    auto t = run("/v/clip.mp4", c.range);
    ASSERT_TRUE(t->http()) << c.range;
    EXPECT_EQ(t->http()->statusCode(), c.status) << c.range;
    EXPECT_EQ(t->header("Content-Range"), c.contentRange) << c.range;
    EXPECT_EQ(t->header("Content-Length"), std::to_string(c.length)) << c.range;
    EXPECT_EQ(t->body, video.substr(c.start, c.length)) << c.range;
    EXPECT_TRUE(t->finished) << c.range;
    if (c.status == 206) {
      EXPECT_EQ(t->header("Content-Type"), "video/mp4");
      EXPECT_EQ(t->header("Connection"), "keep-alive");
      EXPECT_EQ(t->http()->headerFields().fields().size(), 6u);
    }
  }
  EXPECT_EQ(run("/v/empty.mp4", "bytes=0-")->http()->statusCode(), 416);

  // A large open range (what a media element asks first) arrives whole, in order, in pieces.
  std::string large = pattern((5u << 19) + 3);
  bundle.write("Data/v/long.mp4", large);
  auto open = run("/v/long.mp4", "bytes=1-");
  EXPECT_EQ(open->header("Content-Length"), std::to_string(large.size() - 1));
  EXPECT_TRUE(open->body == large.substr(1));
  EXPECT_GT(open->dataCalls, 1);

  // A video without a usable Range header is refused like a missing file.
  for (std::string range : {"", "items=0-1", "bytes=12"}) {
    auto t = run("/v/clip.mp4", range);
    ASSERT_TRUE(t->error) << range;
    EXPECT_EQ(t->error->code(), 404);
    EXPECT_FALSE(t->response);
  }
}

// A page that reads slowly, or not at all: whatever it asks, the file is read, and the bytes
// held, at most a bounded piece ahead of what it took. A long or open range is answered with
// a piece of 8 MiB (its Content-Range says so); a whole file is read as the page takes it.
TEST_F(LocalScheme, ASlowReaderIsNeverReadAheadOfByMoreThanABoundedPiece) {
  const size_t size = 24u << 20, piece = 8u << 20;
  const std::string large = pattern(size);
  bundle.write("Data/v/huge.mp4", large);
  bundle.write("Data/huge.bin", large);
  const std::string total = "/" + std::to_string(size);
  struct Case {
    std::string path, range;
    int status;
    std::string contentRange;
    size_t start, length;
  };
  const std::vector<Case> cases = {
      {"/v/huge.mp4", "bytes=1000-", 206, "bytes 1000-" + std::to_string(1000 + piece - 1) + total,
       1000, piece},
      {"/v/huge.mp4", "bytes=0-99999999999", 206, "bytes 0-" + std::to_string(piece - 1) + total,
       0, piece},
      {"/v/huge.mp4", "bytes=-" + std::to_string(size - 5), 206,
       "bytes 5-" + std::to_string(5 + piece - 1) + total, 5, piece},
      {"/v/huge.mp4", "bytes=100-" + std::to_string(100 + piece - 1), 206,
       "bytes 100-" + std::to_string(100 + piece - 1) + total, 100, piece},
      {"/huge.bin", "", 200, "<none>", 0, size},
  };
  const size_t ahead = WKURLSchemeTask::kMaxBufferedBytes + (2u << 20);
  for (const auto& c : cases) {
    auto t = std::make_shared<RecordedTask>("local://game" + c.path, c.range, true);
    vc->webViewStartURLSchemeTask(vc->webView(), t->task);
    // Nothing read by the page: the handler stops within a bounded distance.
    ASSERT_TRUE(testing_loop::runUntil(
        [&] { return t->received() > WKURLSchemeTask::kMaxBufferedBytes; }))
        << c.range;
    EXPECT_LE(t->received(), ahead) << c.range;
    EXPECT_EQ(t->http()->statusCode(), c.status) << c.range;
    EXPECT_EQ(t->header("Content-Range"), c.contentRange) << c.range;
    EXPECT_EQ(t->header("Content-Length"), std::to_string(c.length)) << c.range;
    // The page reads: the answer goes on to its end.
    ASSERT_TRUE(testing_loop::runUntil([&] {
      t->consume();
      return t->done();
    })) << c.range;
    EXPECT_TRUE(t->finished) << c.range;
    EXPECT_TRUE(t->body == large.substr(c.start, c.length)) << c.range;
  }
}

// A file that turns out shorter than its announced length while it is served fails the task:
// a short body is never reported as a complete answer.
TEST_F(LocalScheme, AFileCutShortWhileServedFailsTheTask) {
  const size_t size = 16u << 20;
  struct Case {
    std::string path, range;
    size_t cutTo;
  };
  for (const Case& c : {Case{"/cut.bin", "", 10u << 20}, Case{"/v/cut.mp4", "bytes=0-", 7u << 20}}) {
    bundle.write("Data" + c.path, pattern(size));
    auto t = std::make_shared<RecordedTask>("local://game" + c.path, c.range, true);
    vc->webViewStartURLSchemeTask(vc->webView(), t->task);
    // The file is cut once the handler has announced its length and waits for the page.
    ASSERT_TRUE(testing_loop::runUntil(
        [&] { return t->received() > WKURLSchemeTask::kMaxBufferedBytes; }));
    std::filesystem::resize_file(bundle.path() + "/Data" + c.path, c.cutTo);
    ASSERT_TRUE(testing_loop::runUntil([&] {
      t->consume();
      return t->done();
    })) << c.path;
    EXPECT_FALSE(t->finished) << c.path << " " << c.range;
    ASSERT_TRUE(t->error) << c.path << " " << c.range;
    EXPECT_EQ(t->error->domain(), NSCocoaErrorDomain);
    EXPECT_LE(t->received(), c.cutTo);
  }
}

// A name is found whichever Unicode normal form the request and the file use (composed "é"
// or "e" with a combining accent), in folders as in files, and so is its table entry.
TEST_F(LocalScheme, NamesAreFoundInEitherUnicodeNormalForm) {
  const std::string composed = "caf\xC3\xA9", decomposed = "cafe\xCC\x81";
  bundle.write("Data/img/" + decomposed + ".png", "decomposed file");
  bundle.write("Data/" + composed + "/" + decomposed + ".txt", "mixed");
  bundle.write("Data/nativefiles.json", "{\"/img/" + composed + ".png\": {\"mime\": \"image/png\"}}");
  vc->LoadLocalSettings();
  auto asked = run("/img/caf%C3%A9.png");  // composed, the file decomposed
  EXPECT_EQ(asked->body, "decomposed file");
  EXPECT_EQ(asked->header("Content-Type"), "image/png");
  EXPECT_EQ(run("/img/cafe%CC%81.png")->body, "decomposed file");
  EXPECT_EQ(run("/cafe%CC%81/caf%C3%A9.txt")->body, "mixed");  // both names the other way
  EXPECT_EQ(run("/caf%C3%A9/cafe%CC%81.txt")->body, "mixed");
  EXPECT_EQ(run("/img/cafe.png")->error->code(), 404);  // no accent is another name
}

TEST_F(LocalScheme, AStoppedTaskGetsNoFurtherCallsFromQueuedFileWork) {
  dispatch_suspend(vc->queue());
  auto whole = std::make_shared<RecordedTask>("local://game/img/a.png");
  auto ranged = std::make_shared<RecordedTask>("local://game/v/clip.mp4", "bytes=0-9");
  vc->webViewStartURLSchemeTask(vc->webView(), whole->task);
  vc->webViewStartURLSchemeTask(vc->webView(), ranged->task);
  for (auto* t : {whole.get(), ranged.get()}) {
    t->task->markStopped();
    vc->webViewStopURLSchemeTask(vc->webView(), t->task);
  }
  dispatch_resume(vc->queue());
  ASSERT_TRUE(testing_loop::runUntilIdle());
  for (auto* t : {whole.get(), ranged.get()}) {
    EXPECT_FALSE(t->response);
    EXPECT_FALSE(t->finished);
    EXPECT_EQ(t->task->ignoredCallCount(), 0);
  }
}

TEST_F(LocalScheme, AMissingOrBrokenAssetTableAnswersOctetStream) {
  bundle.write("Data/nativefiles.json", "{ not json");
  vc->LoadLocalSettings();
  EXPECT_TRUE(vc->fileDict().isNil());
  EXPECT_EQ(vc->GetAssetMIME("/img/a.png"), "application/octet-stream");
  EXPECT_EQ(vc->GetAssetMIME(""), "application/octet-stream");
  EXPECT_EQ(vc->GetAssetPath(""), "");
  EXPECT_EQ(vc->GetAssetPath("/img/a.png"), bundle.path() + "/Data/img/a.png");
}

// The page fetches its resources itself: the fallback page of the Data folder (no game host
// configured) requests files whole and by range through XMLHttpRequest.
// The game view on the bundle's Data/index.html, loaded.
std::shared_ptr<MainViewController> showPage(TempBundle& bundle) {
  bundle.writeInfo({{"LM_URL", "local://game/index.html"}});
  auto vc = MainViewController::instantiateFromStoryboard();
  vc->loadViewIfNeeded();
  return vc;
}

// The page's console lines, sorted (its requests answer in any order).
std::vector<std::string> consoleTexts(const std::shared_ptr<MainViewController>& vc) {
  std::vector<std::string> out;
  for (auto& m : vc->webView()->consoleMessages()) out.push_back(m.text);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(LocalSchemePage, ThePageReadsLocalFilesWholeAndByRange) {
  WKWebView::KeepPageLogForTesting keepPageLog;
  TempBundle bundle;
  bundle.write("Data/v/clip.mp4", pattern(1000));
  bundle.write("Data/cfg.json", "{\"level\": 3}");
  bundle.write("Data/nativefiles.json", R"({"/cfg.json": {"mime": "application/json"}})");
  bundle.write("Data/index.html", R"(<script>
    function get(url, range, label) {
      var x = new XMLHttpRequest();
      x.open('GET', url);
      if (range) x.setRequestHeader('Range', range);
      x.onload = function () {
        console.log(label + ' ' + x.status + ' ' + x.getResponseHeader('Content-Type') + ' ' +
                    (x.getResponseHeader('Content-Range') || '-') + ' ' + x.responseText);
      };
      x.onerror = function () { console.log(label + ' error'); };
      x.send();
    }
    get('local://game/cfg.json', null, 'cfg');
    get('local://game/v/clip.mp4', 'bytes=26-28', 'clip');
    get('local://game/v/clip.mp4', null, 'norange');
    get('local://game/nothing.txt', null, 'missing');
  </script>)");
  auto vc = showPage(bundle);
  auto texts = [&] { return consoleTexts(vc); };
  ASSERT_TRUE(testing_loop::runUntil([&] { return texts().size() == 4; }));
  EXPECT_EQ(texts(),
            (std::vector<std::string>{"cfg 200 application/json - {\"level\": 3}",
                                      "clip 206 application/octet-stream bytes 26-28/1000 abc",
                                      "missing error", "norange error"}));
  EXPECT_EQ(vc->webView()->URL().rfind("local://game/index.html?timestamp=", 0), 0u);
}

// Posts holding blobs (a Blob, an empty one, a form with a file, a canvas picture) are
// answered like any request: the scheme never reads a body.
TEST(LocalSchemePage, PostsOfBlobsAndFormsWithFilesAreAnsweredWithoutReadingTheirBodies) {
  WKWebView::KeepPageLogForTesting keepPageLog;
  TempBundle bundle;
  bundle.write("Data/cfg.json", "cfg-bytes");
  bundle.write("Data/index.html", R"(<script>
    const send = (label, body) => fetch('local://game/cfg.json', {method: 'POST', body})
        .then(r => r.text()).then(t => console.log(label + ' ' + t), e => console.log(label + ' ' + e));
    const form = new FormData();
    form.append('file', new Blob(['x']), 'x.txt');
    const canvas = document.createElement('canvas');
    send('blob', new Blob(['abc']));
    send('empty', new Blob([]));
    send('form', form);
    canvas.toBlob((png) => send('canvas', png));
  </script>)");
  auto vc = showPage(bundle);
  auto texts = [&] { return consoleTexts(vc); };
  ASSERT_TRUE(testing_loop::runUntil([&] { return texts().size() == 4; }));
  EXPECT_EQ(texts(), (std::vector<std::string>{"blob cfg-bytes", "canvas cfg-bytes",
                                               "empty cfg-bytes", "form cfg-bytes"}));
}

}  // namespace
