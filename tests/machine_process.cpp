#include "machine_process.h"

#include "support/utf.h"

namespace quorrex::testing {

bool MachineProcess::ReadFileVersion(const std::u16string& file, uint32_t& fileVersion) {
  if (!versionReadable || file != ownPath) return false;
  fileVersion = fileVersionMS;
  return true;
}

bool MachineProcess::OpenProcessToken(Handle& token) {
  ++tokenOpenCalls;
  if (tokenOpenFailures > 0) {
    --tokenOpenFailures;
    return false;
  }
  ++tokenOpens;
  token = 0x7070;
  return true;
}

bool MachineProcess::LookupPrivilegeValue(const char16_t* name, Luid& luid) {
  if (privilegeLookupFails || std::u16string_view(name) != u"SeBackupPrivilege") return false;
  luid.lowPart = 17;
  luid.highPart = 0;
  return true;
}

uint32_t MachineProcess::AdjustTokenPrivileges(Handle token, const TokenPrivileges& newState,
                                               uint32_t bufferLength, TokenPrivileges* previous,
                                               uint32_t* returnLength) {
  (void)token;
  ++adjustCalls;
  adjusts.push_back({newState, bufferLength, previous != nullptr});
  if (previous != nullptr) *previous = adjustPrevious;
  if (returnLength != nullptr) *returnLength = adjustPreviousLength;
  if (adjustError == 0 && (newState.attributes & kSePrivilegeEnabled) != 0) {
    backupPrivilegeEnabled = true;
  }
  return adjustError;
}

void MachineProcess::CloseHandle(Handle handle) {
  if (handle == 0x7070) ++tokenCloses;
}

ScreenInfo MachineProcess::GetScreenInfo() {
  if (!stdoutIsConsole) return {};
  return {consoleWidth, cursorColumn};
}

void MachineProcess::TrackColumn(std::u16string_view text) {
  for (char16_t c : text) {
    if (c == u'\n' || c == u'\r') {
      cursorColumn = 0;
    } else if (++cursorColumn >= consoleWidth && consoleWidth > 0) {
      cursorColumn = 0;
    }
  }
}

bool MachineProcess::WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) {
  written = 0;
  if (stdoutFails || (stdoutFailsAfter && out.size() + bytes.size() > *stdoutFailsAfter)) {
    error = stdoutError;
    return false;
  }
  if (beforeStdoutWrite) {
    if (const uint32_t refusal = beforeStdoutWrite(bytes); refusal != 0) {
      error = refusal;
      return false;
    }
  }
  error = 0;
  ++stdoutWrites;
  stdoutWriteSizes.push_back(bytes.size());
  out.append(bytes);
  if (stdoutIsConsole) TrackColumn(NarrowToWide(bytes));
  written = static_cast<uint32_t>(bytes.size());
  return true;
}

bool MachineProcess::WriteConsoleText(std::u16string_view text, uint32_t& written,
                                      uint32_t& error) {
  if (consoleWriteError != 0) {
    error = consoleWriteError;
    return false;
  }
  if (consoleWriteMaxUnits && text.size() > *consoleWriteMaxUnits) {
    error = win_error::kNotEnoughMemory;
    return false;
  }
  // A console that has gone takes no more text than it takes bytes.
  const std::string bytes = EncodeUtf8Lossless(text);
  if (stdoutFails || (stdoutFailsAfter && out.size() + bytes.size() > *stdoutFailsAfter)) {
    error = stdoutError;
    return false;
  }
  if (beforeStdoutWrite) {
    if (const uint32_t refusal = beforeStdoutWrite(bytes); refusal != 0) {
      error = refusal;
      return false;
    }
  }
  consoleWrites.push_back(text.size());
  out += bytes;
  TrackColumn(text);
  written = static_cast<uint32_t>(text.size());
  return true;
}

bool MachineProcess::WriteStderrConsole(std::string_view bytes, uint32_t& written,
                                        uint32_t& error) {
  if (!stderrIsConsole) {
    error = win_error::kInvalidHandle;
    return false;
  }
  err.append(bytes);
  written = static_cast<uint32_t>(bytes.size());
  return true;
}

bool MachineProcess::WriteStderr(std::string_view bytes, uint32_t& written) {
  if (stderrFails) return false;
  err.append(bytes);
  written = static_cast<uint32_t>(bytes.size());
  return true;
}

bool MachineProcess::WriteStderrText(std::u16string_view text) {
  if (stderrFails) return false;
  err += EncodeUtf8Lossless(text);
  return true;
}

// The narrow code page is Latin-1 here; characters beyond it become '?'.
std::string MachineProcess::WideToNarrow(std::u16string_view text) {
  std::string narrow;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) ++i;
    narrow.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  }
  return narrow;
}

// The OEM code page holds ASCII and a few accented letters at their code page
// 850 places.
bool MachineProcess::WideToOem(std::u16string_view text, std::string& oem) {
  static const std::pair<char16_t, uint8_t> kOem[] = {
      {u'\u00FC', 0x81}, {u'\u00E9', 0x82}, {u'\u00E4', 0x84}, {u'\u00F6', 0x94},
      {u'\u00C4', 0x8E}, {u'\u00D6', 0x99}, {u'\u00DC', 0x9A}, {u'\u00DF', 0xE1}};
  oem.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      oem.push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) ++i;
    char mapped = '?';
    for (const auto& [wide, byte] : kOem) {
      if (wide == c) mapped = static_cast<char>(byte);
    }
    oem.push_back(mapped);
  }
  return !oem.empty();
}

std::u16string MachineProcess::NarrowToWide(std::string_view text) {
  std::u16string wide;
  for (char c : text) wide.push_back(static_cast<unsigned char>(c));
  return wide;
}

bool MachineProcess::SetStdinMode(uint32_t mode) {
  if (!stdinIsConsole) return false;
  stdinModesSet.push_back(mode);
  stdinMode = mode;
  return true;
}

bool MachineProcess::GetStdinMode(uint32_t& mode) {
  if (!stdinIsConsole) return false;
  mode = stdinMode;
  return true;
}

bool MachineProcess::FlushConsoleInput() {
  ++flushes;
  input.clear();
  for (const auto& record : inputAfterFlush) input.push_back(record);
  inputAfterFlush.clear();
  return stdinIsConsole;
}

bool MachineProcess::ReadConsoleInput(InputRecord& record) {
  ++inputReads;
  if (!stdinIsConsole || input.empty()) return false;
  record = input.front();
  input.pop_front();
  return true;
}

}  // namespace quorrex::testing
