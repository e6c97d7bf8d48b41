#include "logging/LGLogFileManagerDefault.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>

#include "logging/LGDiagnostics.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"

namespace {

constexpr const char* kFileDateFormat = "yyyy'-'MM'-'dd'--'HH'-'mm'-'ss'-'SSS'";
constexpr const char* kLogsFolderName = "Logs";
constexpr const char* kLogExtension = ".log";
constexpr int64_t kFileWriteFileExistsError = 516;
constexpr int kMaxCriticalErrors = 5;

constexpr const char* kProtectionNone = "NSFileProtectionNone";
constexpr const char* kProtectionComplete = "NSFileProtectionComplete";
constexpr const char* kProtectionCompleteUnlessOpen = "NSFileProtectionCompleteUnlessOpen";
constexpr const char* kProtectionUntilFirstAuth =
    "NSFileProtectionCompleteUntilFirstUserAuthentication";

plat::DispatchQueueRef backgroundQueue() {
  return plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_DEFAULT);
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The application's first user caches folder.
std::string LGApplicationCachesDirectory() {
  auto folders = plat::NSSearchPathForDirectoriesInDomains(plat::NSCachesDirectory,
                                                           plat::NSUserDomainMask, true);
  return folders.empty() ? plat::DeviceRoot::cachesPath() : folders.front();
}

// A value of the application's Info.plist, or nil.
plat::Value LGApplicationInfoValue(const char* key) {
  auto bundle = plat::NSBundle::mainBundle();
  return bundle ? bundle->objectForInfoDictionaryKey(key) : plat::Value();
}

// The error for a logs folder whose path cannot name a folder (a NUL byte in it would make
// every file operation act on a shorter path, that is on another folder).
plat::NSErrorRef invalidFolderError(const std::string& folder) {
  plat::Dictionary info;
  info.set(plat::NSFilePathErrorKey, folder);
  info.set(plat::NSLocalizedDescriptionKey,
           std::string("The logs folder path holds a NUL byte and names no folder."));
  return plat::NSError::make(plat::NSCocoaErrorDomain, plat::NSFileWriteInvalidFileNameError,
                             std::move(info));
}

// What a file is sorted by: the creation number it carries, or for a file without one the
// highest number of the numbered files dated no later (0 for none); whether it carries a
// number; then the date its name tells, else its creation date, else now.
struct SortKey {
  LGLogFileInfoRef info;
  uint64_t order;
  bool numbered;
  plat::NSDate date;
};

// The extended attribute holding a file's creation number: 1 + the highest number of the
// files in the folder when it was made. It orders files across runs whatever the clock did.
constexpr const char* kOrderAttribute = "user.vestrel.log.order";

// Where the file system keeps no user extended attributes (ramfs, FAT-type folders), the
// numbers live in this record in the folder instead: one line "<number> <file name>" per
// file. It is not a log file (no application-name prefix, no ".log" ending).
constexpr const char* kOrderRecordName = ".vestrel.log.order";
// Far more than the lines of any number of files kept; a longer record is read this far.
constexpr size_t kMaxOrderRecordBytes = 1 << 20;

std::atomic<bool> gAttributesUnavailableForTesting{false};
std::atomic<bool> gOrderRecordWritesFailForTesting{false};

// The creation number `path` carries in its attribute, or 0.
uint64_t creationNumberAttribute(const std::string& path) {
  if (gAttributesUnavailableForTesting.load()) return 0;
  char text[24];
  ssize_t n = ::getxattr(path.c_str(), kOrderAttribute, text, sizeof text - 1);
  if (n <= 0) return 0;
  text[n] = '\0';
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  return errno == 0 && end == text + n ? static_cast<uint64_t>(v) : 0;
}

bool setCreationNumberAttribute(const std::string& path, uint64_t number) {
  if (gAttributesUnavailableForTesting.load()) return false;
  std::string text = std::to_string(number);
  return ::setxattr(path.c_str(), kOrderAttribute, text.data(), text.size(), 0) == 0;
}

// File name -> creation number, as the folder's order record holds them (empty without one).
std::map<std::string, uint64_t> readOrderRecord(const std::string& folder) {
  std::map<std::string, uint64_t> record;
  int fd = plat::openRegularFile(folder + "/" + kOrderRecordName, O_RDONLY);
  if (fd < 0) return record;
  std::string text;
  char buffer[4096];
  while (text.size() < kMaxOrderRecordBytes) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  // Whole lines only: "<digits> <name>".
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    size_t blank = text.find(' ', at);
    if (blank == at || blank >= end) continue;
    uint64_t number = 0;
    bool digits = true;
    for (size_t i = at; i < blank && digits; ++i) {
      digits = text[i] >= '0' && text[i] <= '9' && number <= (UINT64_MAX - 9) / 10;
      number = number * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (digits && blank + 1 < end) record[text.substr(blank + 1, end - blank - 1)] = number;
  }
  return record;
}

// Replaces the folder's order record (atomically: a reader sees the old one or the new one).
// Within the bound a reader keeps: where the lines would pass it, the lowest numbers (the
// oldest files, deleted first) are left out.
bool writeOrderRecord(const std::string& folder, const std::map<std::string, uint64_t>& record) {
  if (gOrderRecordWritesFailForTesting.load()) return false;
  std::vector<std::pair<uint64_t, const std::string*>> lines;
  for (const auto& [name, number] : record) lines.emplace_back(number, &name);
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return b.first < a.first; });
  std::string text;
  for (const auto& [number, name] : lines) {
    std::string line = std::to_string(number) + " " + *name + "\n";
    if (text.size() + line.size() > kMaxOrderRecordBytes) break;
    text += line;
  }
  return plat::writeDataToFile(plat::Data::fromString(text), folder + "/" + kOrderRecordName,
                               plat::NSDataWritingAtomic);
}

