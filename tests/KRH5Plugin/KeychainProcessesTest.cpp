// The page's keychain beside a second process on the same device root (played by the keychain
// helper): a process that holds the database in the middle of a write, and one that writes at
// the same time. Every write of the page is stored, in order, without stalling the page.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "KRH5Plugin/SysInterface.h"
#include "KRH5Plugin/SysKeychainWriter.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/foundation/NSLog.h"
#include "platform/security/SecItem.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

// The helper is built beside the tests: <build>/testing/security/keychain_helper.
std::string helperPath() {
  fs::path dir = fs::read_symlink("/proc/self/exe").parent_path();
  for (; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
    fs::path candidate = dir / "testing" / "security" / "keychain_helper";
    if (fs::exists(candidate)) return candidate.string();
  }
  return std::string();
}

// The helper as a child process, its standard input and output on pipes.
class Helper {
 public:
  explicit Helper(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Helper() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
  }
  // The next line the helper writes, within a real-time deadline (a child process runs on
  // real time); "" when none comes.
  std::string readLine(int timeoutMs = 60000) {
    while (buffer_.find('\n') == std::string::npos) {
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) return "";
      char buf[256];
      ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) return "";
      buffer_.append(buf, static_cast<size_t>(n));
    }
    size_t nl = buffer_.find('\n');
    std::string line = buffer_.substr(0, nl);
    buffer_.erase(0, nl + 1);
    return line;
  }
  void release() { (void)!::write(stdin_, "go\n", 3); }
  // The helper's exit status (-1 when it did not exit normally).
  int wait() {
    int status = 0;
    waited_ = ::waitpid(pid_, &status, 0) == pid_;
    return waited_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  bool waited_ = false;
  std::string buffer_;
};

std::optional<std::string> stored(const std::string& key) {
  Value out;
  Dictionary q{{kSecClass, kSecClassGenericPassword},
               {kSecAttrService, "game"},
               {kSecAttrAccount, key},
               {kSecReturnData, true}};
  if (SecItemCopyMatching(q, &out) != errSecSuccess || !out.data()) return std::nullopt;
  return out.data()->toString();
}

class KeychainProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    helper = helperPath();
    ASSERT_FALSE(helper.empty()) << "keychain_helper not built";
    sys.InitKeychain("game");
  }
  void TearDown() override {
    // Writes still kept belong to this device root.
    testing_loop::runUntil([] { return SysKeychainWriter::shared().pendingCount() == 0; }, 120);
    sys.ReleaseSDK();
  }
  void set(const std::string& key, const std::string& value) {
    sys.SetKeychain("{\"key\":\"" + key + "\",\"value\":\"" + value + "\"}");
  }
  testing_device::TempDeviceRoot root;
  SysInterface sys;
  std::string helper;
};

// Another process holds the database as if stopped in the middle of a write: the page's writes
// neither fail nor stall it; they are kept, in order, read back at once, and stored once the
// other process lets go.
TEST_F(KeychainProcessesTest, WritesOutlastAProcessHoldingTheDatabase) {
  set("gone", "1");
  set("k", "old");
  Helper holder({helper, "hold", root.path()});
  ASSERT_EQ(holder.readLine(), "locked");

  set("k", "new");
  sys.DelKeychain("gone");
  set("k2", "x");
  set("k", "newer");
  EXPECT_EQ(sys.GetKeychain("k"), "newer");
  EXPECT_FALSE(sys.GetKeychain("gone").has_value());
  EXPECT_EQ(sys.GetKeychain("k2"), "x");
  EXPECT_EQ(SysKeychainWriter::shared().pendingCount(), 4u);
  EXPECT_EQ(stored("k"), "old") << "nothing written past the other process";

  holder.release();
  ASSERT_TRUE(
      testing_loop::runUntil([] { return SysKeychainWriter::shared().pendingCount() == 0; }, 120));
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(stored("k"), "newer");
  EXPECT_EQ(stored("k2"), "x");
  EXPECT_FALSE(stored("gone").has_value());
  EXPECT_EQ(sys.GetKeychain("k"), "newer");
}

