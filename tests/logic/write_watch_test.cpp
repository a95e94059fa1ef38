// The choice of the blocked write that a control event gives up.
#include "platform/win32/write_watch.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quorrex::win32
