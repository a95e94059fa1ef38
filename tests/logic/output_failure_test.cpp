// Standard output that fails or blocks, and how soon redirected output
// reaches its reader.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <regex>

#include "console/message.h"
#include "console/output_sink.h"
#include "run_fixture.h"
#include "wait_until.h"

namespace quorrex::testing {
namespace {

// A folder of `links` symbolic links (about 60 bytes of listing each) in
// `folders` subfolders, so that a run writes well past one buffer.
void AddLinkTree(MemoryMachine& machine, int folders, int links) {
  machine.AddFolder(u"C:\\t");
  for (int f = 0; f < folders; ++f) {
    const std::u16string folder = u"C:\\t\\d" + U(std::to_string(f));
    machine.AddFolder(folder);
    for (int i = 0; i < links; ++i) {
      machine.AddSymlink(folder + u"\\link" + U(std::to_string(i)), u"C:\\target\\somewhere",
                         false);
    }
  }
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(OutputFailure, EndsTheRunWithCodeFourAndStopsTheWalk) {
  struct Case {
    const char* name;
    bool console;
    std::optional<size_t> failAfter;  // bytes; none: every write fails
    uint32_t error;
    bool stderrFails;
    const char* err;
  };
  const Case cases[] = {
      // A reader that went away ends the run as quietly as it left.
      {"closed pipe, redirected", false, 100000, 232, false, ""},
      {"full disk, redirected", false, 0, 112, false, "output failed (DISK_FULL) -> abort\n"},
      {"broken pipe on a console", true, 5000, 109, false, ""},
      {"device gone, redirected", false, 5000, 1117, false, "output failed (IO_DEVICE) -> abort\n"},
      {"closed standard output", true, std::nullopt, 6, false,
       "output failed (INVALID_HANDLE) -> abort\n"},
      {"standard error fails too", false, 0, 232, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryMachine machine;
    AddLinkTree(machine, 80, 100);
    machine.stdoutIsConsole = c.console;
    machine.stderrFails = c.stderrFails;
    machine.stdoutError = c.error;
    if (c.failAfter) {
      machine.stdoutFailsAfter = c.failAfter;
    } else {
      machine.stdoutFails = true;
    }
    machine.consoleWriteError = c.failAfter ? 0 : c.error;
    const Outcome o = RunOn(machine, {u"C:\\t", u"-s"});
    EXPECT_EQ(o.code, 4);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out.find("summary"), std::string::npos);
    EXPECT_LE(o.out.size(), c.failAfter.value_or(0) + 100);  // a console line may follow
    // The walk stopped at the failure, long before the 81 folders were listed
    // (readers may have listed them all ahead of it).
    if (TestWorkers() == 1) {
      EXPECT_LT(machine.listingsOpened.size(), 40u);
    }
  }
}

TEST(OutputFailure, UsageAndEarlyEndsReportItToo) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.stdoutFails = true;
  machine.stdoutError = win::kDiskFull;
  Outcome o = RunOn(machine, {});
  EXPECT_EQ(o.code, 4);
  EXPECT_EQ(o.err, "output failed (DISK_FULL) -> abort\n");

  MemoryMachine missing;
  missing.stdoutIsConsole = false;
  missing.stdoutFailsAfter = 0;
  o = RunOn(missing, {u"C:\\nowhere"});
  EXPECT_EQ(o.code, 4);
  EXPECT_EQ(o.err, "");
}

TEST(OutputFailure, AWriteGivenUpAfterAControlEventEndsTheRunAsAborted) {
  MemoryMachine machine;
  AddLinkTree(machine, 4, 10);
  machine.stdoutIsConsole = true;
  machine.onEntry = [&machine](const std::u16string& name) {
    if (name == u"link3") {
      machine.RaiseCtrlEvent(kCtrlCEvent);
      machine.stdoutFails = true;  // the reader stopped reading: writes are given up
      machine.stdoutError = win_error::kOperationAborted;
      machine.consoleWriteError = win_error::kOperationAborted;
    }
  };
  const Outcome o = RunOn(machine, {u"C:\\t", u"-s"});
  EXPECT_EQ(o.code, 3);
  EXPECT_EQ(o.err, "");
  // The records tell the event in their last record, given up with the rest.
  if (TestFormat() == OutputFormat::kText) {
    EXPECT_NE(o.out.find("\r\nCtrl+C pressed -> abort\r\n"), std::string::npos);
  }
  EXPECT_EQ(o.out.find("summary"), std::string::npos);
}

// Whether `out` holds only whole lines of a run over AddLinkTree (the
// control event's message aside); the first line that is not, in `bad`.
bool WholeLines(std::string out, OutputFormat format, std::string& bad) {
  static const std::regex kText(
      "|Quorrex 1\\.0|reparse point \\(symlink\\) C:\\\\t\\\\d[0-9]+\\\\link[0-9]+| -> "
      "C:\\\\target\\\\somewhere");
  static const std::regex kRecord("\\{\"type\":\"[a-z_]+\".*\\}");
  const std::string message = "\r\nCtrl+C pressed -> abort\r\n";
  for (size_t at = out.find(message); at != std::string::npos; at = out.find(message)) {
    out.erase(at, message.size());
  }
  // The carriage return the walk begins with, when the event came before
  // any of the listing.
  if (out.ends_with("\r\n\r")) out.pop_back();
  if (!out.empty() && out.back() != '\n') {
    bad = out.substr(out.rfind('\n') + 1);
    return false;
  }
  size_t start = 0;
  for (size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
    std::string line = out.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && line.front() == '\r') line.erase(0, 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!std::regex_match(line, format == OutputFormat::kJson ? kRecord : kText)) {
      bad = line;
      return false;
    }
  }
  return true;
}

// A reader that stops reading after a control event: the write given up
// then is the output's last. Nothing written later reaches the reader, so
// no line is spliced onto a cut one; what it got ends at a line end; and the
// run ends as stopped, without a message.
TEST(OutputFailure, NothingFollowsAWriteGivenUpAndTheReaderHasWholeLines) {
  struct Case {
    const char* name;
    OutputFormat format;
    uint32_t workers;
    int refusedWrite;  // the write after the event that is given up, from 1
  };
  const Case cases[] = {
      {"text, one worker, the event's own flush", OutputFormat::kText, 1, 1},
      {"text, one worker, part way", OutputFormat::kText, 1, 5},
      {"text, four workers, part way", OutputFormat::kText, 4, 2},
      {"records, one worker, part way", OutputFormat::kJson, 1, 5},
      {"records, four workers, part way", OutputFormat::kJson, 4, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryMachine machine;
    AddLinkTree(machine, 30, 100);
    machine.stdoutIsConsole = false;
    std::atomic<bool> stopped{false};
    int writesAfter = 0;
    int refusedAt = 0;
    size_t takenAfterRefusal = 0;
    size_t entries = 0;
    // Some 40 KiB of listing are pending when the event comes, unless a
    // quiet moment of a slow machine let the flusher hand some on before:
    // the write given up is then the summary's, if fewer come before it.
    machine.onEntry = [&](const std::u16string&) {
      if (++entries == 1500 && !stopped.exchange(true)) machine.RaiseCtrlEvent(kCtrlCEvent);
    };
    machine.beforeStdoutWrite = [&](std::string_view bytes) -> uint32_t {
      if (!stopped) return 0;
      ++writesAfter;
      if (refusedAt != 0) {
        takenAfterRefusal += bytes.size();
        return 0;
      }
      if (writesAfter == c.refusedWrite || bytes.find("summary") != std::string_view::npos) {
        refusedAt = writesAfter;
        return win_error::kOperationAborted;
      }
      return 0;
    };
    const Outcome o = RunOn(machine, {u"C:\\t", u"-s"}, c.workers, c.format);
    EXPECT_EQ(o.code, 3);
    EXPECT_EQ(o.err, "");
    EXPECT_NE(refusedAt, 0);
    EXPECT_EQ(takenAfterRefusal, 0u);
    EXPECT_EQ(o.out.find("summary"), std::string::npos);
    std::string bad;
    EXPECT_TRUE(WholeLines(o.out, c.format, bad))
        << "cut line: " << ::testing::PrintToString(bad) << " tail "
        << ::testing::PrintToString(o.out.substr(o.out.size() > 120 ? o.out.size() - 120 : 0));
    for (const size_t size : machine.stdoutWriteSizes) EXPECT_LE(size, kOutputPieceBytes);
  }
}

// Redirected output goes in pieces that end at line ends, whatever the
// buffer held when it was handed on: a write given up between two pieces
// cuts no line.
TEST(RedirectedOutput, GoesInPiecesThatEndAtLineEnds) {
  for (const OutputFormat format : {OutputFormat::kText, OutputFormat::kJson}) {
    MemoryMachine machine;
    AddLinkTree(machine, 20, 100);
    machine.stdoutIsConsole = false;
    std::vector<std::string> pieces;
    machine.beforeStdoutWrite = [&](std::string_view bytes) -> uint32_t {
      pieces.emplace_back(bytes);
      return 0;
    };
    const Outcome o = RunOn(machine, {u"C:\\t", u"-s"}, 1, format);
    EXPECT_EQ(o.code, 0);
    ASSERT_GT(pieces.size(), 20u);
    for (const std::string& piece : pieces) {
      EXPECT_LE(piece.size(), kOutputPieceBytes);
      EXPECT_TRUE(piece.back() == '\n' || piece.back() == '\r') << piece.substr(piece.size() - 20);
    }
  }
}

TEST(RedirectedOutput, IsHandedOnWhenTheBufferFillsAndWhenTheWalkIsQuiet) {
  MemoryMachine machine;
  AddLinkTree(machine, 20, 100);
  machine.stdoutIsConsole = false;
  quorrex::Run run(machine);
  size_t seenMidWalk = 0;
  bool handedOn = false;
  std::string afterQuiet;
  // A folder is listed whole before the walk goes through it: the first
  // entry of d12 comes once d0 to d11 (more than 64 KiB) have been printed.
  const size_t firstOfD12 = 20 + 100 * 12 + 1;
  size_t delivered = 0;
  const auto reader = [&] {
    std::lock_guard<std::recursive_timed_mutex> hold(run.console.output.lock);
    return machine.out;
  };
  machine.onEntry = [&](const std::u16string&) {
    if (++delivered == firstOfD12) seenMidWalk = reader().size();
    if (delivered == firstOfD12 + 100) {
      // The walk is quiet, held at the end of d12's listing: the flusher
      // alone hands the rest of d0 to d11 to the reader.
      handedOn = WaitUntil([&] { return CountOf(reader(), " -> C:\\target") == 1200; });
      afterQuiet = reader();
    }
  };
  const int code = RunProgram(run, {u"quorrex.exe", u"C:\\t", u"-s"});
  EXPECT_EQ(code, 0);
  EXPECT_GT(seenMidWalk, 0u);  // a full buffer went out during the walk
  EXPECT_TRUE(handedOn) << afterQuiet.size();
  EXPECT_NE(afterQuiet.find("d11\\link99\n -> C:\\target\\somewhere\n"), std::string::npos);
  EXPECT_TRUE(run.console.output.finished);
}

}  // namespace
}  // namespace quorrex::testing
