// The records for scripts: what each record holds, names that are not
// Unicode, and how the last record tells the run's end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/json_line.h"
#include "console/output_sink.h"
#include "json_records.h"
#include "memory_machine.h"
#include "reparse_bytes.h"
#include "run_fixture.h"
#include "scan/walker.h"

namespace quorrex::testing {
namespace {

using namespace std::literals;

struct JsonOutcome {
  int code = -1;
  std::string out;
  std::string err;
};

JsonOutcome RunJson(MemoryMachine& machine, const std::vector<std::u16string>& args,
                    uint32_t workers = 1) {
  std::vector<std::u16string> argv{u"quorrex.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  quorrex::Run run(machine);
  run.settings.walkWorkers = workers;
  run.UseFormat(OutputFormat::kJson);
  JsonOutcome outcome;
  outcome.code = RunProgram(run, argv);
  outcome.out = machine.out;
  outcome.err = machine.err;
  return outcome;
}

// The records of `out` without the first (start) one.
std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < out.size();) {
    const size_t end = out.find('\n', at);
    lines.push_back(out.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

TEST(JsonRecords, EachFindingIsOneRecordWithWhatItsTextLeavesOut) {
  for (const uint32_t workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    machine.AddVolume(u"D:\\");
    machine.AddFolder(u"C:\\target");
    machine.AddMountPoint(u"C:\\data\\vol", u"\\??\\Volume{d1}\\", u"D:\\");
    machine.AddJunction(u"C:\\data\\jn", u"C:\\target");
    machine.AddJunction(u"C:\\data\\jn gone", u"C:\\missing");
    machine.AddReparsePoint(
        u"C:\\data\\rel",
        LinkData(0xA000000C, u"..\\x", u"..\\x", NameOrder::kPrintFirst, false, kSymlinkRelative),
        false);
    machine.AddReparsePoint(u"C:\\data\\sub\\app", AppExecData({u"Pkg", u"App", u"C:\\x.exe"}),
                            false);
    machine.AddReparsePoint(
        u"C:\\data\\sub\\wof",
        RawReparseData(0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}), false);
    machine.AddReparsePoint(u"C:\\data\\sub\\dedup", RawReparseData(0x80000013, {}), false);
    machine.AddReparsePoint(u"C:\\data\\sub\\odd", RawReparseData(0x00001234, {}), false);
    machine.AddReparsePoint(u"C:\\data\\sub\\denied", RawReparseData(0x00001234, {}), false);
    machine.InjectError(Op::kReparseOpen, u"C:\\data\\sub\\denied", win::kAccessDenied);
    machine.AddReparsePoint(u"C:\\data\\sub\\unread", RawReparseData(0x00001234, {}), false);
    machine.InjectError(Op::kReparseQuery, u"C:\\data\\sub\\unread", win::kInvalidFunction);
    machine.AddFolder(u"C:\\data\\sub\\locked");
    machine.InjectError(Op::kOpenListing, u"C:\\data\\sub\\locked", win::kAccessDenied);
    machine.AddFile(u"C:\\data\\a.txt");
    machine.AddHardLink(u"C:\\data\\a.txt", u"C:\\data\\sub\\b.txt");
    machine.AddJunction(u"C:\\data\\sub\\back", u"C:\\data");

    const JsonOutcome o = RunJson(machine, {u"C:\\data", u"-s"}, workers);
    EXPECT_EQ(o.code, 0);
    const std::vector<std::string> expected = {
        R"({"type":"start","program":"quorrex","version":"1.0","file_spec":"C:\\data",)"
        R"("scan_folder":"\\\\?\\C:\\data\\","pattern":"*","recurse":true,"workers":)" +
            std::to_string(workers) + "}",
        R"({"type":"reparse_point","path":"C:\\data\\vol","kind":"volume_mount_point",)"
        R"("tag":2684354563,"tag_name":"IO_REPARSE_TAG_MOUNT_POINT",)"
        R"("target":"\\??\\Volume{d1}\\","substitute_name":"\\??\\Volume{d1}\\",)"
        R"("print_name":"","relative":false})",
        R"({"type":"reparse_point","path":"C:\\data\\jn","kind":"junction","tag":2684354563,)"
        R"("tag_name":"IO_REPARSE_TAG_MOUNT_POINT","target":"C:\\target",)"
        R"("substitute_name":"\\??\\C:\\target","print_name":"C:\\target","relative":false,)"
        R"("dangling":false})",
        R"({"type":"reparse_point","path":"C:\\data\\jn gone","kind":"junction",)"
        R"("tag":2684354563,"tag_name":"IO_REPARSE_TAG_MOUNT_POINT","target":"C:\\missing",)"
        R"("substitute_name":"\\??\\C:\\missing","print_name":"C:\\missing","relative":false,)"
        R"("dangling":true})",
        R"({"type":"reparse_point","path":"C:\\data\\rel","kind":"symlink","tag":2684354572,)"
        R"("tag_name":"IO_REPARSE_TAG_SYMLINK","target":"..\\x","substitute_name":"..\\x",)"
        R"("print_name":"..\\x","relative":true,"dangling":false})",
        R"({"type":"reparse_point","path":"C:\\data\\sub\\app","kind":"app_exec_link",)"
        R"("tag":2147483675,"tag_name":"IO_REPARSE_TAG_APPEXECLINK",)"
        R"("strings":["Pkg","App","C:\\x.exe"]})",
        R"({"type":"reparse_point","path":"C:\\data\\sub\\wof","kind":"wof","tag":2147483671,)"
        R"("tag_name":"IO_REPARSE_TAG_WOF","wof_version":1,"wof_algorithm":"LZX"})",
        R"({"type":"reparse_point","path":"C:\\data\\sub\\dedup","kind":"dedup",)"
        R"("tag":2147483667,"tag_name":"IO_REPARSE_TAG_DEDUP"})",
        R"({"type":"reparse_point","path":"C:\\data\\sub\\odd","kind":"other","tag":4660,)"
        R"("tag_name":"0x00001234","microsoft":false})",
        R"({"type":"error","path":"C:\\data\\sub\\denied","error":"ACCESS_DENIED",)"
        R"("error_code":5,"operation":"open_reparse_point","action":"skip_entry"})",
        R"({"type":"reparse_point","path":"C:\\data\\sub\\unread","error":"INVALID_FUNCTION",)"
        R"("error_code":1})",
        R"({"type":"error","path":"C:\\data\\sub\\locked","error":"ACCESS_DENIED",)"
        R"("error_code":5,"operation":"open_folder","action":"skip_folder"})",
        R"({"type":"reparse_point","path":"C:\\data\\sub\\back","kind":"junction",)"
        R"("tag":2684354563,"tag_name":"IO_REPARSE_TAG_MOUNT_POINT","target":"C:\\data",)"
        R"("substitute_name":"\\??\\C:\\data","print_name":"C:\\data","relative":false,)"
        R"("dangling":false})",
        R"({"type":"hard_link_group","links":2,"volume":"0x000000001234ABCD",)"
        R"("file_id":"0x000000000001000E","paths":["C:\\data\\sub\\b.txt","C:\\data\\a.txt"]})",
        R"({"type":"summary","reparse_points":9,"mount_points":4,"volume_mount_points":1,)"
        R"("junctions":3,"symbolic_links":1,"app_exec_links":1,"wof_files":1,"dedup_files":1,)"
        R"("other_reparse_points":1,"hard_link_groups":1,"folders":2,"entries":15,)"
        R"("errors":2,"skipped":0})",
        R"({"type":"end","exit_code":0,"reason":"completed","stopped_by":null,"errors":2})",
    };
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), expected.size()) << o.out;
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
    for (const std::string& line : lines) EXPECT_NO_THROW(JsonReader::Parse(line)) << line;
  }
}

TEST(JsonRecords, SkippedFoldersSayWhyWithTheirWholePath) {
  for (const uint32_t workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    // Junctions that do not match the pattern are walked through.
    machine.AddFile(u"C:\\data\\sub\\f.dll");
    machine.AddJunction(u"C:\\data\\sub\\back", u"C:\\data");
    machine.AddJunction(u"C:\\data\\sib", u"C:\\data\\sub");
    std::u16string deep = u"C:\\data\\deep";
    for (int32_t depth = 1; depth < kMaxDepth; ++depth) deep += u"\\d";
    machine.AddFolder(deep + u"\\low");
    const JsonOutcome o = RunJson(machine, {u"C:\\data\\*.dll", u"-s"}, workers);
    const RunRecords records(o.out, false);
    std::vector<std::u16string> skipped;
    for (const JsonValue& r : records.records) {
      if (r["type"].Ascii() != "skipped") continue;
      std::u16string line = r["path"].text + u" ";
      for (const char c : r["reason"].Ascii()) line.push_back(static_cast<char16_t>(c));
      if (const JsonValue* max = r.Find("max_depth")) {
        line.push_back(u' ');
        line.append(U(std::to_string(max->number)));
      }
      skipped.push_back(line);
    }
    EXPECT_EQ(skipped, (std::vector<std::u16string>{
                           u"C:\\data\\sub\\back loop",
                           u"C:\\data\\sib already_walked",
                           deep + u"\\low too_deep 1024",
                       }));
    // The summary counts them, and the folders entered: the scan folder,
    // sub, deep and the 1023 levels below it.
    const JsonValue& summary = records.records[records.records.size() - 2];
    EXPECT_EQ(summary["skipped"].number, 3);
    EXPECT_EQ(summary["errors"].number, 0);
    EXPECT_EQ(summary["folders"].number, 1 + 1 + 1 + 1023);
  }
}

TEST(JsonRecords, AGroupKeepsEveryBitOfItsFileId) {
  struct Case {
    const char* what;
    uint64_t upper;
    uint64_t lower;
    const char* fileId;
  };
  const Case cases[] = {
      {"64 bits", 0, 0x00000000000ABCDEull, "0x00000000000ABCDE"},
      {"128 bits", 0x00000000DEADBEEFull, 0x0123456789ABCDEFull,
       "0x00000000DEADBEEF0123456789ABCDEF"},
      {"only the top bit above", 0x8000000000000000ull, 1, "0x80000000000000000000000000000001"},
      {"an upper half alone", 1, 0x0000000000000000ull, "0x00000000000000010000000000000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    machine.AddVolume(u"R:\\", u"ReFS", kFsSupportsReparsePoints, 7);
    auto file = machine.AddFile(u"R:\\a");
    machine.AddHardLink(u"R:\\a", u"R:\\b");
    file->index = c.lower;
    file->indexUpper = c.upper;
    const JsonOutcome o = RunJson(machine, {u"R:\\"});
    const RunRecords records(o.out, false);
    std::vector<std::string> ids;
    for (const JsonValue& r : records.records) {
      if (r["type"].Ascii() == "hard_link_group") ids.push_back(r["file_id"].Ascii());
    }
    EXPECT_EQ(ids, std::vector<std::string>{c.fileId}) << o.out;
  }
}

TEST(JsonRecords, NamesThatAreNotUnicodeComeWithTheirUnits) {
  struct Case {
    const char* what;
    std::u16string name;
    const char* text;    // as the record's text shows it
    const char* base64;  // the name as the system holds it, or none
  };
  const Case cases[] = {
      {"plain", u"a.txt", R"("a.txt")", nullptr},
      {"a quote, a backslash and a tab", u"q\"b\\c\td", R"("q\"b\\c\td")", nullptr},
      {"a line feed and a control character", u"l\nm\x01", R"("l\nm\u0001")", nullptr},
      {"outside the first plane", u"\U0001F600", "\"\xF0\x9F\x98\x80\"", nullptr},
      {"an unpaired high surrogate", u"x\xD800y", "\"x\xEF\xBF\xBDy\"", "eAAA2HkA"},
      {"an unpaired low surrogate at the end", u"z\xDC00", "\"z\xEF\xBF\xBD\"", "egAA3A=="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string buffer;
    JsonLine line(buffer, false);
    const std::string record(line.Begin("t").Name("name", c.name).End());
    std::string expected = std::string(R"({"type":"t","name":)") + c.text;
    if (c.base64 != nullptr) expected += std::string(R"(,"name_base64":")") + c.base64 + "\"";
    EXPECT_EQ(record, expected + "}\n");
    const RunRecords back(record, false);
    EXPECT_EQ(back.Name(back.records.front(), "name"), c.name);
  }
  // From a POSIX name, the lone surrogate of a byte that is not UTF-8 gives
  // that byte back.
  std::string buffer;
  JsonLine line(buffer, true);
  const std::string record(line.Begin("t").Name("name", u"b\xDCFF").End());
  EXPECT_EQ(record, "{\"type\":\"t\",\"name\":\"b\xEF\xBF\xBD\",\"name_base64\":\"Yv8=\"}\n");
}

TEST(JsonRecords, AGroupOfNamesThatAreNotUnicodeKeepsEveryName) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.AddFile(u"C:\\data\\ok");
  machine.AddHardLink(u"C:\\data\\ok", u"C:\\data\\bad\xD801");
  const JsonOutcome o = RunJson(machine, {u"C:\\data"});
  const RunRecords records(o.out, false);
  for (const JsonValue& r : records.records) {
    if (r["type"].Ascii() != "hard_link_group") continue;
    EXPECT_EQ(records.Names(r, "paths"),
              (std::vector<std::u16string>{u"C:\\data\\ok", u"C:\\data\\bad\xD801"}));
    EXPECT_TRUE(r["paths_base64"].items[0].IsNull());
    EXPECT_EQ(r["paths"].items[1].text, u"C:\\data\\bad\xFFFD");
    return;
  }
  FAIL() << o.out;
}

TEST(JsonRecords, TheLastRecordTellsHowTheRunEnded) {
  struct Case {
    const char* what;
    std::vector<std::u16string> args;
    bool fat;
    int code;
    const char* end;
    const char* err;
  };
  const Case cases[] = {
      {"usage",
       {},
       false,
       1,
       R"({"type":"end","exit_code":1,"reason":"usage","stopped_by":null,"errors":0})",
       ""},
      {"a second file spec",
       {u"C:\\data", u"C:\\x"},
       false,
       2,
       R"({"type":"end","exit_code":2,"reason":"second_file_spec","argument":"C:\\x",)"
       R"("stopped_by":null,"errors":0})",
       ""},
      {"no such folder",
       {u"C:\\nowhere\\x"},
       false,
       11,
       R"({"type":"end","exit_code":11,"reason":"folder_not_found","stopped_by":null,"errors":0})",
       ""},
      {"no reparse points",
       {u"E:\\"},
       true,
       7,
       R"({"type":"end","exit_code":7,"reason":"no_reparse_points","file_system":"FAT32",)"
       R"("stopped_by":null,"errors":0})",
       ""},
      {"no volume",
       {u"Q:\\"},
       false,
       5,
       R"({"type":"end","exit_code":5,"reason":"volume_invalid","stopped_by":null,"errors":0})",
       "volume is invalid -> abort\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    machine.AddFolder(u"C:\\data");
    if (c.fat) machine.AddVolume(u"E:\\", u"FAT32", 0);
    const JsonOutcome o = RunJson(machine, c.args);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(o.err, c.err);
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 2u) << o.out;
    EXPECT_EQ(lines[0].rfind(R"({"type":"start","program":"quorrex","version":"1.0",)", 0), 0u);
    EXPECT_EQ(lines[1], c.end);
  }
}

TEST(JsonRecords, AControlEventIsToldInTheLastRecordAndNowhereElse) {
  for (const uint32_t workers : {1u, 4u}) {
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    machine.AddSymlink(u"C:\\data\\one", u"t", false);
    machine.AddFile(u"C:\\data\\sub\\stop");
    machine.AddSymlink(u"C:\\data\\sub\\two", u"t", false);
    machine.onEntry = [&machine](const std::u16string& name) {
      if (name == u"stop") machine.RaiseCtrlEvent(kCtrlBreakEvent);
    };
    const JsonOutcome o = RunJson(machine, {u"C:\\data", u"-s"}, workers);
    EXPECT_EQ(o.code, 3);
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(
        lines.back(),
        R"({"type":"end","exit_code":3,"reason":"stopped","stopped_by":"CTRL_BREAK_EVENT","errors":0})");
    EXPECT_EQ(lines[lines.size() - 2].rfind(R"({"type":"summary",)", 0), 0u);
    EXPECT_EQ(o.out.find("Ctrl+Break"), std::string::npos);
  }
}

TEST(JsonRecords, ALongRecordReachesTheConsoleInPiecesItTakes) {
  // A group of 200 links of long names is one record of some 45,000
  // characters: on the console of Windows 7, which refuses a write of about
  // 64 KB, it goes out in pieces, and reads as it does when redirected.
  const auto build = [](MemoryMachine& m) {
    const std::u16string stem = u"C:\\data\\" + std::u16string(200, u'n');
    m.AddFile(stem + u"0.dll");
    for (int i = 1; i < 200; ++i) m.AddHardLink(stem + u"0.dll", stem + Numbered("", i) + u".dll");
  };
  MemoryMachine redirected;
  redirected.stdoutIsConsole = false;
  build(redirected);
  const JsonOutcome expected = RunJson(redirected, {u"C:\\data\\*.dll"});
  ASSERT_NE(expected.out.find("\"type\":\"hard_link_group\",\"links\":200"), std::string::npos);
  MemoryMachine console;
  console.consoleWriteMaxUnits = 30000;
  build(console);
  const JsonOutcome o = RunJson(console, {u"C:\\data\\*.dll"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, expected.out);
  EXPECT_EQ(o.err, "");
  EXPECT_GT(console.consoleWrites.size(), 4u);
}

// A POSIX system whose console is a terminal of bytes.
class PosixTerminal : public MemoryMachine {
 public:
  PathStyle Style() const override { return PathStyle::kPosix; }
  bool MasksControlCharacters() override { return true; }
};

// On a terminal a name can send no command: DEL and the C1 controls (a CSI,
// an OSC and its end) are escaped like the C0 ones; redirected, the records
// keep their bytes. The name reads back the same either way.
TEST(JsonRecords, OnATerminalNoControlCharacterIsWrittenRaw) {
  struct Case {
    const char* what;
    std::u16string name;
    std::string terminal;    // the name in the record on a terminal
    std::string redirected;  // and redirected
  };
  const Case cases[] = {
      {"C0: an escape sequence", u"a\x1B[2Jb", R"(a\u001b[2Jb")", R"(a\u001b[2Jb")"},
      {"DEL", u"d\x7F", R"(d\u007f")", "d\x7F\""},
      {"C1: a CSI",
       u"c\x9B"
       u"2J",
       R"(c\u009b2J")",
       "c\xC2\x9B"
       "2J\""},
      {"C1: an OSC and its end",
       u"\x9D"
       u"0;t\x9C",
       R"(\u009d0;t\u009c")",
       "\xC2\x9D"
       "0;t\xC2\x9C\""},
      {"the first and last C1", u"\x80\x9F", R"(\u0080\u009f")", "\xC2\x80\xC2\x9F\""},
      {"ordinary non-ASCII, next to C1", u"caf\xE9\xA0\x2603", "caf\xC3\xA9\xC2\xA0\xE2\x98\x83\"",
       "caf\xC3\xA9\xC2\xA0\xE2\x98\x83\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const bool posix : {true, false}) {
      for (const bool console : {true, false}) {
        SCOPED_TRACE(std::string(posix ? "POSIX " : "Windows ") +
                     (console ? "terminal" : "redirected"));
        PosixTerminal terminal;
        MemoryMachine windows;
        MemoryMachine& machine = posix ? terminal : windows;
        machine.stdoutIsConsole = console;
        if (posix) machine.AddVolume(u"\\");
        const std::u16string folder = posix ? u"\\srv" : u"C:\\srv";
        machine.AddSymlink(folder + u"\\" + c.name, u"x", false);
        std::string out;
        if (posix) {
          // The machine's paths are Windows ones: its folder is walked as
          // a POSIX run walks it.
          quorrex::Run run(machine);
          run.UseFormat(OutputFormat::kJson);
          WalkFolder(run.scan, u"/srv", u"*");
          FlushOutput(run.console);
          out = machine.out;
        } else {
          const JsonOutcome o = RunJson(machine, {u"C:\\srv"});
          EXPECT_EQ(o.code, 0);
          out = o.out;
        }
        const std::string& shown = console ? c.terminal : c.redirected;
        EXPECT_NE(out.find("srv" + std::string(posix ? "/" : "\\\\") + shown), std::string::npos)
            << out;
        const RunRecords records(out, posix);
        size_t found = 0;
        for (const JsonValue& r : records.records) {
          if (r["type"].Ascii() != "reparse_point") continue;
          ++found;
          EXPECT_EQ(records.Name(r, "path"), (posix ? u"/srv/" : u"C:\\srv\\") + c.name);
        }
        EXPECT_EQ(found, 1u) << out;
      }
    }
  }
}

