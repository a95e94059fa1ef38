// The Win32 platform: the process, paths and volumes, token privileges.
#include "platform/win32/win32_platform.h"

#include <cstddef>
#include <cstring>

#include "paths/path_forms.h"
#include "platform/system.h"

namespace quorrex {

std::unique_ptr<Platform> CreateSystemPlatform() {
  return std::make_unique<win32::Win32Platform>();
}

namespace win32 {
namespace {

// Room for the longest path the long-path form allows, terminator included.
constexpr DWORD kPathBufferLength = 32768;
// The file-system name is short by nature; a volume's root is not: a volume
// mounted at a deep folder has that folder's path.
constexpr DWORD kFsNameLength = 32;
// Only the head of the version resource is read; the fixed part lies in it.
constexpr DWORD kVersionBufferLength = 512;
constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
constexpr DWORD kTokenAdjustAndQuery = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

static_assert(kTokenAdjustAndQuery == 0x28);
static_assert(sizeof(TOKEN_PRIVILEGES) == kTokenPrivilegesSize);
static_assert(sizeof(TokenPrivileges) == kTokenPrivilegesSize);

TOKEN_PRIVILEGES ToSystem(const TokenPrivileges& state) {
  TOKEN_PRIVILEGES result{};
  result.PrivilegeCount = state.privilegeCount;
  result.Privileges[0].Luid.LowPart = state.luid.lowPart;
  result.Privileges[0].Luid.HighPart = state.luid.highPart;
  result.Privileges[0].Attributes = state.attributes;
  return result;
}

TokenPrivileges FromSystem(const TOKEN_PRIVILEGES& state) {
  TokenPrivileges result;
  result.privilegeCount = state.PrivilegeCount;
  result.luid.lowPart = state.Privileges[0].Luid.LowPart;
  result.luid.highPart = state.Privileges[0].Luid.HighPart;
  result.attributes = state.Privileges[0].Attributes;
  return result;
}

// The value of the backup privilege, looked up once. The lookup may load a
// library, so it is made before any thread turns file-system redirection off
// and served from here afterwards.
const LUID* BackupPrivilegeValue() {
  struct Found {
    bool known = false;
    LUID luid{};
  };
  static const Found found = [] {
    Found result;
    result.known = ::LookupPrivilegeValueW(nullptr, L"SeBackupPrivilege", &result.luid) != 0;
    return result;
  }();
  return found.known ? &found.luid : nullptr;
}

// File-system redirection of a 32-bit program on 64-bit Windows (WOW64) is a
// state of each thread: where it is off, System32 is System32 and not
// SysWOW64. Both entries are looked up by name; a system without them, or one
// that refuses (a 32-bit Windows, a 64-bit program), redirects nothing.
using Wow64DisableFn = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID);
thread_local PVOID redirectionState = nullptr;
thread_local int redirectionDepth = 0;  // nested brackets on this thread
thread_local bool redirectionOff = false;

}  // namespace

// --- Process ---------------------------------------------------------------

void Win32Platform::HardenLibrarySearch() {
  // Both entries are looked up at run time so that the program still starts
  // on systems that lack them.
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  using SetDllDirectoryAFn = BOOL(WINAPI*)(LPCSTR);
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  if (auto setDllDirectory = LookUp<SetDllDirectoryAFn>(kernel, "SetDllDirectoryA")) {
    setDllDirectory("");
  }
  if (auto setDefault = LookUp<SetDefaultDllDirectoriesFn>(kernel, "SetDefaultDllDirectories")) {
    setDefault(kLoadLibrarySearchSystem32);
  }
}

void Win32Platform::FailCriticalErrors() {
  // Added to the mode the process inherited, which it keeps otherwise. The
  // mode is the process's, so the walk's readers have it too.
  const UINT inherited = ::SetErrorMode(SEM_FAILCRITICALERRORS);
  ::SetErrorMode(inherited | SEM_FAILCRITICALERRORS);
}

std::u16string Win32Platform::OwnFilePath() {
  // Grows until the whole path fits: a cut path would name another file.
  std::u16string path(MAX_PATH, u'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length =
        ::GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path.data()), size);
    if (length == 0) return std::u16string();
    if (length < size) {
      path.resize(length);
      return path;
    }
    if (size >= kPathBufferLength) return std::u16string();
    path.resize(static_cast<std::size_t>(size) * 2);
  }
}

