// The Win32 implementation of the platform interface.
//
// Shared by the few files that implement it; nothing outside win32/ includes
// this header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/win32/windows_headers.h"

namespace quorrex::win32 {

// UTF-16 text crosses the boundary as it is: wchar_t is two bytes on Windows.
inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline const wchar_t* Wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
inline std::u16string FromWide(const wchar_t* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

// The last error code, never 0 after a call that failed: a failure must not
// read as success when the system forgot to set the code.
inline uint32_t LastErrorOf(uint32_t fallback = ERROR_GEN_FAILURE) {
  const DWORD error = ::GetLastError();
  return error != 0 ? static_cast<uint32_t>(error) : fallback;
}

inline HANDLE ToHandle(Handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
inline Handle FromHandle(HANDLE handle) {
  return reinterpret_cast<Handle>(handle);
}

// An entry looked up by name, as the function type it has.
template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // Through the generic function pointer type, which converts to any other.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

struct CallSlot;

// Marks a file-system call of the calling thread for as long as it lives:
// once a control event has come and the call still waits a while later (a
// server that does not answer), it is cancelled and fails with
// ERROR_OPERATION_ABORTED.
class WatchedCall {
 public:
  WatchedCall();
  ~WatchedCall();
  WatchedCall(const WatchedCall&) = delete;
  WatchedCall& operator=(const WatchedCall&) = delete;

 private:
  CallSlot* slot_;
};

// Makes one conversion to each code page that narrow text is converted to,
// so that a code page served by a library of its own (GB18030, the ISO-2022
// pages) has it loaded before redirection goes off: with it off, a 32-bit
// program would look for the library in the 64-bit System32 and fail.
void PrepareTextConversion();

class Win32Platform final : public Platform {
 public:
  PathStyle Style() const override { return PathStyle::kWindows; }

  // Process
  void HardenLibrarySearch() override;
  void FailCriticalErrors() override;
  std::u16string OwnFilePath() override;
  bool ReadFileVersion(const std::u16string& file, uint32_t& fileVersionMS) override;
  void Sleep(uint32_t milliseconds) override;
  void Beep(uint32_t hertz, uint32_t milliseconds) override;
  void BeginFileSystemWork() override;
  void EndFileSystemWork() override;
  FolderAlias NativeSystemFolderAlias() override;

  // Paths and volumes
  bool GetFullPathName(const std::u16string& path, std::u16string& full) override;
  std::u16string GetCurrentDirectory() override;
  uint32_t GetFileAttributes(const std::u16string& path) override;
  bool GetVolumePathName(const std::u16string& path, std::u16string& volume) override;
  uint32_t GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                std::u16string& fsName) override;

  // Folders and files
  std::unique_ptr<FolderListing> OpenListing(const std::u16string& mask, const EntryRef& folder,
                                             uint32_t& error) override;
  bool QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) override;
  LinkTarget FindLinkTarget(const std::u16string& openName, const EntryRef& entry) override;
  ReparseRead ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                              std::span<uint8_t> buffer) override;

  // Privileges
  bool OpenProcessToken(Handle& token) override;
  bool LookupPrivilegeValue(const char16_t* name, Luid& luid) override;
  uint32_t AdjustTokenPrivileges(Handle token, const TokenPrivileges& newState,
                                 uint32_t bufferLength, TokenPrivileges* previous,
                                 uint32_t* returnLength) override;
  void CloseHandle(Handle handle) override;

  // Console output
  bool StdoutIsConsole() override;
  bool StdoutIsPipe() override;
  ScreenInfo GetScreenInfo() override;
  bool WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  void CloseStandardStreams() override;
  void EndProcessNow(int code) override;
  bool WriteConsoleText(std::u16string_view text, uint32_t& written, uint32_t& error) override;
  bool WriteStderrConsole(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  bool WriteStderr(std::string_view bytes, uint32_t& written) override;
  bool StderrIsConsole() override;
  int16_t StderrConsoleWidth() override;
  bool WriteStderrText(std::u16string_view text) override;
  std::string WideToNarrow(std::u16string_view text) override;
  bool WideToOem(std::u16string_view text, std::string& out) override;
  std::u16string NarrowToWide(std::string_view text) override;

  // Console input and control events
  void SetCtrlHandler(std::function<void(uint32_t)> handler) override;
  bool SetStdinMode(uint32_t mode) override;
  bool GetStdinMode(uint32_t& mode) override;
  bool OwnsConsoleWindow() override;
  bool HasExitPause() override { return true; }
  bool FlushConsoleInput() override;
  bool ReadConsoleInput(InputRecord& record) override;
};

}  // namespace quorrex::win32
