// The backup privilege, which lets the reparse reader open points in folders
// the account may not list.
#pragma once

#include "platform/platform.h"
#include "scan/scan_records.h"

namespace quorrex {

// Once per run: the first successful open of the process token tries to
// enable the privilege; one that cannot open the token leaves that to the
// next call. Nothing of it is reported.
void EnsureBackupPrivilege(Platform& platform, ReparseReaderState& reader);

// Enables the privilege `luid` on the open `token`, keeping its other
// attribute bits: the first adjustment switches it off and reports its
// previous state, the second sets that state back with the enabled bit added.
void EnableBackupPrivilege(Platform& platform, Handle token, const Luid& luid);

}  // namespace quorrex
