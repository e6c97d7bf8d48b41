#include "logging/LGLogFileManager.h"

#include "logging/LGDiagnostics.h"

std::optional<std::string> LGLogFileManager::createNewLogFileWithError(plat::NSErrorRef* error) {
  std::optional<std::string> path = createNewLogFile();
  LGPrecondition(path.has_value(),
                 "Invalid log file manager! Responds neither to `-createNewLogFileWithError:` nor "
                 "`-createNewLogFile`!");
  if (error) *error = nullptr;
  if (path->empty()) return std::nullopt;
  return path;
}
