// The Win32 platform: the process, paths and volumes, token privileges.
#include "platform/win32/win32_platform.h"

#include <cstddef>
#include <cstring>

#include "platform/system.h"

namespace quorrex {

std::unique_ptr<Platform> CreateSystemPlatform() {
  return std::make_unique<win32::Win32Platform>();
}

namespace win32 {
namespace {

// Room for the longest path the long-path form allows, terminator included.
constexpr DWORD kPathBufferLength = 32768;
// The volume root and the file-system name are short by nature.
constexpr DWORD kVolumePathLength = MAX_PATH;
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
  return ::GetFileAttributesW(Wide(path));
}

bool Win32Platform::GetVolumePathName(const std::u16string& path, std::u16string& volume) {
  wchar_t buffer[kVolumePathLength] = {};
  if (!::GetVolumePathNameW(Wide(path), buffer, kVolumePathLength)) return false;
  volume = FromWide(buffer);
  return true;
}

uint32_t Win32Platform::GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                             std::u16string& fsName) {
  DWORD maxComponentLength = 0;
  DWORD flags = 0;
  wchar_t name[kFsNameLength] = {};
  if (!::GetVolumeInformationW(Wide(volume), nullptr, 0, nullptr, &maxComponentLength, &flags, name,
                               kFsNameLength)) {
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
  if (!::LookupPrivilegeValueW(nullptr, Wide(name), &value)) return false;
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