// As the application ends, writes still kept get a bounded wait: past it they are reported as
// not stored; once the other process lets go, the wait ends as soon as they are stored.
TEST_F(KeychainProcessesTest, TheEndOfTheApplicationWaitsABoundedTimeForKeptWrites) {
  set("k", "old");
  Helper holder({helper, "hold", root.path()});
  ASSERT_EQ(holder.readLine(), "locked");
  set("k", "new");
  std::vector<std::string> logged;
  setNSLogCaptureForTesting([&](const std::string& m) { logged.push_back(m); });
  EXPECT_FALSE(SysKeychainWriter::shared().finishPending(0.1));
  setNSLogCaptureForTesting(nullptr);
  EXPECT_EQ(SysKeychainWriter::shared().pendingCount(), 1u);
  ASSERT_FALSE(logged.empty());
  EXPECT_NE(logged.back().find("1 kept writes were not stored"), std::string::npos) << logged.back();

  holder.release();
  EXPECT_TRUE(SysKeychainWriter::shared().finishPending(120));
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(stored("k"), "new");
}

// Two processes write the same keys at once: every write of the page is stored, also where the
// other process added the item between the page's look for it and its write; every write of
// the other process is stored or answered with an error.
TEST_F(KeychainProcessesTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 300;
  set("start", "1");
  Helper writer({helper, "write", root.path(), "game", "shared-", std::to_string(kCount)});
  for (int i = 0; i < kCount; ++i) set("shared-" + std::to_string(i), "page");
  std::string answer = writer.readLine();
  ASSERT_EQ(answer.rfind("failed ", 0), 0u) << answer;
  EXPECT_EQ(writer.wait(), 0);
  ASSERT_TRUE(
      testing_loop::runUntil([] { return SysKeychainWriter::shared().pendingCount() == 0; }, 120));

  // The other process's adds come before or after the page's write of the same key: an add
  // after it fails as a duplicate, one before it is overwritten.
  int pageValues = 0;
  for (int i = 0; i < kCount; ++i) pageValues += stored("shared-" + std::to_string(i)) == "page";
  EXPECT_EQ(pageValues, kCount);
}

// A kept write that fails in the end is told to the page that made it, and to no later page.
TEST_F(KeychainProcessesTest, AKeptWritesFailureReachesOnlyThePageThatMadeIt) {
  struct Page {
    WKWebViewRef web = WKWebView::make(CGRectMake(0, 0, 320, 480), WKWebViewConfiguration::make());
    std::vector<std::string> told;  // the onKeychainError replies evaluated in the page
    Page() {
      SysPlugin::SetWebView(web);
      IOSPluginSetScriptObserver([this](const std::string& s) {
        if (s.find("onKeychainError") != std::string::npos) told.push_back(s);
      });
    }
    ~Page() {
      setKeychainDeviceLockedForTesting(false);
      IOSPluginSetScriptObserver({});
      SysPlugin::ResetForTesting();
    }
  } page;
  set("start", "1");  // the database is there for the other process to hold
  Helper holder({helper, "hold", root.path()});
  ASSERT_EQ(holder.readLine(), "locked");
  set("old-page", "1");
  IOSPlugin::EndPage();  // a new page replaces the one that made the write above
  set("new-page", "2");
  ASSERT_EQ(SysKeychainWriter::shared().pendingCount(), 2u);
  setKeychainDeviceLockedForTesting(true);  // the kept writes fail once tried
  holder.release();
  ASSERT_TRUE(
      testing_loop::runUntil([] { return SysKeychainWriter::shared().pendingCount() == 0; }, 120));
  EXPECT_EQ(holder.wait(), 0);
  testing_loop::runUntilIdle();
  ASSERT_EQ(page.told.size(), 1u);
  EXPECT_NE(page.told[0].find("new-page"), std::string::npos) << page.told[0];
}

}  // namespace