// An advisory lock on the folder, held while its order record is read, changed and written:
// managers of other processes (or other managers of this one) on the same folder then never
// write over a line another one has just added. Where the folder cannot be locked, the
// record is changed without it.
class OrderRecordLock {
 public:
  explicit OrderRecordLock(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~OrderRecordLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
  }
  OrderRecordLock(const OrderRecordLock&) = delete;
  OrderRecordLock& operator=(const OrderRecordLock&) = delete;

 private:
  int fd_;
};

// Whether `name` is a regular file in `folder` (a name that could lead elsewhere is none).
bool isFileInFolder(const std::string& folder, const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
    return false;
  }
  struct stat st {};
  return ::lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string fileNameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The creation number of the file at `path`: its attribute, else its line in `record`, else 0.
uint64_t creationNumber(const std::string& path, const std::map<std::string, uint64_t>& record) {
  uint64_t number = creationNumberAttribute(path);
  if (number != 0) return number;
  auto recorded = record.find(fileNameOf(path));
  return recorded == record.end() ? 0 : recorded->second;
}

// Notes of made files kept: far more than any number of files kept.
constexpr size_t kMaxCreatedNotes = 4096;

}  // namespace

LGLogFileManagerDefault::LGLogFileManagerDefault(const std::string& logsDirectory)
    : LGLogFileManagerDefault(logsDirectory, std::string()) {}

LGLogFileManagerDefault::LGLogFileManagerDefault(const std::string& logsDirectory,
                                                 const std::string& protectionLevel)
    : logsDirectory_(logsDirectory.empty() ? defaultLogsDirectory() : logsDirectory) {
  fileDateFormatter_.setLocale("en_US_POSIX");
  fileDateFormatter_.setTimeZone(plat::NSTimeZone::GMT());
  fileDateFormatter_.setDateFormat(kFileDateFormat);
  if (protectionLevel == kProtectionNone || protectionLevel == kProtectionComplete ||
      protectionLevel == kProtectionCompleteUnlessOpen ||
      protectionLevel == kProtectionUntilFirstAuth) {
    defaultFileProtectionLevel_ = protectionLevel;
  }
}

std::string LGLogFileManagerDefault::defaultLogsDirectory() {
  return (std::filesystem::path(LGApplicationCachesDirectory()) / kLogsFolderName).string();
}

std::string LGLogFileManagerDefault::fileSafeApplicationName(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name == "." || name == "..") name.clear();
  return name;
}

const std::string& LGLogFileManagerDefault::applicationName() {
  static const std::string* name = [] {
    std::string id =
        fileSafeApplicationName(LGApplicationInfoValue("CFBundleIdentifier").stringOr());
    if (id.empty()) id = fileSafeApplicationName(plat::NSProcessInfo::processInfo().processName());
    return new std::string(id);
  }();
  return *name;
}

