// Lossless name conversion and the way out of a refused allocation.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "console/display_text.h"
#include "memory_machine.h"
#include "run_fixture.h"
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

TEST(TerminalText, ControlsAndStrayBytesShowAsQuestionMarksAndCharactersStay) {
  const struct {
    const char* what;
    std::u16string text;
    std::u16string shown;
  } cases[] = {
      {"plain and accented", u"caf\u00E9", u"caf\u00E9"},
      {"C0, DEL and C1", u"a\x1b[2J\x7f\x9b", u"a?[2J??"},
      {"every byte that was not UTF-8", DecodeUtf8Lossless("bad\xFFname\x80\xC3"), u"bad?name??"},
      // U+10080 is D800 DC80: its low half is no stray byte.
      {"characters beyond the first plane", u"\U00010080\U0001F600", u"\U00010080\U0001F600"},
      {"a high surrogate before a stray byte", u"\xD800\xDCFF", u"\xD800\xDCFF"},
      {"a stray byte after a whole pair", u"\U0001F600\xDCFF", u"\U0001F600?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(MaskControlCharacters(c.text), c.shown);
  }
}

TEST(LosslessUtf8, EveryByteStringRoundTrips) {
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 12, '\0');
    for (char& b : bytes) b = static_cast<char>(random() % 6 == 0 ? 0x80 | random() : random());
    ASSERT_EQ(EncodeUtf8Lossless(DecodeUtf8Lossless(bytes)), bytes);
  }
}

// Long runs of ASCII are encoded in blocks: a unit of every other kind at
// every place of a long path ends a block there and is encoded as alone.
TEST(LosslessUtf8, LongTextEncodesAsEachOfItsUnits) {
  struct Case {
    const char* what;
    std::u16string unit;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"ASCII", u"a", "a"},
      {"the last ASCII unit", u"\x7F", "\x7F"},
      {"the first beyond ASCII", u"\x80", "\xC2\x80"},
      {"Latin-1", u"\u00E9", "\xC3\xA9"},
      {"a unit whose low byte is ASCII", u"\u0141", "\xC5\x81"},
      {"CJK", u"\u4E2D", "\xE4\xB8\xAD"},
      {"a high byte of all ones", u"\uFF41", "\xEF\xBD\x81"},
      {"a pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"a byte that was not UTF-8", u"\xDCFF", "\xFF"},
      {"a lone surrogate", u"\xD800", "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const size_t length : std::vector<size_t>{15, 16, 17, 31, 32, 33, 48, 100}) {
      for (size_t at = 0; at <= length; ++at) {
        std::u16string text;
        std::string bytes;
        for (size_t i = 0; i < length; ++i) {
          if (i == at) {
            text += c.unit;
            bytes += c.bytes;
          }
          text.push_back(static_cast<char16_t>(u'0' + i % 70));
          bytes.push_back(static_cast<char>('0' + i % 70));
        }
        if (at == length) {
          text += c.unit;
          bytes += c.bytes;
        }
        std::string out = "before";
        EncodeUtf8Lossless(text, out);
        ASSERT_EQ(out, "before" + bytes) << length << " " << at;
      }
    }
  }
}

// Long runs of ASCII are decoded in blocks too: a sequence of every kind,
// whole or not, at every place of a long name decodes as it does alone, and
// the bytes come back.
TEST(LosslessUtf8, LongBytesDecodeAsEachOfTheirSequences) {
  struct Case {
    const char* what;
    std::string bytes;
    std::u16string units;
  };
  const std::vector<Case> cases = {
      {"ASCII", "a", u"a"},
      {"the last ASCII byte", "\x7F", u"\x7F"},
      {"two bytes", "\xC3\xA9", u"\u00E9"},
      {"three bytes", "\xE4\xB8\xAD", u"\u4E2D"},
      {"four bytes, a pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a byte that is not UTF-8", "\xFF", u"\xDCFF"},
      {"a continuation byte alone", "\x80", u"\xDC80"},
      {"a sequence cut short", "\xE4\xB8", u"\xDCE4\xDCB8"},
      {"an overlong form", "\xC0\xAF", u"\xDCC0\xDCAF"},
      {"an encoded surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const size_t length : std::vector<size_t>{15, 16, 17, 31, 32, 33, 48, 100}) {
      for (size_t at = 0; at <= length; ++at) {
        std::string bytes;
        std::u16string units;
        for (size_t i = 0; i <= length; ++i) {
          if (i == at) {
            bytes += c.bytes;
            units += c.units;
          }
          if (i == length) break;
          bytes.push_back(static_cast<char>('0' + i % 70));
          units.push_back(static_cast<char16_t>(u'0' + i % 70));
        }
        std::u16string out = u"before";
        DecodeUtf8Lossless(bytes, out);
        ASSERT_EQ(out, u"before" + units) << length << " " << at;
        ASSERT_EQ(EncodeUtf8Lossless(out.substr(6)), bytes) << length << " " << at;
      }
    }
  }
}

