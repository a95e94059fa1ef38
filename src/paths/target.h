// The file specification turned into a scan folder and a name pattern.
#pragma once

#include "run/run_state.h"

namespace quorrex {

// Rewrites `run.fileSpec` in place as a full target: quotes at both ends
// removed, the full path taken, a bare name put under the current folder, and
// "*" added to a folder (after a separator). False, with the file spec unchanged
// where it is relative, when the current folder it needs cannot be had.
bool NormaliseTarget(Run& run);

// Cuts the target into `run.scanFolder` and `run.namePattern`; false when the
// target holds no separator (and nothing is written).
bool SplitTarget(Run& run, const std::u16string& target);

}  // namespace quorrex
