// The summary block that ends a completed listing.
#pragma once

#include "run/run_state.h"

namespace quorrex {

void PrintSummary(Run& run);

}  // namespace quorrex