TEST(LosslessUtf8, OtherLoneSurrogatesEncodeAsReplacement) {
  EXPECT_EQ(EncodeUtf8Lossless(u"\xD800x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(EncodeUtf8Lossless(u"\xDC00"), "\xEF\xBF\xBD");
}

// A second process per death test costs seconds under Wine: POSIX only.
#ifndef _WIN32
// Says on standard error what the allocator asked of the machine, and how
// much of standard output had been written by then; the death test sees
// nothing else of the process that ends. Reading the reparse point named
// `refuseAt` refuses an allocation.
class SoundingMachine : public testing::MemoryMachine {
 public:
  void Sleep(uint32_t milliseconds) override {
    std::fprintf(stderr, "sleep %u after %zu bytes;", milliseconds, out.size());
  }
  void Beep(uint32_t hertz, uint32_t milliseconds) override {
    std::fprintf(stderr, "beep %u %u;", hertz, milliseconds);
  }
  ReparseRead ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                              std::span<uint8_t> buffer) override {
    if (entry.name == refuseAt) Refuse();
    return MemoryMachine::ReadReparseData(openName, entry, buffer);
  }

  static void Refuse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's allocator ends the process itself on a request this
    // large, without the handler: hand the refusal to the handler directly.
    std::get_new_handler()();
#else
    volatile size_t huge = std::numeric_limits<size_t>::max() / 2;
    // Kept in a volatile so that the request is not optimised away.
    void* volatile block = ::operator new(huge);
    static_cast<void>(block);
#endif
  }

  std::u16string_view refuseAt;
};

void RefuseAllocation() {
  SoundingMachine machine;
  InstallAllocationFailure(static_cast<Platform&>(machine));
  SoundingMachine::Refuse();
}

// Redirected output collects in a buffer; what the run had listed before
// the refusal is written out before the wait.
[[maybe_unused]] void RefuseDuringTheWalk() {
  SoundingMachine machine;
  machine.stdoutIsConsole = false;
  machine.AddSymlink(u"C:\\data\\a", u"t", false);
  machine.AddSymlink(u"C:\\data\\b", u"t", false);
  machine.refuseAt = u"b";
  InstallAllocationFailure(static_cast<Platform&>(machine));
  testing::RunOn(machine, {u"C:\\data"});
}

TEST(AllocatorDeathTest, RefusedRequestWaitsSoundsAndEndsWithCodeEight) {
  EXPECT_EXIT(RefuseAllocation(), ::testing::ExitedWithCode(8),
              "^sleep 500 after 0 bytes;beep 1000 3000;$");
#if !defined(__SANITIZE_THREAD__)
  // GCC 12's ThreadSanitizer does not see the timed lock the refusal takes on
  // the output, and reports its release as an unlock of an unlocked mutex.
  // "Quorrex 1.0\r\n", "\r", "reparse point (symlink) C:\data\a\n", " -> t\n"
  EXPECT_EXIT(RefuseDuringTheWalk(), ::testing::ExitedWithCode(8),
              testing::TestFormat() == OutputFormat::kText
                  ? "^sleep 500 after 54 bytes;beep 1000 3000;$"
                  // the start record and the first point's record
                  : "^sleep 500 after [1-9][0-9]* bytes;beep 1000 3000;$");
#endif
}
#endif

}  // namespace
}  // namespace quorrex
