// Placeholder until the POSIX platform lands.
#include "platform/system.h"

namespace quorrex {

std::unique_ptr<Platform> CreateSystemPlatform() { return nullptr; }

}  // namespace quorrex