bool Win32Platform::ReadFileVersion(const std::u16string& file, uint32_t& fileVersionMS) {
  // The version library is loaded by its full path in the system directory,
  // never found through the search order.
  char libraryPath[MAX_PATH];
  const UINT systemLength = ::GetSystemDirectoryA(libraryPath, MAX_PATH);
  static constexpr char kLibraryName[] = "\\version.dll";
  if (systemLength == 0 || systemLength + sizeof(kLibraryName) > MAX_PATH) return false;
  std::memcpy(libraryPath + systemLength, kLibraryName, sizeof(kLibraryName));
  const HMODULE library = ::LoadLibraryA(libraryPath);
  if (library == nullptr) return false;

  using GetFileVersionInfoWFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using VerQueryValueWFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  const auto getInfo = LookUp<GetFileVersionInfoWFn>(library, "GetFileVersionInfoW");
  const auto queryValue = LookUp<VerQueryValueWFn>(library, "VerQueryValueW");
  bool found = false;
  if (getInfo != nullptr && queryValue != nullptr) {
    alignas(8) unsigned char resource[kVersionBufferLength] = {};
    if (getInfo(Wide(file), 0, kVersionBufferLength, resource)) {
      void* fixed = nullptr;
      UINT fixedLength = 0;
      // A block too short to hold the version numbers counts as no version.
      constexpr UINT kNeeded = offsetof(VS_FIXEDFILEINFO, dwFileVersionMS) + sizeof(DWORD);
      if (queryValue(resource, L"\\", &fixed, &fixedLength) && fixed != nullptr &&
          fixedLength >= kNeeded) {
        VS_FIXEDFILEINFO info{};
        std::memcpy(&info, fixed, kNeeded);
        fileVersionMS = info.dwFileVersionMS;
        found = true;
      }
    }
  }
  ::FreeLibrary(library);
  return found;
}

// The Windows folder of the system (`C:\Windows`), without a trailing
// backslash; empty when it cannot be had.
const std::u16string& SystemWindowsFolder() {
  static const std::u16string folder = [] {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemWindowsDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return std::u16string();
    std::u16string path = FromWide(buffer);
    if (!path.empty() && path.back() == u'\\') path.pop_back();
    return path;
  }();
  return folder;
}

void Win32Platform::BeginFileSystemWork() {
  // Every step that may load a library comes first: while redirection is
  // off, a library would be looked for in the wrong system folder.
  BackupPrivilegeValue();
  PrepareTextConversion();
  SystemWindowsFolder();
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  static const auto disable = LookUp<Wow64DisableFn>(kernel, "Wow64DisableWow64FsRedirection");
  static const auto revert = LookUp<Wow64RevertFn>(kernel, "Wow64RevertWow64FsRedirection");
  if (redirectionDepth++ != 0 || disable == nullptr || revert == nullptr) return;
  PVOID previous = nullptr;
  if (disable(&previous)) {
    redirectionState = previous;
    redirectionOff = true;
  }
}

void Win32Platform::EndFileSystemWork() {
  if (redirectionDepth == 0 || --redirectionDepth != 0 || !redirectionOff) return;
  static const auto revert =
      LookUp<Wow64RevertFn>(::GetModuleHandleA("kernel32.dll"), "Wow64RevertWow64FsRedirection");
  if (revert != nullptr) revert(redirectionState);
  redirectionOff = false;
  redirectionState = nullptr;
}

FolderAlias Win32Platform::NativeSystemFolderAlias() {
  const std::u16string& windows = SystemWindowsFolder();
  if (!redirectionOff || windows.empty()) return {};
  return FolderAlias{windows + u"\\Sysnative", windows + u"\\System32"};
}

void Win32Platform::Sleep(uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

void Win32Platform::Beep(uint32_t hertz, uint32_t milliseconds) {
  ::Beep(hertz, milliseconds);
}

// --- Paths and volumes -----------------------------------------------------

bool Win32Platform::GetFullPathName(const std::u16string& path, std::u16string& full) {
  if (path.empty()) return false;
  std::u16string buffer(kPathBufferLength, u'\0');
  const DWORD length = ::GetFullPathNameW(Wide(path), kPathBufferLength,
                                          reinterpret_cast<wchar_t*>(buffer.data()), nullptr);
  // A length beyond the buffer is the size it would need: no path came back.
  if (length == 0 || length >= kPathBufferLength) return false;
  buffer.resize(length);
  full = std::move(buffer);
  return true;
}

std::u16string Win32Platform::GetCurrentDirectory() {
  std::u16string buffer(kPathBufferLength, u'\0');
  const DWORD length =
      ::GetCurrentDirectoryW(kPathBufferLength, reinterpret_cast<wchar_t*>(buffer.data()));
  if (length == 0 || length >= kPathBufferLength) return std::u16string();
  buffer.resize(length);
  return buffer;
}

uint32_t Win32Platform::GetFileAttributes(const std::u16string& path) {
  const WatchedCall watched;
  const DWORD attributes = ::GetFileAttributesW(Wide(path));
  // A plain path of MAX_PATH characters or more fails where long paths are
  // not enabled for the system; its long form reaches it anyway. Otherwise a
  // long folder specification would pass for a name pattern in its parent.
  if (attributes != INVALID_FILE_ATTRIBUTES || path.size() < MAX_PATH) return attributes;
  const DWORD error = ::GetLastError();
  std::u16string full;
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\") ||
      !GetFullPathName(path, full)) {
    ::SetLastError(error);
    return attributes;
  }
  std::u16string longForm;
  if (full.size() >= 3 && full[1] == u':' && full[2] == u'\\') {
    longForm = u"\\\\?\\" + full;
  } else if (full.starts_with(u"\\\\") && !full.starts_with(u"\\\\?\\") &&
             !full.starts_with(u"\\\\.\\")) {
    longForm = u"\\\\?\\UNC" + full.substr(1);
  } else {
    ::SetLastError(error);
    return attributes;
  }
  return ::GetFileAttributesW(Wide(longForm));
}

