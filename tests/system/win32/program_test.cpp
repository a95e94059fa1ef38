// The built program itself: started as a child process with its output
// captured, and its import table read from the file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/windows_headers.h"
#include "program_path.h"
#include "support/version.h"

namespace quorrex {
namespace {

struct Outcome {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

void Drain(HANDLE pipe, std::string& into) {
  char buffer[4096];
  DWORD count = 0;
  while (::ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
    into.append(buffer, count);
  }
}

// Runs the program with `arguments` (already quoted as needed), standard
// output and standard error each on a pipe of its own, and no console: the
// exit pause is then only its short wait.
Outcome RunProgram(const std::u16string& arguments) {
  Outcome outcome;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  EXPECT_TRUE(::CreatePipe(&outRead, &outWrite, &inherit, 0));
  EXPECT_TRUE(::CreatePipe(&errRead, &errWrite, &inherit, 0));
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

  const std::u16string program = ProgramPath();
  std::u16string commandLine = u"\"" + program + u"\"";
  if (!arguments.empty()) commandLine += u" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  const BOOL started =
      ::CreateProcessW(reinterpret_cast<const wchar_t*>(program.c_str()),
                       reinterpret_cast<wchar_t*>(commandLine.data()), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  ::CloseHandle(outWrite);
  ::CloseHandle(errWrite);
  EXPECT_TRUE(started) << "CreateProcessW error " << ::GetLastError();
  if (started) {
    std::thread errReader(Drain, errRead, std::ref(outcome.err));
    Drain(outRead, outcome.out);
    errReader.join();
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    ::GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(outRead);
  ::CloseHandle(errRead);
  return outcome;
}

std::string Banner() {
  return "Quorrex " + std::to_string(QUORREX_VERSION_MAJOR) + "." +
         std::to_string(QUORREX_VERSION_MINOR);
}

// A drive letter that names no drive on this system.
char16_t MissingDrive() {
  const DWORD drives = ::GetLogicalDrives();
  for (int letter = 'Y'; letter >= 'D'; --letter) {
    if ((drives & (1u << (letter - 'A'))) == 0) return static_cast<char16_t>(letter);
  }
  return 0;
}

TEST(ProgramTest, WaysOutOfTheCommandLineAndVolumeChecks) {
  // No argument: the banner completed by the usage's first line, CR LF ends.
  const Outcome usage = RunProgram(u"");
  EXPECT_EQ(usage.exitCode, 1u);
  EXPECT_EQ(usage.out, Banner() +
                           " lists reparse points, symbolic links and hard links\r\n"
                           "Usage:\r\n"
                           "Quorrex FileSpec [-s]\r\n"
                           "-s  recurse subdirs\r\n"
                           "-1  print file names into one line by shortening\r\n"
                           "\r\n");
  EXPECT_EQ(usage.err, "");

  // A second file spec, options around them notwithstanding.
  const Outcome twoSpecs = RunProgram(u"-s first -1 \"second one\"");
  EXPECT_EQ(twoSpecs.exitCode, 2u);
  EXPECT_EQ(twoSpecs.out, Banner() + "\r\ninvalid parameter second one\r\n");

  // A drive that does not exist: the one message that goes to standard error,
  // with its bare LF.
  const char16_t drive = MissingDrive();
  ASSERT_NE(drive, 0);
  const Outcome noVolume = RunProgram(std::u16string(1, drive) + u":\\nowhere");
  EXPECT_EQ(noVolume.err, "volume is invalid -> abort\n");
  EXPECT_EQ(noVolume.out, Banner() + "\r\n");
  if (RunningUnderWine()) {
    EXPECT_EQ(noVolume.exitCode, 5u);
  } else {
    // Windows may give the drive's root as its volume path and fail later.
    EXPECT_TRUE(noVolume.exitCode == 5u || noVolume.exitCode == 7u) << noVolume.exitCode;
  }
}

TEST(ProgramTest, VolumeWithoutReparsePointSupportAborts) {
  if (!RunningUnderWine()) GTEST_SKIP() << "Wine's Z: drive is the case at hand";
  // Wine reports its drives as NTFS without reparse point support.
  const Outcome outcome = RunProgram(u"Z:\\tmp");
  EXPECT_EQ(outcome.exitCode, 7u);
  EXPECT_EQ(outcome.out,
            Banner() + "\r\nThe NTFS file system does not support reparse points -> abort\r\n");
  EXPECT_EQ(outcome.err, "");
}

// --- The import table ---------------------------------------------------------

uint32_t Read32(const std::vector<uint8_t>& file, std::size_t at) {
  if (at + 4 > file.size()) throw std::out_of_range("past the end of the file");
  return static_cast<uint32_t>(file[at]) | static_cast<uint32_t>(file[at + 1]) << 8 |
         static_cast<uint32_t>(file[at + 2]) << 16 | static_cast<uint32_t>(file[at + 3]) << 24;
}
uint16_t Read16(const std::vector<uint8_t>& file, std::size_t at) {
  if (at + 2 > file.size()) throw std::out_of_range("past the end of the file");
  return static_cast<uint16_t>(file[at] | file[at + 1] << 8);
}

// The names of the libraries a PE file imports, at load time and delayed.
std::vector<std::string> ImportedLibraries(const std::vector<uint8_t>& file) {
  if (Read16(file, 0) != 0x5A4D) throw std::runtime_error("no MZ header");
  const std::size_t pe = Read32(file, 0x3C);
  if (Read32(file, pe) != 0x00004550) throw std::runtime_error("no PE signature");
  const std::size_t coff = pe + 4;
  const uint16_t sections = Read16(file, coff + 2);
  const uint16_t optionalSize = Read16(file, coff + 16);
  const std::size_t optional = coff + 20;
  const uint16_t magic = Read16(file, optional);
  if (magic != 0x10B && magic != 0x20B) throw std::runtime_error("unknown optional header");
  const std::size_t directories = optional + (magic == 0x20B ? 112 : 96);
  const uint32_t directoryCount = Read32(file, directories - 4);

  const std::size_t sectionTable = optional + optionalSize;
  auto fileOffset = [&](uint32_t rva) -> std::size_t {
    for (uint16_t i = 0; i < sections; ++i) {
      const std::size_t header = sectionTable + i * 40u;
      const uint32_t virtualSize = Read32(file, header + 8);
      const uint32_t virtualAddress = Read32(file, header + 12);
      const uint32_t rawSize = Read32(file, header + 16);
      const uint32_t rawOffset = Read32(file, header + 20);
      const uint32_t extent = virtualSize > rawSize ? virtualSize : rawSize;
      if (rva >= virtualAddress && rva - virtualAddress < extent) {
        return rawOffset + (rva - virtualAddress);
      }
    }
    throw std::runtime_error("an address outside every section");
  };
  auto name = [&](uint32_t rva) {
    std::string text;
    for (std::size_t at = fileOffset(rva); at < file.size() && file[at] != 0; ++at) {
      text += static_cast<char>(file[at]);
    }
    return text;
  };

  std::vector<std::string> names;
  // Directory 1: the import descriptors, 20 bytes each, the name at 12.
  if (directoryCount > 1 && Read32(file, directories + 8) != 0) {
    for (std::size_t at = fileOffset(Read32(file, directories + 8));; at += 20) {
      const uint32_t nameRva = Read32(file, at + 12);
      if (nameRva == 0) break;
      names.push_back(name(nameRva));
    }
  }
  // Directory 13: the delay-load descriptors, 32 bytes each, the name at 4.
  if (directoryCount > 13 && Read32(file, directories + 13 * 8) != 0) {
    for (std::size_t at = fileOffset(Read32(file, directories + 13 * 8));; at += 32) {
      const uint32_t nameRva = Read32(file, at + 4);
      if (nameRva == 0) break;
      names.push_back(name(nameRva));
    }
  }
  return names;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

TEST(ProgramTest, ImportsOnlyTheKernelAdvapiAndTheRuntime) {
  const std::u16string path = ProgramPath();
  std::ifstream in(reinterpret_cast<const wchar_t*>(path.c_str()), std::ios::binary);
  ASSERT_TRUE(in) << QUORREX_PROGRAM;
  const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
  std::vector<std::string> libraries;
  ASSERT_NO_THROW(libraries = ImportedLibraries(file));

  std::set<std::string> seen;
  for (const std::string& library : libraries) {
    const std::string upper = Upper(library);
    seen.insert(upper);
    const bool allowed = upper == "KERNEL32.DLL" || upper == "ADVAPI32.DLL" ||
                         upper == "MSVCRT.DLL" || upper == "UCRTBASE.DLL" ||
                         upper.rfind("API-MS-WIN-CRT-", 0) == 0;
    EXPECT_TRUE(allowed) << "imports " << library;
  }
  // The reading itself is sound: the kernel is always among them.
  EXPECT_EQ(seen.count("KERNEL32.DLL"), 1u);
}

}  // namespace
}  // namespace quorrex
