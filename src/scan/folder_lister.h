// Turns one folder into records: opens it, lists it, asks the link counts
// and reads the link data that the entry rules ask for. It decides nothing
// of its own: what an entry is and what is kept of it is the rules' to say,
// what the records mean is the walk's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "console/console.h"
#include "platform/platform.h"
#include "scan/entry_rules.h"
#include "scan/listed_folder.h"

namespace quorrex {

// The buffers that one thread lists with, made before it lists anything and
// reused for every folder it lists.
struct ListerScratch {
  std::u16string mask;
  std::u16string path;
  FindData entry;
  std::vector<uint8_t> linkData;
};

enum class OpenResult {
  kOpened,
  kFailed,        // the error is the folder's own: `outcome.error`
  kShort,         // short of descriptors or memory: a later try may open it
  kParentClosed,  // the folder it opens through has no open listing
};

// What the walk has a reader (or itself, meanwhile) do with one queued
// folder: open it through its parent's listing with the unit reserved for
// it, and list it, asking the link counts and link data the entry rules
// ask for.
struct ReadRequest {
  ListedFolderPtr folder;
  BudgetUnit unit;
  explicit operator bool() const { return folder != nullptr; }
};

// What the reader hands back: how the open went, the folder's records being
// its listing; and the unit, when no listing of the folder holds it (an
// open that failed, or a listing closed once listed).
struct ReadResult {
  ListedFolderPtr folder;
  OpenResult opened = OpenResult::kFailed;
  BudgetUnit unit;
};

class FolderLister {
 public:
  // With `countsEntries`, the entries listed are counted for the status line
  // (see CountListedInto).
  FolderLister(Platform& platform, const EntryRules& rules, char16_t separator,
               const std::atomic<bool>& privilegeSettled, bool countsEntries)
      : platform_(platform),
        rules_(rules),
        separator_(separator),
        privilegeSettled_(privilegeSettled),
        countsEntries_(countsEntries) {}

  // Opens `folder` with `unit`, the unit of the budget taken for it, which
  // its listing holds once it has opened; else the unit stays the caller's.
  // With
  // `throughParent` it is opened by its name in its parent's listing (never
  // following a link where its parent listed a plain folder), and fails with
  // kParentClosed when that listing is closed; else by its path.
  OpenResult Open(ListedFolder& folder, bool throughParent, BudgetUnit& unit,
                  ListerScratch& scratch);
  // The system calls of a reader's request, all of them: the folder's
  // records are filled in, the result tells how its open went, with the
  // unit when the folder holds no listing any more.
  ReadResult Read(ReadRequest request, ListerScratch& scratch, const StopSource& stop,
                  const StopSource& alsoStop);
  // Lists an opened folder into its records until the listing ends or
  // either stop is asked for. Subfolders get records of their own (not yet opened).
  // The listing is closed at the end unless an entry is to be opened
  // through it.
  void List(const ListedFolderPtr& folder, ListerScratch& scratch, const StopSource& stop,
            const StopSource& alsoStop);

 private:
  // Lists as List() does; whether the listing is to stay open.
  bool ListEntries(const ListedFolderPtr& folder, ListerScratch& scratch, const StopSource& stop,
                   const StopSource& alsoStop);
  // Asks the link count of the file just listed; whether it is kept.
  bool AskLinks(ListedFolder& folder, FolderListing& listing, ListerScratch& scratch, size_t base,
                LinkInfo& link);
  // Keeps a record of the entry just listed; the scratch holds its path
  // where a link is to be read or a subfolder made from it.
  ListedEntry& Keep(ListedFolder& folder, const EntryPlan& plan, const LinkInfo& link,
                    ListerScratch& scratch, size_t base);
  void ReadLink(ListedFolder& folder, EntryDetail& read, ListerScratch& scratch);
  ListedFolderPtr Subfolder(const ListedFolderPtr& self, const ListerScratch& scratch, size_t base,
                            size_t position);

  Platform& platform_;
  const EntryRules rules_;
  const char16_t separator_;
  const std::atomic<bool>& privilegeSettled_;
  const bool countsEntries_;
};

}  // namespace quorrex