bool Win32Platform::GetVolumePathName(const std::u16string& path, std::u16string& volume) {
  // A share that does not answer is given up after a control event, as any
  // call of the walk is.
  const WatchedCall watched;
  // Room for the longest path: a volume mounted at a folder of 260
  // characters or more has a root as long.
  std::u16string buffer(kPathBufferLength, u'\0');
  // A server path reaches its share whatever its length in the long form;
  // the volume path then comes back in that form too.
  const std::u16string reachable = path.size() < MAX_PATH ? path : UncLongForm(path);
  if (!::GetVolumePathNameW(Wide(reachable), reinterpret_cast<wchar_t*>(buffer.data()),
                            kPathBufferLength)) {
    return false;
  }
  buffer.resize(std::char_traits<char16_t>::length(buffer.c_str()));
  volume = std::move(buffer);
  return true;
}

uint32_t Win32Platform::GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                             std::u16string& fsName) {
  const WatchedCall watched;
  DWORD maxComponentLength = 0;
  DWORD flags = 0;
  wchar_t name[kFsNameLength] = {};
  // A root as long as MAX_PATH or longer (a volume mounted deep) is reached
  // in its long form.
  const std::u16string reachable = volume.size() < MAX_PATH ? volume : UncLongForm(volume);
  if (!::GetVolumeInformationW(Wide(reachable), nullptr, 0, nullptr, &maxComponentLength, &flags,
                               name, kFsNameLength)) {
    return LastErrorOf();
  }
  fsFlags = flags;
  fsName = FromWide(name);
  return 0;
}

// --- Privileges --------------------------------------------------------------

bool Win32Platform::OpenProcessToken(Handle& token) {
  HANDLE handle = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), kTokenAdjustAndQuery, &handle)) return false;
  token = FromHandle(handle);
  return true;
}

bool Win32Platform::LookupPrivilegeValue(const char16_t* name, Luid& luid) {
  LUID value{};
  // The backup privilege is asked for during the walk: it comes from the
  // value looked up before the walk began.
  if (std::u16string_view(name) == u"SeBackupPrivilege") {
    const LUID* known = BackupPrivilegeValue();
    if (known == nullptr) return false;
    value = *known;
  } else if (!::LookupPrivilegeValueW(nullptr, Wide(name), &value)) {
    return false;
  }
  luid.lowPart = value.LowPart;
  luid.highPart = value.HighPart;
  return true;
}

uint32_t Win32Platform::AdjustTokenPrivileges(Handle token, const TokenPrivileges& newState,
                                              uint32_t bufferLength, TokenPrivileges* previous,
                                              uint32_t* returnLength) {
  TOKEN_PRIVILEGES next = ToSystem(newState);
  TOKEN_PRIVILEGES before{};
  if (previous != nullptr) before = ToSystem(*previous);
  DWORD length = returnLength != nullptr ? *returnLength : 0;
  // The records hold one entry: the system never gets to write past them.
  const DWORD room =
      bufferLength < sizeof(before) ? bufferLength : static_cast<DWORD>(sizeof(before));
  ::SetLastError(ERROR_SUCCESS);
  ::AdjustTokenPrivileges(ToHandle(token), FALSE, &next, previous != nullptr ? room : 0,
                          previous != nullptr ? &before : nullptr,
                          returnLength != nullptr ? &length : nullptr);
  const uint32_t error = ::GetLastError();
  if (previous != nullptr) *previous = FromSystem(before);
  if (returnLength != nullptr) *returnLength = length;
  return error;
}

void Win32Platform::CloseHandle(Handle handle) {
  ::CloseHandle(ToHandle(handle));
}

}  // namespace win32
}  // namespace quorrex
