#include "platform/oslog/OSLog.h"

#include <syslog.h>

namespace plat {

namespace {

std::mutex& backendMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::shared_ptr<OSLogBackend>& backendSlot() {
  static auto* slot = new std::shared_ptr<OSLogBackend>(std::make_shared<SyslogOSLogBackend>());
  return *slot;
}

}  // namespace

OSLogRef OSLog::create(std::string subsystem, std::string category) {
  return OSLogRef(new OSLog(std::move(subsystem), std::move(category), false));
}

OSLogRef OSLog::defaultLog() {
  static const auto* log = new OSLogRef(new OSLog({}, {}, true));
  return *log;
}

void OSLog::write(OSLogType type, std::string_view text) const {
  auto backend = currentOSLogBackend();
  backend->write(*this, type, text);
}

SyslogOSLogBackend::SyslogOSLogBackend(Sender sender) : sender_(std::move(sender)) {}

int SyslogOSLogBackend::priorityForType(OSLogType type) {
  switch (type) {
    case OSLogType::Error:
    case OSLogType::Fault:
      return LOG_ERR;
    case OSLogType::Debug:
      return LOG_DEBUG;
    case OSLogType::Default:
    case OSLogType::Info:
      break;
  }
  return LOG_INFO;
}

void SyslogOSLogBackend::write(const OSLog& log, OSLogType type, std::string_view text) {
  std::string line;
  if (!log.isDefault()) {
    line.reserve(log.subsystem().size() + log.category().size() + text.size() + 4);
    line.append("[").append(log.subsystem()).append(":").append(log.category()).append("] ");
  }
  line.append(text);
  // syslog takes a C string: a NUL would end the line there, so it is written escaped.
  for (size_t at = line.find('\0'); at != std::string::npos; at = line.find('\0', at + 2)) {
    line.replace(at, 1, "\\0");
  }
  if (sender_) {
    sender_(priorityForType(type), line.c_str());
    return;
  }
  // The text may hold '%' and arbitrary page content: it is never used as a format.
  syslog(priorityForType(type), "%s", line.c_str());
}

void RecordingOSLogBackend::write(const OSLog& log, OSLogType type, std::string_view text) {
  Record r{log.isDefault(), log.subsystem(), log.category(), type, std::string(text)};
  std::lock_guard<std::mutex> lock(mu_);
  records_.push_back(std::move(r));
}

std::vector<RecordingOSLogBackend::Record> RecordingOSLogBackend::records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
}

void RecordingOSLogBackend::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  records_.clear();
}

void setOSLogBackend(std::shared_ptr<OSLogBackend> backend) {
  if (!backend) backend = std::make_shared<SyslogOSLogBackend>();
  std::lock_guard<std::mutex> lock(backendMutex());
  backendSlot() = std::move(backend);
}

std::shared_ptr<OSLogBackend> currentOSLogBackend() {
  std::lock_guard<std::mutex> lock(backendMutex());
  return backendSlot();
}

}  // namespace plat
