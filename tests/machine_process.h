// The process's side of the in-memory Windows machine: its own file and
// version, the console and standard streams with their captured output,
// scripted console input, control events and the process token. The files
// are the machine's (memory_machine.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "win_errors.h"

namespace quorrex::testing {

class MachineProcess : public Platform {
 public:
  // --- Facts of the process -------------------------------------------------
  std::u16string currentFolder = u"C:\\";
  std::u16string ownPath = u"C:\\tools\\quorrex.exe";
  bool versionReadable = true;
  uint32_t fileVersionMS = 0x00010000;  // 1.0
  bool stdoutIsConsole = true;
  // Standard output is a pipe to another program (the status line stays off).
  bool stdoutIsPipe = false;
  int16_t consoleWidth = 80;
  bool stdoutFails = false;
  // Standard output fails once it would hold more than this many bytes.
  std::optional<size_t> stdoutFailsAfter;
  uint32_t stdoutError = win::kNoData;  // the reader of the pipe has gone
  // Called with the bytes of each write to standard output before it is
  // taken, under whatever lock the writer holds: a non-zero answer refuses
  // the write with that error, and nothing of it is taken.
  std::function<uint32_t(std::string_view bytes)> beforeStdoutWrite;
  uint32_t consoleWriteError = 0;  // non-zero: console writes fail with it
  // A console write of more UTF-16 units fails with ERROR_NOT_ENOUGH_MEMORY,
  // as the console of Windows 7 refuses one of about 64 KB.
  std::optional<size_t> consoleWriteMaxUnits;
  bool stderrIsConsole = false;
  // Non-zero: standard error is a console of its own this many columns wide,
  // where the status line is drawn (its text goes to `err` as UTF-8).
  int16_t statusConsoleWidth = 0;
  bool stderrFails = false;
  bool ownsConsoleWindow = false;
  bool stdinIsConsole = false;
  uint32_t stdinMode = 0x1F7;
  int tokenOpenFailures = 0;  // the next this many token opens fail
  bool privilegeLookupFails = false;
  uint32_t adjustError = 0;  // last error after AdjustTokenPrivileges
  // The previous state and its length that AdjustTokenPrivileges reports.
  TokenPrivileges adjustPrevious{};
  uint32_t adjustPreviousLength = 4;
  // Set once AdjustTokenPrivileges has enabled the backup privilege.
  std::atomic<bool> backupPrivilegeEnabled{false};

  // --- What happened --------------------------------------------------------
  std::string out;                       // standard output; console text as UTF-8
  std::string err;                       // standard error
  std::vector<size_t> consoleWrites;     // characters of each console write
  int stdoutWrites = 0;                  // successful writes to standard output
  std::vector<size_t> stdoutWriteSizes;  // bytes of each of them
  std::vector<uint32_t> sleeps;
  std::vector<std::pair<uint32_t, uint32_t>> beeps;
  int hardenCalls = 0;
  bool criticalErrorsFail = false;  // set before any call on a file or volume
  int tokenOpenCalls = 0;
  int tokenOpens = 0;
  int adjustCalls = 0;
  struct AdjustCall {
    TokenPrivileges newState;
    uint32_t bufferLength = 0;
    bool wantsPrevious = false;
  };
  std::vector<AdjustCall> adjusts;  // every AdjustTokenPrivileges call, in order
  int tokenCloses = 0;
  int16_t cursorColumn = 0;
  std::deque<InputRecord> input;            // discarded by a flush
  std::deque<InputRecord> inputAfterFlush;  // arrives once flushed
  int flushes = 0;
  int inputReads = 0;
  std::vector<uint32_t> stdinModesSet;
  std::function<void(uint32_t)> ctrlHandler;

  // Delivers a console control event as the system would.
  void RaiseCtrlEvent(uint32_t event) {
    if (ctrlHandler) ctrlHandler(event);
  }
  // The standard streams let go, and the code of a process ended at once.
  int standardStreamsClosed = 0;
  std::optional<int> processEndedWith;
  void CloseStandardStreams() override { ++standardStreamsClosed; }
  void EndProcessNow(int code) override { processEndedWith = code; }

  // --- Platform ---------------------------------------------------------------
  PathStyle Style() const override { return PathStyle::kWindows; }
  void HardenLibrarySearch() override { ++hardenCalls; }
  void FailCriticalErrors() override { criticalErrorsFail = true; }
  std::u16string OwnFilePath() override { return ownPath; }
  bool ReadFileVersion(const std::u16string& file, uint32_t& fileVersion) override;
  void Sleep(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
  void Beep(uint32_t hertz, uint32_t milliseconds) override {
    beeps.emplace_back(hertz, milliseconds);
  }
  std::u16string GetCurrentDirectory() override { return currentFolder; }
  bool OpenProcessToken(Handle& token) override;
  bool LookupPrivilegeValue(const char16_t* name, Luid& luid) override;
  uint32_t AdjustTokenPrivileges(Handle token, const TokenPrivileges& newState,
                                 uint32_t bufferLength, TokenPrivileges* previous,
                                 uint32_t* returnLength) override;
  void CloseHandle(Handle handle) override;
  bool StdoutIsConsole() override { return stdoutIsConsole; }
  bool StdoutIsPipe() override { return stdoutIsPipe; }
  ScreenInfo GetScreenInfo() override;
  bool WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  bool WriteConsoleText(std::u16string_view text, uint32_t& written, uint32_t& error) override;
  bool WriteStderrConsole(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  bool WriteStderr(std::string_view bytes, uint32_t& written) override;
  bool StderrIsConsole() override { return statusConsoleWidth > 0; }
  int16_t StderrConsoleWidth() override { return statusConsoleWidth; }
  bool WriteStderrText(std::u16string_view text) override;
  std::string WideToNarrow(std::u16string_view text) override;
  bool WideToOem(std::u16string_view text, std::string& out) override;
  std::u16string NarrowToWide(std::string_view text) override;
  void SetCtrlHandler(std::function<void(uint32_t)> handler) override {
    ctrlHandler = std::move(handler);
  }
  bool SetStdinMode(uint32_t mode) override;
  bool GetStdinMode(uint32_t& mode) override;
  bool OwnsConsoleWindow() override { return ownsConsoleWindow; }
  bool HasExitPause() override { return true; }
  bool FlushConsoleInput() override;
  bool ReadConsoleInput(InputRecord& record) override;

 private:
  void TrackColumn(std::u16string_view text);
};

}  // namespace quorrex::testing