// Names are copied in blocks of units: a unit to escape or encode is
// written as itself wherever it falls, in a block or after one.
TEST(JsonRecords, EachUnitIsWrittenAsItselfWhereverItFallsInAName) {
  struct Case {
    const char* what;
    std::u16string unit;
    std::string written;
  };
  const Case cases[] = {
      {"a quote", u"\"", R"(\")"},
      {"a backslash", u"\\", R"(\\)"},
      {"a line feed", u"\n", R"(\n)"},
      {"the last C0 control", u"\x1F", R"(\u001f)"},
      {"a space, the first plain unit", u" ", " "},
      {"DEL, redirected", u"\x7F", "\x7F"},
      {"the first unit past ASCII", u"\x80", "\xC2\x80"},
      {"a unit whose low byte is plain ASCII", u"\u0141", "\xC5\x81"},
      {"a unit whose low byte is a quote", u"\u0122", "\xC4\xA2"},
      {"a unit of three bytes", u"\u4E2D", "\xE4\xB8\xAD"},
      {"a pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"a lone surrogate", u"\xD800", "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (size_t at = 0; at <= 18; ++at) {
      SCOPED_TRACE(at);
      const std::u16string name = std::u16string(at, u'a') + c.unit + std::u16string(19 - at, u'b');
      std::string buffer;
      JsonLine line(buffer, false);
      const std::string record(line.Begin("t").Name("n", name).End());
      const std::string expected =
          "\"n\":\"" + std::string(at, 'a') + c.written + std::string(19 - at, 'b') + "\"";
      EXPECT_NE(record.find(expected), std::string::npos) << record;
    }
  }
}

// A setting the program does not know is echoed as a name is shown: on a
// terminal its control characters are masked; to a file it stays whole.
TEST(JsonRecords, AWrongSettingReachesATerminalMasked) {
  const struct {
    const char* what;
    std::string value;
    std::string terminal;
  } cases[] = {
      {"a title sequence", "x\x1B]0;owned\x07", "x?]0;owned?"},
      {"a C1 CSI and DEL",
       "\xC2\x9B"
       "2J\x7F",
       "?2J?"},
      {"a byte that is not UTF-8", "j\xFFs", "j?s"},
      {"ordinary non-ASCII", "j\xC3\xA9son", "j\xC3\xA9son"},
  };
  for (const auto& c : cases) {
    for (const bool onTerminal : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (onTerminal ? ", terminal" : ", redirected"));
      PosixTerminal machine;
      machine.stdoutIsConsole = false;
      if (onTerminal) machine.statusConsoleWidth = 80;  // standard error is a terminal
      machine.AddVolume(u"\\");
      machine.AddFolder(u"\\srv");
      quorrex::Run run(machine);
      run.unknownFormat = c.value;
      run.unknownWorkers = c.value;
      EXPECT_EQ(RunProgram(run, {u"quorrex", u"/srv"}), 0);
      const std::string shown = onTerminal ? c.terminal : c.value;
      EXPECT_NE(machine.err.find("QUORREX_FORMAT=" + shown + " is not a format"), std::string::npos)
          << machine.err;
      EXPECT_NE(machine.err.find("QUORREX_WORKERS=" + shown + " is not a number"),
                std::string::npos)
          << machine.err;
    }
  }
}

