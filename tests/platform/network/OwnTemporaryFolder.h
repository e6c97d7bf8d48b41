#pragma once
// Points the temporary folder, where partial downloads live, at a folder of the test's own for
// as long as it lives, so a test can see every partial file a download leaves.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

struct OwnTemporaryFolder {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("partials-" + std::to_string(getpid()));
  std::string saved;
  bool had;
  OwnTemporaryFolder() {
    const char* previous = getenv("TMPDIR");
    had = previous != nullptr;
    if (had) saved = previous;
    std::filesystem::create_directories(dir);
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~OwnTemporaryFolder() {
    if (had) {
      setenv("TMPDIR", saved.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::filesystem::remove_all(dir);
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().string());
    return names;
  }
};
