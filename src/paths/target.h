// The file specification turned into a scan folder and a name pattern.
#pragma once

#include "support/run_state.h"

namespace quorrex {

// Rewrites `run.fileSpec` in place as a full target: quotes at both ends
// removed, the full path taken, a bare name put under the current folder, and
// "*" added to a folder (after a separator).
void NormaliseTarget(Run& run);

// Cuts the target into `run.scanFolder` and `run.namePattern`; false when the
// target holds no separator (and nothing is written).
bool SplitTarget(Run& run, const std::u16string& target);

}  // namespace quorrex
