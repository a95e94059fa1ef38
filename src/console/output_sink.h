// The sink behind standard output: every byte the run writes there passes
// through it. On a console it goes out at once; redirected, it collects in a
// buffer that is handed to the system when it fills, within about 100 ms of
// being written (the flusher thread), and at the run's end. The first
// failed write ends the output for good.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "console/console.h"

namespace quorrex {

// Standard output: raw bytes through the output's buffer. Returns the count
// written, -1 on failure. After a failed write nothing more is written, and
// a stop is requested so that the walk ends.
int WriteOutput(Console& console, std::string_view bytes);
// The same, for a caller that holds the output lock already (a line writer).
int WriteOutputHeld(Console& console, std::string_view bytes);
// Notes that `text` reached standard output by another way than WriteOutput
// (UTF-16 to a console); the caller holds the output lock.
void NoteOutputWritten(Console& console, std::u16string_view text);
// Whether standard output is redirected (decided at the first output).
bool OutputRedirected(Console& console);
// Whether a write to standard output has failed; `console.output.failError` says why.
bool OutputFailed(const Console& console);
// Whether the output ended because a write was given up after a control
// event (its reader had stopped reading): the run ends as stopped.
bool OutputGivenUp(const Console& console);
// Records a failed write to standard output (see WriteOutput).
void NoteOutputFailure(Console& console, uint32_t error);
// Hands every pending byte to the system.
void FlushOutput(Console& console);
// The same for a caller that already holds the output lock; allocates nothing.
void FlushPendingOutput(Console& console);
// FlushOutput, unless another thread holds the output for longer than
// `milliseconds`; false then, and nothing is written.
bool FlushOutputWithin(Console& console, uint32_t milliseconds);
// Takes the output lock, and waits, for at most `limit`, until no line is
// open on standard output (or the output has failed). Returns the held
// lock; whatever the holder writes then starts a line of its own, unless the
// time ran out first.
std::unique_lock<std::recursive_timed_mutex> HoldOutputAtLineEnd(Console& console,
                                                                 std::chrono::milliseconds limit);
// From now on only the calling thread writes to standard output and error:
// whatever another thread writes is refused, and nothing it writes later is
// spliced onto what this one writes. Waits, for at most `limit`, for a line
// being written to end first.
void TakeOutputForThisThread(Console& console, std::chrono::milliseconds limit);
// Whether a write from the calling thread is refused (see above); the caller
// holds the output lock.
bool OutputRefusedHere(const Console& console);
// Starts and stops the thread that hands redirected output to the system
// within about 100 ms of its being written; without it (the system refused
// the thread) output waits for a full buffer or the run's end.
void StartOutputFlusher(Console& console);
void StopOutputFlusher(Console& console);

}  // namespace quorrex
