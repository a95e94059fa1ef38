// The scan's records: its settings, what it finds, the reparse reader's
// state, and the context that hands the walk and its reports all of these
// with the console they print to.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "console/console.h"
#include "platform/platform.h"
#include "scan/entry_rules.h"
#include "scan/hard_link_registry.h"
#include "scan/printer.h"
#include "scan/reparse_data.h"

namespace quorrex {

// The most threads that walk by default, the printing thread among them.
inline constexpr uint32_t kMaxWalkWorkers = 8;

// Fixed once the command line is read; read from any thread after that.
struct ScanSettings {
  // Subfolders are walked too.
  bool recurse = false;
  // Threads that read folders for the walk, the printing thread among them:
  // 1 walks on one thread, 0 lets the walk choose from the processor count
  // (the program's default).
  uint32_t walkWorkers = 1;
};

struct ScanCounters {
  uint32_t reparsePoints = 0;
  uint32_t mountPoints = 0;
  uint32_t volumeMountPoints = 0;
  uint32_t junctions = 0;
  uint32_t symbolicLinks = 0;
  uint32_t appExecLinks = 0;
  uint32_t wofLinks = 0;
  uint32_t dedupLinks = 0;
  uint32_t hardLinkGroups = 0;
};

// The reparse points counted under no kind of their own.
inline uint32_t OtherReparsePoints(const ScanCounters& c) {
  return c.reparsePoints - c.mountPoints - c.symbolicLinks - c.appExecLinks - c.wofLinks -
         c.dedupLinks;
}

// Counts one reported reparse point of kind `kind`.
inline void CountReparsePoint(ScanCounters& c, ReparseKind kind) {
  ++c.reparsePoints;
  switch (kind) {
    case ReparseKind::kVolumeMountPoint:
      ++c.volumeMountPoints;
      ++c.mountPoints;
      break;
    case ReparseKind::kDirectoryJunction:
      ++c.junctions;
      ++c.mountPoints;
      break;
    case ReparseKind::kSymbolicLink:
      ++c.symbolicLinks;
      break;
    case ReparseKind::kAppExecLink:
      ++c.appExecLinks;
      break;
    case ReparseKind::kWofCompressed:
      ++c.wofLinks;
      break;
    case ReparseKind::kDeduplicated:
      ++c.dedupLinks;
      break;
    case ReparseKind::kUnsupported:
      break;
  }
}

// How much the walk got through, and what it could not: the folders it
// entered and the entries listed in them, its error lines and the folders it
// did not enter (too deep, a loop, walked already).
struct WalkTotals {
  uint64_t folders = 0;
  uint64_t entries = 0;
  uint32_t errors = 0;
  uint32_t skipped = 0;
};

// What the scan found: written on the walk's thread only, which holds `lock`
// while it records a finding and prints it. A thread that reports in its
// stead (the walk's thread did not come back from a system call after an
// abort) holds it while it reads them; no system call is made under it.
struct Tallies {
  std::mutex lock;
  ScanCounters counters;
  WalkTotals totals;
  HardLinkRegistry hardLinks;
};

// Held while the walk records a finding and prints it.
using Recording = std::lock_guard<std::mutex>;

// The reparse reader's state: the token step happens once, and the buffer
// (kReparseBufferSize bytes once in use) serves every point.
struct ReparseReaderState {
  bool tokenOpened = false;
  std::vector<uint8_t> buffer;
  // The walk has tried to enable the backup privilege (at its first reparse
  // point): folders read ahead before that, in which something was denied,
  // are read again.
  std::atomic<bool> privilegeSettled{false};
};

// The records the walk and its reports work on, each owned elsewhere.
struct ScanContext {
  Platform& platform;
  // How the running system writes and opens paths.
  const SystemConventions& conventions;
  const ScanSettings& settings;
  Tallies& tallies;
  ReparseReaderState& reparseReader;
  // Where the listing is printed; the status line the walk feeds, and the
  // stop it asks for before each entry.
  Console& console;
  StatusLineState& statusLine;
  const StopSource& stop;
  // What the walk and its reports print goes through it.
  Printer* printer;

  char16_t separator() const { return conventions.separator; }
};

}  // namespace quorrex
