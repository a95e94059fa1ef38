// A walk while the tree changes under it, or after an abort has cancelled
// the calls still waiting: what the user sees, with one worker and with
// four.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "memory_machine.h"
#include "reparse_bytes.h"
#include "run_fixture.h"

namespace quorrex::testing {
namespace {

constexpr uint32_t kWorkerCounts[] = {1, 4};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A machine on which C:\data\late, listed as a plain folder, turns out when
// opened to be a volume mounted since its parent was listed, as the POSIX
// platform finds one by its device.
class LateMountMachine : public MemoryMachine {
 public:
  static bool IsLate(std::u16string_view path) { return path.ends_with(u"\\data\\late"); }
  std::unique_ptr<FolderListing> OpenListing(const std::u16string& mask, const EntryRef& folder,
                                             uint32_t& error) override {
    auto listing = MemoryMachine::OpenListing(mask, folder, error);
    if (!listing || !IsLate(folder.path)) return listing;
    return std::make_unique<Mounted>(std::move(listing));
  }
  ReparseRead ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                              std::span<uint8_t> buffer) override {
    if (!IsLate(openName)) return MemoryMachine::ReadReparseData(openName, entry, buffer);
    const std::vector<uint8_t> data = MountPointData(u"\\??\\Volume{late}\\");
    std::copy(data.begin(), data.end(), buffer.begin());
    ReparseRead read;
    read.stage = ReparseRead::Stage::kRead;
    read.bytesReturned = static_cast<uint32_t>(data.size());
    return read;
  }

 private:
  class Mounted : public FolderListing {
   public:
    explicit Mounted(std::unique_ptr<FolderListing> inner) : inner_(std::move(inner)) {}
    bool Next(FindData& entry) override { return inner_->Next(entry); }
    uint32_t EndError() const override { return inner_->EndError(); }
    bool Identity(FileId& id) override { return inner_->Identity(id); }
    void ResolveDirectory(FindData& entry) override { inner_->ResolveDirectory(entry); }
    bool MountedSinceListed() const override { return true; }

   private:
    std::unique_ptr<FolderListing> inner_;
  };
};

TEST(ChangedTree, AMountMadeSinceItsFolderWasListedIsShownAsOneFoundAtTheStart) {
  // The same tree with C:\data\late a volume mount point from the start: the
  // run prints the same bytes. A match is reported and not entered; a mount
  // the pattern does not match is entered.
  for (const char* pattern : {"*", "*.lnk", "l*"}) {
    for (const uint32_t workers : kWorkerCounts) {
      SCOPED_TRACE(std::string(pattern) + ", " + std::to_string(workers) + " workers");
      const std::u16string spec = u"C:\\data\\" + DecodeUtf8Lossless(pattern);
      MemoryMachine atStart;
      atStart.stdoutIsConsole = false;
      atStart.AddVolume(u"L:\\");
      atStart.AddSymlink(u"L:\\inside.lnk", u"x", false);
      atStart.AddMountPoint(u"C:\\data\\late", u"\\??\\Volume{late}\\", u"L:\\");
      atStart.AddSymlink(u"C:\\data\\before.lnk", u"y", false);
      const Outcome expected = RunOn(atStart, {spec, u"-s"}, workers);
      LateMountMachine late;
      late.stdoutIsConsole = false;
      late.AddSymlink(u"C:\\data\\late\\inside.lnk", u"x", false);
      late.AddSymlink(u"C:\\data\\before.lnk", u"y", false);
      const Outcome o = RunOn(late, {spec, u"-s"}, workers);
      EXPECT_EQ(o.code, 0);
      EXPECT_EQ(o.out, expected.out);
      const bool reported = std::string(pattern) != "*.lnk";
      EXPECT_EQ(Has(o.out, "(volume mountpoint) C:\\data\\late\n"), reported) << o.out;
      EXPECT_EQ(Has(o.out, "inside.lnk"), !reported) << o.out;
    }
  }
}

TEST(ChangedTree, AFolderSwappedBeforeItsOpenIsNeverEntered) {
  // C:\t\sub is listed as a plain folder; before its own open, something
  // else takes its name. Nothing behind it is listed, and it gets its error
  // line, as a folder that is gone.
  struct Case {
    const char* name;
    std::u16string folder;  // the folder whose name is taken
    std::function<void(MemoryMachine&)> swap;
  };
  const Case cases[] = {
      {"a junction to an ancestor", u"C:\\t\\sub",
       [](MemoryMachine& m) { m.AddJunction(u"C:\\t\\sub", u"C:\\t"); }},
      {"a junction to the volume's root", u"C:\\t\\sub",
       [](MemoryMachine& m) { m.AddJunction(u"C:\\t\\sub", u"C:\\"); }},
      {"a junction whose name matches the pattern", u"C:\\t\\lib.dll",
       [](MemoryMachine& m) { m.AddJunction(u"C:\\t\\lib.dll", u"C:\\elsewhere"); }},
      {"another folder of the same name", u"C:\\t\\sub",
       [](MemoryMachine& m) { m.AddFile(u"C:\\t\\sub\\planted.dll")->linkCount = 2; }},
  };
  for (const uint32_t workers : kWorkerCounts) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", workers " + std::to_string(workers));
      MemoryMachine m;
      m.stdoutIsConsole = false;
      m.AddFile(u"C:\\t\\a\\x.dll")->linkCount = 2;
      m.AddFolder(c.folder);
      m.AddFile(u"C:\\t\\z\\y.dll")->linkCount = 2;
      m.AddFile(u"C:\\elsewhere\\e.dll")->linkCount = 2;
      std::atomic<bool> swapped{false};
      const std::u16string mask = c.folder + u"\\*";
      m.beforeListing = [&](const std::u16string& opened) {
        if (!opened.ends_with(mask) || swapped.exchange(true)) return;
        m.Remove(c.folder);
        c.swap(m);
      };
      const Outcome o = RunOn(m, {u"C:\\t\\*.dll", u"-s"}, workers);
      EXPECT_TRUE(swapped);
      EXPECT_EQ(o.code, 0);
      EXPECT_TRUE(
          Has(o.out, "error PATH_NOT_FOUND opening '" + EncodeUtf8Lossless(c.folder) + "\\*'\r\n"))
          << o.out;
      // Only the two files of the tree itself: nothing listed through the
      // name, nothing reported at it.
      EXPECT_TRUE(Has(o.out,
                      "group of 2 hard links:\r\n 1: C:\\t\\a\\x.dll\n"
                      "group of 2 hard links:\r\n 1: C:\\t\\z\\y.dll\n\r\nsummary"))
          << o.out;
      EXPECT_TRUE(Has(o.out, "* 0 reparse points:")) << o.out;
      EXPECT_TRUE(Has(o.out, "* 2 hard link groups")) << o.out;
    }
  }
}

