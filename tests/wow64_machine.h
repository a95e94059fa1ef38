// The in-memory machine as a 32-bit program sees 64-bit Windows (WOW64).
// While a thread's file-system redirection is on, C:\Windows\System32 is
// C:\Windows\SysWOW64 for it and C:\Windows\Sysnative the real System32;
// between BeginFileSystemWork and EndFileSystemWork it is off: paths are
// what they say, and Sysnative names nothing. The machine is built with
// paths as they are.
#pragma once

#include <string>

#include "memory_machine.h"

namespace quorrex::testing {

class Wow64Machine : public MemoryMachine {
 public:
  void BeginFileSystemWork() override;
  void EndFileSystemWork() override;
  FolderAlias NativeSystemFolderAlias() override;

 protected:
  std::u16string Redirected(const std::u16string& path) const override;

 private:
  bool RedirectionOff() const;
};

}  // namespace quorrex::testing
