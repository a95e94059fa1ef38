#include "run/startup.h"

namespace quorrex {

void HardenDllSearch(Run& run) {
  run.platform.HardenLibrarySearch();
}

bool ReadOwnVersion(Run& run, const std::u16string& ownPath) {
  uint32_t fileVersionMS = 0;
  if (!run.platform.ReadFileVersion(ownPath, fileVersionMS)) return false;
  run.version.major = static_cast<uint16_t>(fileVersionMS >> 16);
  run.version.minor = static_cast<uint16_t>(fileVersionMS & 0xFFFF);
  return true;
}

}  // namespace quorrex
