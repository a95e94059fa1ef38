// The built program itself: started as a child process with its output
// captured, and its import table read from the file.
#include <gtest/gtest.h>

#include <algorithm>
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

// The records for scripts carry every name whole, as UTF-8 whatever the
// console's code page, and a name that is not Unicode with its units.
TEST(ProgramTest, RecordsForScriptsCarryEveryName) {
  struct Case {
    const char* what;
    std::u16string arguments;
    DWORD code;
    std::string end;
  };
  const Case cases[] = {
      {"names outside the code page", u"-s first \"\u03A9mega \u65E5\u672C\"", 2,
       "{\"type\":\"end\",\"exit_code\":2,\"reason\":\"second_file_spec\","
       "\"argument\":\"\xCE\xA9mega \xE6\x97\xA5\xE6\x9C\xAC\",\"stopped_by\":null,\"errors\":0}"},
      {"an unpaired surrogate", u"first x\xD800", 2,
       "{\"type\":\"end\",\"exit_code\":2,\"reason\":\"second_file_spec\","
       "\"argument\":\"x\xEF\xBF\xBD\",\"argument_base64\":\"eAAA2A==\",\"stopped_by\":null,"
       "\"errors\":0}"},
  };
  ::SetEnvironmentVariableW(L"QUORREX_FORMAT", L"json");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = RunProgram(c.arguments);
    EXPECT_EQ(outcome.exitCode, c.code);
    EXPECT_EQ(outcome.err, "");
    const std::size_t firstEnd = outcome.out.find('\n');
    ASSERT_NE(firstEnd, std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.rfind("{\"type\":\"start\",\"program\":\"quorrex\",\"version\":\"" +
                                    Banner().substr(8) + "\",\"file_spec\":\"first\",",
                                0),
              0u)
        << outcome.out;
    EXPECT_EQ(outcome.out.substr(firstEnd + 1), c.end + "\n");
  }
  if (RunningUnderWine()) {
    // Wine's drives have no reparse points: the run ends before its walk,
    // and says so in its last record, the pattern named whole in the first.
    const Outcome outcome = RunProgram(u"Z:\\tmp\\\u03A9x\xDC00");
    EXPECT_EQ(outcome.exitCode, 7u);
    EXPECT_NE(
        outcome.out.find("\"scan_folder\":\"\\\\\\\\?\\\\Z:\\\\tmp\\\\\","
                         "\"pattern\":\"\xCE\xA9x\xEF\xBF\xBD\",\"pattern_base64\":\"qQN4AADc\","),
        std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("{\"type\":\"end\",\"exit_code\":7,\"reason\":\"no_reparse_points\","
                               "\"file_system\":\"NTFS\",\"stopped_by\":null,\"errors\":0}\n"),
              std::string::npos)
        << outcome.out;
  }
  ::SetEnvironmentVariableW(L"QUORREX_FORMAT", nullptr);
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

// The headers of a PE file: where its data directories and sections are,
// and how a relative virtual address maps to a file offset.
struct PeImage {
  explicit PeImage(const std::vector<uint8_t>& bytes) : file(bytes) {
    if (Read16(file, 0) != 0x5A4D) throw std::runtime_error("no MZ header");
    const std::size_t pe = Read32(file, 0x3C);
    if (Read32(file, pe) != 0x00004550) throw std::runtime_error("no PE signature");
    coff = pe + 4;
    sections = Read16(file, coff + 2);
    optional = coff + 20;
    const uint16_t magic = Read16(file, optional);
    if (magic != 0x10B && magic != 0x20B) throw std::runtime_error("unknown optional header");
    is32Bit = magic == 0x10B;
    directories = optional + (is32Bit ? 96 : 112);
    directoryCount = Read32(file, directories - 4);
    sectionTable = optional + Read16(file, coff + 16);
  }

  // The address of data directory `index`, 0 when it is absent.
  uint32_t Directory(uint32_t index) const {
    return index < directoryCount ? Read32(file, directories + index * 8) : 0;
  }

  std::size_t FileOffset(uint32_t rva) const {
    for (uint16_t i = 0; i < sections; ++i) {
      const std::size_t header = sectionTable + i * 40u;
      const uint32_t virtualAddress = Read32(file, header + 12);
      const uint32_t extent = std::max(Read32(file, header + 8), Read32(file, header + 16));
      if (rva >= virtualAddress && rva - virtualAddress < extent) {
        return Read32(file, header + 20) + (rva - virtualAddress);
      }
    }
    throw std::runtime_error("an address outside every section");
  }

  const std::vector<uint8_t>& file;
  std::size_t coff = 0;
  uint16_t sections = 0;
  std::size_t optional = 0;
  bool is32Bit = false;
  std::size_t directories = 0;
  uint32_t directoryCount = 0;
  std::size_t sectionTable = 0;
};

