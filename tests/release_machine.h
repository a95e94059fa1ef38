// The in-memory machine on a Windows release of the test's choice: the
// calls the program's file queries make there, counted, and the answers
// its file systems give (windows_release.h).
#pragma once

#include "counting_machine.h"

namespace quorrex::testing {

class ReleaseMachine : public CountingMachine {
 public:
  WindowsRelease release = WindowsRelease::kWindows10v1709;

 protected:
  WindowsRelease Release() const override { return release; }
};

}  // namespace quorrex::testing