std::string LGLogFileManagerDefault::logsDirectory() {
  LGPrecondition(!logsDirectory_.empty(), "Directory must be set.");
  if (!plat::isValidFilePath(logsDirectory_)) {
    LGDiagnosticLog(plat::format("LGFileLogManagerDefault: Error creating logsDirectory: %@",
                                 invalidFolderError(logsDirectory_)));
    return logsDirectory_;
  }
  std::error_code ec;
  std::filesystem::create_directories(logsDirectory_, ec);
  if (ec) {
    LGDiagnosticLog(
        plat::format("LGFileLogManagerDefault: Error creating logsDirectory: %@", ec.message()));
  }
  return logsDirectory_;
}

void LGLogFileManagerDefault::setMaximumNumberOfLogFiles(uint64_t count) {
  if (maximumNumberOfLogFiles_.exchange(count) != count) deleteOldFilesForConfigurationChange();
}

void LGLogFileManagerDefault::setLogFilesDiskQuota(uint64_t bytes) {
  if (logFilesDiskQuota_.exchange(bytes) != bytes) deleteOldFilesForConfigurationChange();
}

void LGLogFileManagerDefault::deleteOldFilesForConfigurationChange() {
  auto self = shared_from_this();
  plat::dispatch_async(backgroundQueue(), [self] { self->deleteOldLogFiles(); });
}