TEST(ChangedTree, RecordsNumberedApartFromHandlesLoseNoSubfolder) {
  // D: is a file system whose directory records give IDs other than its
  // handles do, and "." records without one: a plain subfolder is still
  // its listed self (nothing else has its name), and a junction put at its
  // name is still told by the open handle's attributes.
  for (const bool swapToJunction : {false, true}) {
    for (const uint32_t workers : kWorkerCounts) {
      SCOPED_TRACE(std::string(swapToJunction ? "swapped, " : "as listed, ") +
                   std::to_string(workers));
      MemoryMachine m;
      m.stdoutIsConsole = false;
      m.AddVolume(u"D:\\");
      m.NumberRecordsApart(u"D:\\");
      m.AddFile(u"D:\\t\\a\\x.dll")->linkCount = 2;
      m.AddFile(u"D:\\t\\b\\c\\y.dll")->linkCount = 2;
      m.AddFile(u"D:\\elsewhere\\e.dll")->linkCount = 2;
      std::atomic<bool> swapped{false};
      m.beforeListing = [&](const std::u16string& opened) {
        if (!swapToJunction || !opened.ends_with(u"\\t\\b\\*") || swapped.exchange(true)) {
          return;
        }
        m.Remove(u"D:\\t\\b");
        m.AddJunction(u"D:\\t\\b", u"D:\\elsewhere");
      };
      const Outcome o = RunOn(m, {u"D:\\t\\*.dll", u"-s"}, workers);
      EXPECT_EQ(o.code, 0);
      const std::string groups =
          swapToJunction ? "error PATH_NOT_FOUND opening 'D:\\t\\b\\*'\r\n"
                           "group of 2 hard links:\r\n 1: D:\\t\\a\\x.dll\n\r\nsummary"
                         : "group of 2 hard links:\r\n 1: D:\\t\\a\\x.dll\n"
                           "group of 2 hard links:\r\n 1: D:\\t\\b\\c\\y.dll\n\r\nsummary";
      EXPECT_TRUE(Has(o.out, groups)) << o.out;
      EXPECT_FALSE(Has(o.out, "error") && !swapToJunction) << o.out;
    }
  }
}

// A machine whose volume checks wait on a server that does not answer: a
// Ctrl+C comes meanwhile, and the call is given up.
class StalledChecks : public MemoryMachine {
 public:
  enum class Stall { kNone, kVolumePath, kVolumeInfo, kAttributes };
  Stall stall = Stall::kNone;
  bool GetVolumePathName(const std::u16string& path, std::u16string& volume) override {
    if (stall != Stall::kVolumePath) return MemoryMachine::GetVolumePathName(path, volume);
    RaiseCtrlEvent(kCtrlCEvent);
    return false;
  }
  uint32_t GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                std::u16string& fsName) override {
    if (stall != Stall::kVolumeInfo) {
      return MemoryMachine::GetVolumeInformation(volume, fsFlags, fsName);
    }
    RaiseCtrlEvent(kCtrlCEvent);
    return win_error::kOperationAborted;
  }
  uint32_t GetFileAttributes(const std::u16string& path) override {
    // The checks ask the scan folder last, after the normalisation has.
    if (stall != Stall::kAttributes || volumeQueries.empty()) {
      return MemoryMachine::GetFileAttributes(path);
    }
    RaiseCtrlEvent(kCtrlCEvent);
    return kInvalidFileAttributes;
  }
};