// The names of the libraries a PE file imports, at load time and delayed.
std::vector<std::string> ImportedLibraries(const std::vector<uint8_t>& file) {
  const PeImage image(file);
  auto name = [&](uint32_t rva) {
    std::string text;
    for (std::size_t at = image.FileOffset(rva); at < file.size() && file[at] != 0; ++at) {
      text += static_cast<char>(file[at]);
    }
    return text;
  };

  std::vector<std::string> names;
  // Directory 1: the import descriptors, 20 bytes each, the name at 12.
  if (const uint32_t imports = image.Directory(1); imports != 0) {
    for (std::size_t at = image.FileOffset(imports);; at += 20) {
      const uint32_t nameRva = Read32(file, at + 12);
      if (nameRva == 0) break;
      names.push_back(name(nameRva));
    }
  }
  // Directory 13: the delay-load descriptors, 32 bytes each, the name at 4.
  if (const uint32_t delayed = image.Directory(13); delayed != 0) {
    for (std::size_t at = image.FileOffset(delayed);; at += 32) {
      const uint32_t nameRva = Read32(file, at + 4);
      if (nameRva == 0) break;
      names.push_back(name(nameRva));
    }
  }
  return names;
}

// What the headers of a PE file say about how it is loaded.
struct PeFacts {
  bool is32Bit = false;
  uint16_t characteristics = 0;
  uint16_t dllCharacteristics = 0;
  std::string manifest;  // the RT_MANIFEST resource with id 1, empty when none
};

PeFacts ReadPeFacts(const std::vector<uint8_t>& file) {
  const PeImage image(file);
  PeFacts facts;
  facts.is32Bit = image.is32Bit;
  facts.characteristics = Read16(file, image.coff + 18);
  facts.dllCharacteristics = Read16(file, image.optional + 70);
  auto fileOffset = [&image](uint32_t rva) { return image.FileOffset(rva); };
  // Directory 2: the resources, three levels (type, id, language).
  const uint32_t resources = image.Directory(2);
  if (resources == 0) return facts;
  const std::size_t root = fileOffset(resources);
  auto find = [&](std::size_t directory, uint32_t id, bool any) -> uint32_t {
    const std::size_t count = Read16(file, directory + 12) + Read16(file, directory + 14);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t entry = directory + 16 + i * 8;
      if (any || Read32(file, entry) == id) return Read32(file, entry + 4);
    }
    return 0;
  };
  const uint32_t type = find(root, 24, false);  // RT_MANIFEST
  if ((type & 0x80000000u) == 0) return facts;
  const uint32_t name = find(root + (type & 0x7FFFFFFFu), 1, false);
  if ((name & 0x80000000u) == 0) return facts;
  const uint32_t language = find(root + (name & 0x7FFFFFFFu), 0, true);
  if (language == 0 || (language & 0x80000000u) != 0) return facts;
  const std::size_t data = root + language;
  const std::size_t at = fileOffset(Read32(file, data));
  const uint32_t size = Read32(file, data + 4);
  if (at + size > file.size()) throw std::out_of_range("manifest past the end of the file");
  facts.manifest.assign(file.begin() + static_cast<std::ptrdiff_t>(at),
                        file.begin() + static_cast<std::ptrdiff_t>(at + size));
  return facts;
}

std::vector<uint8_t> ReadWholeFile(const std::u16string& path) {
  std::ifstream in(reinterpret_cast<const wchar_t*>(path.c_str()), std::ios::binary);
  return std::vector<uint8_t>{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

void CheckImports(const std::vector<uint8_t>& file);

// The programs whose files the tests read: this build's, and the 32-bit
// release program where the build names it.
std::vector<std::pair<std::string, std::u16string>> ProgramsToRead() {
  std::vector<std::pair<std::string, std::u16string>> programs = {{"this build", ProgramPath()}};
#ifdef QUORREX_I686_PROGRAM
  programs.emplace_back("the 32-bit build", ProgramPath(QUORREX_I686_PROGRAM));
#endif
  return programs;
}

TEST(ProgramTest, ImportsOnlyTheKernelAdvapiAndTheRuntime) {
  for (const auto& [which, path] : ProgramsToRead()) {
    SCOPED_TRACE(which);
    CheckImports(ReadWholeFile(path));
  }
}

void CheckImports(const std::vector<uint8_t>& file) {
  ASSERT_FALSE(file.empty()) << "no program file";
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

TEST(ProgramTest, BothBuildsCarryTheManifestAndTheHardeningFlags) {
  for (const auto& [which, path] : ProgramsToRead()) {
    SCOPED_TRACE(which);
    const std::vector<uint8_t> file = ReadWholeFile(path);
    ASSERT_FALSE(file.empty()) << "no program file (the 32-bit one comes from windows-x86)";
    PeFacts facts;
    ASSERT_NO_THROW(facts = ReadPeFacts(file));
    constexpr uint16_t kLargeAddressAware = 0x0020;
    constexpr uint16_t kHighEntropyVa = 0x0020;
    constexpr uint16_t kDynamicBase = 0x0040;
    constexpr uint16_t kNxCompat = 0x0100;
    EXPECT_NE(facts.dllCharacteristics & kDynamicBase, 0);
    EXPECT_NE(facts.dllCharacteristics & kNxCompat, 0);
    if (facts.is32Bit) {
      EXPECT_NE(facts.characteristics & kLargeAddressAware, 0);
    } else {
      EXPECT_NE(facts.dllCharacteristics & kHighEntropyVa, 0);
    }
    for (const char* wanted : {
             "level=\"asInvoker\"",
             "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
             ">true</longPathAware>",
         }) {
      EXPECT_NE(facts.manifest.find(wanted), std::string::npos) << wanted;
    }
    // The console's code page stays the console's.
    EXPECT_EQ(facts.manifest.find("activeCodePage"), std::string::npos);
  }
}

}  // namespace
}  // namespace quorrex
