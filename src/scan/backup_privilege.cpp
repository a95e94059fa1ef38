#include "scan/backup_privilege.h"

namespace quorrex {
namespace {

constexpr char16_t kBackupPrivilege[] = u"SeBackupPrivilege";

}  // namespace

void EnsureBackupPrivilege(Platform& platform, ReparseReaderState& reader) {
  if (reader.tokenOpened) return;
  Handle token = 0;
  if (!platform.OpenProcessToken(token)) return;  // the next inspection tries again
  reader.tokenOpened = true;
  Luid luid;
  if (platform.LookupPrivilegeValue(kBackupPrivilege, luid)) {
    EnableBackupPrivilege(platform, token, luid);
  }
  platform.CloseHandle(token);
  reader.privilegeSettled.store(true, std::memory_order_release);
}

void EnableBackupPrivilege(Platform& platform, Handle token, const Luid& luid) {
  TokenPrivileges newState;
  newState.privilegeCount = 1;
  newState.luid = luid;
  newState.attributes = 0;
  TokenPrivileges previous;
  uint32_t previousLength = kTokenPrivilegesSize;
  if (platform.AdjustTokenPrivileges(token, newState, kTokenPrivilegesSize, &previous,
                                     &previousLength) != win_error::kSuccess) {
    return;  // the account does not hold the privilege
  }
  // When the first call changed nothing the previous state comes back without
  // an entry; the privilege is then set to the enabled bit alone.
  previous.privilegeCount = 1;
  previous.luid = luid;
  previous.attributes |= kSePrivilegeEnabled;
  platform.AdjustTokenPrivileges(token, previous, previousLength, nullptr, nullptr);
}

}  // namespace quorrex
