// A fresh folder under the system's temporary directory, removed with everything in it
// when the holder goes.
#ifndef ZELCUPS_TESTS_SUPPORT_SCOPED_TEMP_DIR_H
#define ZELCUPS_TESTS_SUPPORT_SCOPED_TEMP_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelcups-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    if (!path_.empty()) {
      std::filesystem::remove_all(path_, ignored);
    }
  }
  ScopedTempDir(const ScopedTempDir &) = delete;
  ScopedTempDir &operator=(const ScopedTempDir &) = delete;

  bool valid() const { return !path_.empty(); }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

#endif