TEST(JsonRecords, TheExitPauseAsksOnStandardError) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.ownsConsoleWindow = true;
  machine.stdinIsConsole = true;
  machine.inputAfterFlush = {{kKeyEvent, 'A', true}};
  machine.AddFolder(u"C:\\data");
  const JsonOutcome o = RunJson(machine, {u"C:\\data"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.err, "Press any key to close");
  EXPECT_EQ(o.out.find("Press"), std::string::npos);
  EXPECT_NO_THROW(RunRecords(o.out, false));
}

TEST(JsonRecords, TheFormatSetting) {
  struct Case {
    const char* text;
    OutputFormat format;
    bool known;
  };
  const Case cases[] = {
      {nullptr, OutputFormat::kText, true}, {"", OutputFormat::kText, true},
      {"text", OutputFormat::kText, true},  {"json", OutputFormat::kJson, true},
      {"JSON", OutputFormat::kJson, true},  {"jsonl", OutputFormat::kText, false},
      {"xml", OutputFormat::kText, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "(unset)" : c.text);
    bool known = false;
    EXPECT_EQ(OutputFormatSetting(c.text, known), c.format);
    EXPECT_EQ(known, c.known);
  }
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.AddFolder(u"C:\\data");
  quorrex::Run run(machine);
  run.unknownFormat = "xml";
  EXPECT_EQ(RunProgram(run, {u"quorrex.exe", u"C:\\data"}), 0);
  EXPECT_EQ(machine.err, "QUORREX_FORMAT=xml is not a format (text, json): the text is printed\n");
  EXPECT_EQ(machine.out.rfind("Quorrex 1.0\r\n", 0), 0u);
}

}  // namespace
}  // namespace quorrex::testing
