// A real temporary folder for the POSIX platform tests, removed afterwards.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/utf.h"

namespace quorrex::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string name = std::filesystem::temp_directory_path().string() + "/quorrex-XXXXXX";
    if (mkdtemp(name.data()) != nullptr) path_ = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The full path of `name` inside the folder, as bytes and as UTF-16.
  std::string At(const std::string& name) const { return path_ + "/" + name; }
  std::u16string Wide(const std::string& name = "") const {
    return DecodeUtf8Lossless(name.empty() ? path_ : At(name));
  }
  const std::string& path() const { return path_; }

  bool File(const std::string& name) const {
    const int fd = open(At(name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return false;
    close(fd);
    return true;
  }
  bool Folder(const std::string& name) const { return mkdir(At(name).c_str(), 0755) == 0; }
  bool Link(const std::string& name, const std::string& text) const {
    return symlink(text.c_str(), At(name).c_str()) == 0;
  }

 private:
  std::string path_;
};

}  // namespace quorrex::testing
