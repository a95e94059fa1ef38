// The choice of the blocked write that a control event gives up.
#include "platform/win32/write_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quorrex::win32 {
namespace {

constexpr uint32_t kWriter = 7;

// What the writers do between two looks of the canceller.
enum class Step { kNothing, kStart, kEnd, kEndAndStart };

TEST(WriteWatchTest, OnlyAWriteWaitingAWholeIntervalIsCancelled) {
  struct Case {
    const char* name;
    std::vector<Step> steps;      // before each look
    std::vector<uint32_t> looks;  // what each look gives
  };
  const Case cases[] = {
      {"a write that never ends is cancelled at the second look, and again after",
       {Step::kStart, Step::kNothing, Step::kNothing},
       {0, kWriter, kWriter}},
      {"a write already waiting at the first look",
       {Step::kNothing, Step::kStart, Step::kNothing},
       {0, 0, kWriter}},
      {"a write that ends between the looks is left alone",
       {Step::kStart, Step::kEnd, Step::kNothing},
       {0, 0, 0}},
      {"writes that keep going are never cancelled",
       {Step::kStart, Step::kEndAndStart, Step::kEndAndStart, Step::kEndAndStart},
       {0, 0, 0, 0}},
      {"the next write after one went through gets its own interval",
       {Step::kStart, Step::kEndAndStart, Step::kNothing},
       {0, 0, kWriter}},
      {"no write at all", {Step::kNothing, Step::kNothing}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWatch watch;
    std::vector<uint32_t> looks;
    for (const Step step : c.steps) {
      if (step == Step::kEnd || step == Step::kEndAndStart) watch.Ended();
      if (step == Step::kStart || step == Step::kEndAndStart) watch.Started(kWriter);
      looks.push_back(watch.Look());
    }
    EXPECT_EQ(looks, c.looks);
  }
}

TEST(WriteWatchTest, TheCancellerWatchesUntilOutputHasFinished) {
  // On a clock of its own: a write that first blocks long after the control
  // event, or that blocks only for a while, and the end of the output.
  struct Case {
    const char* name;
    uint32_t blocksAt;  // ms after the event
    uint32_t endsAt;    // ms after the event; 0: never
    bool cancelled;
  };
  const Case cases[] = {
      {"a write blocked at the event", 0, 0, true},
      {"a write that first blocks 10 s later", 10'000, 0, true},
      {"a write that first blocks a minute later", 60'000, 0, true},
      {"a slow write that goes through", 10'000, 10'050, false},
  };
  constexpr uint32_t kOutputEndsAt = 120'000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWatch watch;
    uint32_t now = 0;
    uint32_t cancelledAt = 0;
    const auto writer = [&] {
      if (now >= c.blocksAt && (c.endsAt == 0 || now < c.endsAt) && cancelledAt == 0) {
        watch.Started(kWriter);
      } else {
        watch.Ended();
      }
    };
    CancellerSteps steps;
    steps.sleep = [&](uint32_t ms) {
      // The writer moves on its own between the canceller's looks.
      for (uint32_t step = 0; step < ms; step += 10) {
        now += 10;
        if (now == c.blocksAt || now == c.endsAt) writer();
      }
    };
    steps.round = [&] {
      if (watch.Look() == kWriter && cancelledAt == 0) {
        cancelledAt = now;
        watch.Ended();  // the cancelled write returns
      }
    };
    steps.finished = [&] { return now >= kOutputEndsAt; };
    if (c.blocksAt == 0) watch.Started(kWriter);
    WatchUntilFinished(steps);
    EXPECT_EQ(cancelledAt != 0, c.cancelled);
    if (c.cancelled) {
      // Within the grace and two looks of its blocking.
      EXPECT_GE(cancelledAt, std::max(c.blocksAt, kWriteGraceMs));
      EXPECT_LE(cancelledAt, std::max(c.blocksAt, kWriteGraceMs) + 3 * kCancelCheckMs);
    }
  }
}

TEST(WriteWatchTest, EachWritingThreadKeepsItsOwnMark) {
  // The control handler's message blocks in its write; meanwhile the main
  // thread erases the status line in a write that goes through, and the
  // walk's thread makes a call that ends. Only the handler's write is
  // cancelled, at the second look, as if it were the only one.
  constexpr uint32_t kMain = 1;
  constexpr uint32_t kHandler = 2;
  constexpr uint32_t kReader = 3;
  ThreadWatches main{kMain, {}, {}};
  ThreadWatches handler{kHandler, {}, {}};
  ThreadWatches reader{kReader, {}, {}};
  const auto look = [&] {
    std::vector<uint32_t> cancelled;
    for (ThreadWatches* watches : {&main, &handler, &reader}) {
      if (const uint32_t thread = watches->Look()) cancelled.push_back(thread);
    }
    return cancelled;
  };
  handler.writes.Started(kHandler);
  main.writes.Started(kMain);
  reader.calls.Started(kReader);
  EXPECT_EQ(look(), std::vector<uint32_t>{});
  main.writes.Ended();
  reader.calls.Ended();
  EXPECT_EQ(look(), std::vector<uint32_t>{kHandler});
  // A thread blocked in a call while its write watch is idle, and the
  // reverse, are each found by the one look of its watches.
  handler.writes.Ended();
  main.calls.Started(kMain);
  reader.writes.Started(kReader);
  EXPECT_EQ(look(), std::vector<uint32_t>{});
  EXPECT_EQ(look(), (std::vector<uint32_t>{kMain, kReader}));
}

}  // namespace
}  // namespace quorrex::win32