TEST(ChangedTree, ACheckGivenUpAfterAnAbortEndsTheRunAsStopped) {
  // No "volume is invalid", no "folder not found": the run was stopped, and
  // says so as any run stopped before its walk, with its summary.
  for (const auto stall : {StalledChecks::Stall::kVolumePath, StalledChecks::Stall::kVolumeInfo,
                           StalledChecks::Stall::kAttributes}) {
    SCOPED_TRACE(static_cast<int>(stall));
    StalledChecks m;
    m.stdoutIsConsole = false;
    m.AddFolder(u"C:\\d\\sub");
    m.stall = stall;
    const Outcome o = RunOn(m, {u"C:\\d", u"-s"});
    EXPECT_EQ(o.code, kExitAborted);
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(Has(o.out, "Ctrl+C pressed -> abort\r\n")) << o.out;
    EXPECT_TRUE(o.out.ends_with(EmptySummary().substr(2))) << o.out;
    EXPECT_FALSE(Has(o.out, "not found")) << o.out;
    EXPECT_TRUE(m.listingsOpened.empty());
  }
}

TEST(ChangedTree, CallsCancelledAfterAnAbortPrintNoErrorLine) {
  // After Ctrl+C the calls still waiting are cancelled and fail with
  // ERROR_OPERATION_ABORTED: that is no error of the folder or the link.
  // The same failure without an abort is printed as any other.
  struct Case {
    const char* name;
    bool abort;
    std::string line;  // expected in the output, or absent after an abort
  };
  const Case cases[] = {
      {"a folder's open, cancelled after an abort", true, "error 995 opening 'C:\\d\\slow\\*'"},
      {"a folder's open failing so without one", false, "error 995 opening 'C:\\d\\slow\\*'"},
  };
  for (const uint32_t workers : kWorkerCounts) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", workers " + std::to_string(workers));
      MemoryMachine m;
      m.stdoutIsConsole = false;
      m.AddFile(u"C:\\d\\slow\\f");
      m.refuseListing = [&](const std::u16string& mask) -> uint32_t {
        if (!mask.ends_with(u"\\slow\\*")) return 0;
        if (c.abort) m.RaiseCtrlEvent(kCtrlCEvent);
        return win_error::kOperationAborted;
      };
      const Outcome o = RunOn(m, {u"C:\\d", u"-s"}, workers);
      EXPECT_EQ(o.code, c.abort ? kExitAborted : 0);
      EXPECT_EQ(Has(o.out, c.line), !c.abort) << o.out;
    }
  }
  // A reparse point whose open is cancelled after the abort.
  for (const uint32_t workers : kWorkerCounts) {
    SCOPED_TRACE(workers);
    MemoryMachine m;
    m.stdoutIsConsole = false;
    m.AddJunction(u"C:\\d\\j", u"C:\\x");
    m.InjectError(Op::kReparseOpen, u"\\\\?\\C:\\d\\j", win_error::kOperationAborted);
    m.beforeReparseRead = [&] { m.RaiseCtrlEvent(kCtrlCEvent); };
    const Outcome o = RunOn(m, {u"C:\\d", u"-s"}, workers);
    EXPECT_EQ(o.code, kExitAborted);
    EXPECT_FALSE(Has(o.out, "error 995")) << o.out;
  }
  // A reparse point whose data query is cancelled after the abort: the
  // records, which tell of unreadable data, have no record of it; without
  // an abort they do.
  for (const bool abort : {true, false}) {
    for (const uint32_t workers : kWorkerCounts) {
      SCOPED_TRACE(std::string(abort ? "abort, " : "no abort, ") + std::to_string(workers));
      MemoryMachine m;
      m.stdoutIsConsole = false;
      m.AddJunction(u"C:\\d\\j", u"C:\\x");
      m.InjectError(Op::kReparseQuery, u"\\\\?\\C:\\d\\j", win_error::kOperationAborted);
      if (abort) m.beforeReparseRead = [&] { m.RaiseCtrlEvent(kCtrlCEvent); };
      const Outcome o = RunOn(m, {u"C:\\d", u"-s"}, workers, OutputFormat::kJson);
      EXPECT_EQ(o.code, abort ? kExitAborted : 0);
      EXPECT_EQ(Has(o.json, "\"error_code\":995"), !abort) << o.json;
    }
  }
}

}  // namespace
}  // namespace quorrex::testing
