// Folders read ahead of the walk on a pool of threads.
//
// A reader lists a folder whole, settles whether its links lead to folders,
// asks for the link counts of its matching plain files, and queues its plain
// subfolders to be read in turn. The walk takes the finished folders in its
// own depth-first order and decides everything that prints or counts; a
// folder read ahead that the walk does not enter is dropped unseen. At most
// `window` folders are read ahead of the walk, so memory and open folders do
// not grow with the tree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/run_state.h"

namespace quorrex {

struct ReadFolder;
using ReadFolderPtr = std::shared_ptr<ReadFolder>;

// One entry of a folder read ahead. Its name lives in the folder's text.
struct ReadEntry {
  uint32_t nameOffset = 0;
  uint32_t nameLength = 0;
  uint32_t attributes = 0;
  bool matches = false;
  LinkInfo link;        // a matching plain file's; links 0 when unknown
  ReadFolderPtr child;  // a plain subfolder queued to be read
};

struct ReadFolder {
  enum class State { kQueued, kReading, kReady, kTaken, kDropped };

  // Where the folder is: its path, and the open folder and name it was met
  // under. The parent is held until this folder has been opened.
  std::u16string path;
  ReadFolderPtr parent;
  std::u16string name;
  uint32_t attributes = kInvalidFileAttributes;
  int32_t depth = 0;

  // What the read found; written by one reader, read by the walk once ready.
  State state = State::kQueued;
  bool counted = false;  // among the folders read ahead
  std::unique_ptr<FolderListing> listing;
  uint32_t error = 0;  // of the open; 0 when it opened
  bool idKnown = false;
  FileId id;
  std::u16string names;  // every entry's name, one after another
  std::vector<ReadEntry> entries;

  std::u16string_view NameOf(const ReadEntry& entry) const {
    return std::u16string_view(names).substr(entry.nameOffset, entry.nameLength);
  }
};

class ReadAhead {
 public:
  // Starts up to `readers` threads; fewer when the system refuses some.
  ReadAhead(Run& run, std::u16string_view pattern, uint32_t readers, size_t window);
  ~ReadAhead();  // stops and joins the readers
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  size_t readers() const { return threads_.size(); }

  // A folder not queued by any read (the scan folder, one met through a
  // link): opened and its identity asked on the calling thread.
  ReadFolderPtr OpenHere(std::u16string_view path, const ReadFolderPtr& parent,
                         std::u16string_view name, uint32_t attributes, int32_t depth);
  // Lists a folder that OpenHere opened, and queues its plain subfolders.
  void ListHere(const ReadFolderPtr& folder);
  // Waits until a queued folder is read, reading it here if no reader has
  // started on it, and hands it to the walk.
  void Take(const ReadFolderPtr& folder);
  // The walk will not enter `folder`: it and all it queued are dropped.
  void Drop(const ReadFolderPtr& folder);
  // Ends the reading: the readers stop at their next entry.
  void Stop();

 private:
  void Reader();
  // Opens `folder` and asks its identity; false when it cannot be listed.
  bool Open(ReadFolder& folder);
  void List(const ReadFolderPtr& folder);
  // After a read: queues the subfolders, or drops them with the folder.
  void Finish(const ReadFolderPtr& folder);
  void DropLocked(ReadFolder& folder);
  // Wakes whoever waits, and no one when no one does: most hand-overs find
  // everyone busy, and a wake-up is a system call.
  void WakeLocked();

  Run& run_;
  std::u16string_view pattern_;
  const size_t window_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<ReadFolderPtr> queue_;  // the next folder to read in front
  size_t ahead_ = 0;                 // folders being read or read, not taken
  size_t idle_ = 0;                  // readers waiting for work
  bool walkWaits_ = false;           // the walk waits for a folder being read
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

}  // namespace quorrex
