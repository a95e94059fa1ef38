// The platform of the system the program runs on.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace quorrex {

std::unique_ptr<Platform> CreateSystemPlatform();

}  // namespace quorrex
