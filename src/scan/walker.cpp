#include "scan/walker.h"

namespace quorrex {

uint32_t WalkFolder(Run& run, std::u16string_view folder, std::u16string_view pattern,
                    int32_t depth) {
  (void)run, (void)folder, (void)pattern, (void)depth;
  return 0;
}

}  // namespace quorrex
