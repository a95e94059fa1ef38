// Lossless name conversion and the allocator's size rule.
#include <gtest/gtest.h>

#include <random>

#include "support/memory.h"
#include "support/utf.h"

namespace quorrex {
namespace {

TEST(LosslessUtf8, ValidTextDecodesToItsUtf16) {
  EXPECT_EQ(DecodeUtf8Lossless("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"),
            u"a\u00E9\u4E2D\U0001F600");
  EXPECT_EQ(EncodeUtf8Lossless(u"a\u00E9\u4E2D\U0001F600"),
            "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

TEST(LosslessUtf8, InvalidBytesBecomeLoneSurrogatesAndComeBack) {
  const std::string cases[] = {
      "\xFF",              // never valid
      "ab\xC3",            // cut sequence at the end
      "\xC0\xAF",          // overlong slash
      "\xED\xA0\x80",      // an encoded surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xE4\xB8",          // two of three bytes
      "x\x80y\xBFz",       // stray continuation bytes
      std::string("\0\x01", 2),
  };
  for (const std::string& bytes : cases) {
    const std::u16string text = DecodeUtf8Lossless(bytes);
    EXPECT_EQ(EncodeUtf8Lossless(text), bytes);
  }
  EXPECT_EQ(DecodeUtf8Lossless("\xFF"), u"\xDCFF");
  EXPECT_EQ(DecodeUtf8Lossless("ab\xC3"), u"ab\xDCC3");
}

TEST(LosslessUtf8, EveryByteStringRoundTrips) {
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 12, '\0');
    for (char& b : bytes) b = static_cast<char>(random() % 6 == 0 ? 0x80 | random() : random());
    ASSERT_EQ(EncodeUtf8Lossless(DecodeUtf8Lossless(bytes)), bytes);
  }
}

TEST(LosslessUtf8, OtherLoneSurrogatesEncodeAsReplacement) {
  EXPECT_EQ(EncodeUtf8Lossless(u"\xD800x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(EncodeUtf8Lossless(u"\xDC00"), "\xEF\xBF\xBD");
}

TEST(Allocator, WideSizesThatOverflowAreRefusedNeverShort) {
  EXPECT_EQ(WideBytes(0), 0u);
  EXPECT_EQ(WideBytes(32768), 65536u);
  EXPECT_EQ(WideBytes(0x7FFFFFFF), 0xFFFFFFFEu);
  EXPECT_EQ(WideBytes(0x80000000u), 0xFFFFFFFFu);
  EXPECT_EQ(WideBytes(uint64_t{1} << 40), 0xFFFFFFFFu);
}

TEST(Allocator, BlocksAreZeroedAndCopiesTerminated) {
  auto* block = static_cast<char16_t*>(AllocZeroed(WideBytes(16)));
  EXPECT_EQ(std::u16string_view(block), u"");
  FreeBlock(block);
  char16_t* copy = DupString(u"");
  EXPECT_EQ(copy[0], u'\0');
  FreeBlock(copy);
  copy = DupString(u"abc");
  EXPECT_EQ(std::u16string_view(copy), u"abc");
  FreeBlock(copy);
}

// A second process per death test costs seconds under Wine: POSIX only.
#ifndef _WIN32
TEST(AllocatorDeathTest, RefusedRequestEndsWithCodeEightAndNoOutput) {
  EXPECT_EXIT(AllocZeroed(WideBytes(0x80000000u)), ::testing::ExitedWithCode(8), "^$");
}
#endif

}  // namespace
}  // namespace quorrex