bool LGLogFileManagerDefault::isLogFile(const std::string& fileName) const {
  std::string prefix = applicationName() + " ";
  return fileName.size() >= prefix.size() && fileName.compare(0, prefix.size(), prefix) == 0 &&
         endsWith(fileName, kLogExtension);
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFilePaths() {
  std::string folder = logsDirectory();
  std::vector<std::string> paths;
  if (!plat::isValidFilePath(folder)) return paths;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return paths;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (isLogFile(name)) paths.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  return paths;
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFileNames() {
  std::vector<std::string> names;
  for (const std::string& path : unsortedLogFilePaths()) {
    names.push_back(path.substr(path.find_last_of('/') + 1));
  }
  return names;
}

std::vector<LGLogFileInfoRef> LGLogFileManagerDefault::unsortedLogFileInfos() {
  std::vector<LGLogFileInfoRef> infos;
  for (const std::string& path : unsortedLogFilePaths())
    infos.push_back(LGLogFileInfo::logFileWithPath(path));
  return infos;
}

std::optional<plat::NSDate> LGLogFileManagerDefault::dateFromFileName(
    const std::string& fileName) const {
  size_t blank = fileName.find_last_of(' ');
  std::string piece = blank == std::string::npos ? fileName : fileName.substr(blank + 1);
  for (size_t at; (at = piece.find(kLogExtension)) != std::string::npos;) {
    piece.erase(at, std::strlen(kLogExtension));
  }
  return fileDateFormatter_.dateFromString(piece);
}

void LGLogFileManagerDefault::noteCreated(const std::string& path, bool made) {
  std::lock_guard<std::mutex> lock(createdMu_);
  if (!made) {
    auto it = std::find(created_.rbegin(), created_.rend(), path);
    if (it != created_.rend()) created_.erase(std::next(it).base());
    return;
  }
  if (created_.size() >= kMaxCreatedNotes) created_.erase(created_.begin());
  created_.push_back(path);
}

std::vector<LGLogFileInfoRef> LGLogFileManagerDefault::sortedLogFileInfos() {
  std::vector<SortKey> keys;
  plat::NSDate now = plat::NSDate::now();
  std::vector<LGLogFileInfoRef> infos = unsortedLogFileInfos();
  std::map<std::string, uint64_t> record = readOrderRecord(logsDirectory_);
  std::vector<std::pair<plat::NSDate, uint64_t>> numbered;  // date, number
  for (LGLogFileInfoRef& info : infos) {
    std::optional<plat::NSDate> date = dateFromFileName(info->fileName());
    if (!date) date = info->creationDate();
    uint64_t number = creationNumber(info->filePath(), record);
    keys.push_back({info, number, number != 0, date.value_or(now)});
    if (number != 0) numbered.emplace_back(keys.back().date, number);
  }
  // A file without a number (its record line could not be written, or was lost with a
  // rename) goes just above the numbered files dated no later than it: what is on disk
  // places it, alike in every process and run, never below the files made before it.
  std::sort(numbered.begin(), numbered.end());
  for (size_t i = 1; i < numbered.size(); ++i)
    numbered[i].second = std::max(numbered[i].second, numbered[i - 1].second);
  for (SortKey& k : keys) {
    if (k.numbered) continue;
    auto after = std::upper_bound(numbered.begin(), numbered.end(), k.date,
                                  [](const plat::NSDate& d, const auto& n) { return d < n.first; });
    k.order = after == numbered.begin() ? 0 : std::prev(after)->second;
  }
  // The order in which files were made holds whatever the clock did since: the numbers they
  // carry (kept across runs). The dates only order files without a number among themselves.
  std::stable_sort(keys.begin(), keys.end(), [](const SortKey& a, const SortKey& b) {
    if (a.order != b.order) return b.order < a.order;
    if (a.numbered != b.numbered) return b.numbered;
    return b.date < a.date;
  });
  std::vector<LGLogFileInfoRef> sorted;
  sorted.reserve(keys.size());
  for (SortKey& k : keys) sorted.push_back(std::move(k.info));
  return sorted;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFilePaths() {
  std::vector<std::string> paths;
  for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
  return paths;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFileNames() {
  std::vector<std::string> names;
  for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
  return names;
}

void LGLogFileManagerDefault::deleteOldLogFiles() {
  std::lock_guard<std::mutex> fileOps(fileOpsMu_);
  std::vector<LGLogFileInfoRef> sorted = sortedLogFileInfos();
  std::optional<size_t> firstToDelete;
  uint64_t quota = logFilesDiskQuota_.load();
  if (quota > 0) {
    uint64_t used = 0;
    for (size_t i = 0; i < sorted.size(); ++i) {
      used += sorted[i]->fileSize();
      if (used > quota) {
        firstToDelete = i;
        break;
      }
    }
  }
  uint64_t maxFiles = maximumNumberOfLogFiles_.load();
  if (maxFiles > 0) {
    size_t byCount = static_cast<size_t>(std::min<uint64_t>(maxFiles, SIZE_MAX));
    firstToDelete = firstToDelete ? std::min(*firstToDelete, byCount) : byCount;
  }
  if (!firstToDelete) return;
  if (*firstToDelete == 0 && !sorted.empty() && !sorted[0]->isArchived()) firstToDelete = 1;
  std::string newest;  // the file made last: the file logger writes it until it is archived
  {
    std::lock_guard<std::mutex> lock(createdMu_);
    if (!created_.empty()) newest = created_.back();
  }
  for (size_t i = *firstToDelete; i < sorted.size(); ++i) {
    if (sorted[i]->filePath() == newest && !sorted[i]->isArchived()) continue;
    if (::unlink(sorted[i]->filePath().c_str()) != 0 && errno != ENOENT) {
      LGDiagnosticLog(plat::format("LGLogFileManagerDefault: Error deleting file %@",
                                   std::string(std::strerror(errno))));
    }
  }
}

void LGLogFileManagerDefault::numberNewFile(const std::string& path) {
  OrderRecordLock folderLock(logsDirectory_);
  std::vector<std::string> paths = unsortedLogFilePaths();
  std::map<std::string, uint64_t> record = readOrderRecord(logsDirectory_);
  uint64_t highest = 0;
  for (const std::string& other : paths) highest = std::max(highest, creationNumber(other, record));
  if (setCreationNumberAttribute(path, highest + 1)) return;
  // No attributes here: the record keeps the number, beside those of the files still there
  // (whatever application made them: managers of other names may share the folder). Where
  // it cannot, the file is placed by the date in its name, as every process places it.
  std::string name = fileNameOf(path);
  if (name.find('\n') != std::string::npos) return;
  std::map<std::string, uint64_t> kept;
  for (const auto& line : record) {
    if (isFileInFolder(logsDirectory_, line.first)) kept.insert(line);
  }
  kept[name] = highest + 1;
  if (!writeOrderRecord(logsDirectory_, kept)) {
    LGDiagnosticLog(plat::format("LGLogFileManagerDefault: Error recording the order of %@", path));
  }
}

void LGLogFileManagerDefault::moveCreationNumber(const std::string& folder,
                                                 const std::string& fromName,
                                                 const std::string& toName) {
  if (fromName == toName || toName.find('\n') != std::string::npos) return;
  OrderRecordLock folderLock(folder);
  std::map<std::string, uint64_t> record = readOrderRecord(folder);
  auto from = record.find(fromName);
  auto stale = record.find(toName);
  if (from == record.end() && stale == record.end()) return;
  if (stale != record.end()) record.erase(stale);
  if (from != record.end()) {
    record[toName] = from->second;
    record.erase(from);
  }
  // Where the record cannot be written the file is placed by its new name's date.
  if (!writeOrderRecord(folder, record)) {
    LGDiagnosticLog(plat::format("LGLogFileManagerDefault: Error recording the order of %@",
                                 folder + "/" + toName));
  }
}

void LGLogFileManagerDefault::setExtendedAttributesUnavailableForTesting(bool unavailable) {
  gAttributesUnavailableForTesting.store(unavailable);
}

void LGLogFileManagerDefault::setOrderRecordWritesFailForTesting(bool fail) {
  gOrderRecordWritesFailForTesting.store(fail);
}

std::string LGLogFileManagerDefault::newLogFileName() {
  return plat::format("%@ %@.log", applicationName(),
                      fileDateFormatter_.stringFromDate(plat::Clock::current()->date()));
}

std::string LGLogFileManagerDefault::logFileHeaderData() {
  std::optional<std::string> header = logFileHeader();
  if (!header || header->empty()) return {};
  if (header->back() != '\n') header->push_back('\n');
  return *header;
}

std::string LGLogFileManagerDefault::logFileProtection() const {
  if (!defaultFileProtectionLevel_.empty()) return defaultFileProtectionLevel_;
  plat::Value modes = LGApplicationInfoValue("UIBackgroundModes");
  return modes.count() > 0 ? kProtectionUntilFirstAuth : kProtectionCompleteUnlessOpen;
}

std::optional<std::string> LGLogFileManagerDefault::createNewLogFileWithError(
    plat::NSErrorRef* error) {
  std::string baseName = newLogFileName();
  std::string folder = logsDirectory();
  std::string header = logFileHeaderData();
  if (!plat::isValidFilePath(folder)) {
    plat::NSErrorRef invalid = invalidFolderError(folder);
    LGDiagnosticLog(plat::format(
        "LGLogFileManagerDefault: Critical error while creating log file: %@", invalid));
    if (error) *error = invalid;
    return std::nullopt;
  }
  unsigned long attempt = 1;
  int criticalErrors = 0;
  plat::NSErrorRef lastError;
  std::string stem = baseName.substr(0, baseName.size() - std::strlen(kLogExtension));
  while (true) {
    if (criticalErrors >= kMaxCriticalErrors) {
      LGDiagnosticLog(
          plat::format("LGLogFileManagerDefault: Bailing file creation, encountered %ld errors.",
                       static_cast<long>(criticalErrors)));
      if (error) *error = lastError;
      return std::nullopt;
    }
    std::string name =
        attempt == 1 ? baseName : plat::format("%@ %lu%@", stem, attempt, kLogExtension);
    std::string path = folder + "/" + name;
    // Made and numbered while no deletion runs: a deletion that listed the file before its
    // number was set would sort it last and could delete it once a newer file was noted.
    std::unique_lock<std::mutex> fileOps(fileOpsMu_);
    noteCreated(path, true);
    int fd;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    int err = fd < 0 ? errno : 0;
    if (fd < 0) noteCreated(path, false);
    if (fd >= 0) {
      size_t done = 0;
      while (done < header.size()) {
        ssize_t n = ::write(fd, header.data() + done, header.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          err = n < 0 ? errno : EIO;
          break;
        }
        done += static_cast<size_t>(n);
      }
      ::close(fd);
      if (err != 0) {
        ::unlink(path.c_str());
        noteCreated(path, false);
      }
    }
    if (err == 0) {
      numberNewFile(path);
      fileOps.unlock();
      // File protection classes do not exist here; the class is only computed.
      (void)logFileProtection();
      auto self = shared_from_this();
      plat::dispatch_async(backgroundQueue(), [self] { self->deleteOldLogFiles(); });
      return path;
    }
    if (err == EEXIST) {
      ++attempt;
      continue;
    }
    plat::Dictionary info;
    info.set(plat::NSFilePathErrorKey, path);
    info.set(plat::NSUnderlyingErrorKey,
             plat::Value(plat::NSError::make(plat::NSPOSIXErrorDomain, err,
                                             std::string(std::strerror(err)))));
    lastError = plat::NSError::make(
        plat::NSCocoaErrorDomain, err == EEXIST ? kFileWriteFileExistsError : 512, std::move(info));
    LGDiagnosticLog(plat::format(
        "LGLogFileManagerDefault: Critical error while creating log file: %@", lastError));
    ++criticalErrors;
  }
}
