#include "run/run_program.h"

namespace quorrex {

int RunProgram(Run& run, const std::vector<std::u16string>& args) {
  (void)run, (void)args;
  return 0;
}

}  // namespace quorrex
