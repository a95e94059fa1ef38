// Whether a link's target exists: asked only for the records for scripts.
#include "paths/path_forms.h"
#include "platform/win32/win32_platform.h"

namespace quorrex::win32 {

LinkTarget Win32Platform::FindLinkTarget(const std::u16string& openName,
                                         const EntryRef& /*entry*/) {
  // Opened for no access at all, which needs no right on the target and
  // touches none of its data; the system follows every link on the way, as
  // any program that opened the link would. A link to a server that does
  // not answer is given up after a control event.
  const WatchedCall watched;
  const HANDLE handle = ::CreateFileW(Wide(UncLongForm(openName)), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    ::CloseHandle(handle);
    return LinkTarget::kExists;
  }
  switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_CANT_RESOLVE_FILENAME:  // a loop of links, or too many
      return LinkTarget::kMissing;
    default:
      // Denied, a drive not ready, a server away, a remote link the system
      // will not follow: nothing is known.
      return LinkTarget::kUnknown;
  }
}

}  // namespace quorrex::win32
