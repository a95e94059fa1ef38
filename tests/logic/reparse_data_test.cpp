#include "scan/reparse_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "reparse_bytes.h"
#include "run/run_state.h"

namespace quorrex {
namespace {

using testing::AppExecData;
using testing::LinkData;
using testing::NameOrder;
using testing::ReparseBytes;

// Reparse data written into a buffer that may be longer than the data, and
// decoded as a query that returned `bytesReturned` of it.
class Bytes : public ReparseBytes {
 public:
  using ReparseBytes::ReparseBytes;
  ReparseInfo Decode(uint32_t bytesReturned) const {
    return DecodeReparseData(std::span<const uint8_t>(raw()), bytesReturned);
  }
};

constexpr size_t kMountNames = 16;
constexpr size_t kSymlinkNames = 20;

// A mount point or symbolic link whose substitute name lies at the start of
// its path buffer; returns the byte count a query would report.
uint32_t WriteLink(Bytes& b, uint32_t tag, std::u16string_view name) {
  const size_t names = tag == kTagSymlink ? kSymlinkNames : kMountNames;
  const auto bytes = static_cast<uint16_t>(2 * name.size());
  b.Header(tag, static_cast<uint16_t>(names - 8 + bytes + 2))
      .U16(8, 0)
      .U16(10, bytes)
      .U16(12, static_cast<uint16_t>(bytes + 2))
      .U16(14, 0)
      .Units(names, name)
      .U16(names + bytes, 0);
  return static_cast<uint32_t>(names + bytes + 2);
}

ReparseInfo DecodeLink(uint32_t tag, std::u16string_view name) {
  Bytes b(kReparseBufferSize);
  return b.Decode(WriteLink(b, tag, name));
}

TEST(ReparseMountPoint, JunctionShowsTargetWithoutNtPrefix) {
  const ReparseInfo info = DecodeLink(kTagMountPoint, u"\\??\\C:\\Data\\Target");
  EXPECT_EQ(info.tag, kTagMountPoint);
  EXPECT_EQ(info.kind, ReparseKind::kDirectoryJunction);
  EXPECT_EQ(info.target, u"\\??\\C:\\Data\\Target");
  EXPECT_EQ(info.shownTarget, u"C:\\Data\\Target");
  EXPECT_TRUE(info.strings.empty());
}

TEST(ReparseMountPoint, VolumeNameInAnyCaseShowsWhole) {
  for (std::u16string_view name :
       {u"\\??\\Volume{0b1d2c3e-1111-2222-3333-444455556666}\\", u"\\??\\vOLUME{x}\\"}) {
    const ReparseInfo info = DecodeLink(kTagMountPoint, name);
    EXPECT_EQ(info.kind, ReparseKind::kVolumeMountPoint);
    EXPECT_EQ(info.shownTarget, name);
  }
}

TEST(ReparseMountPoint, JunctionShorterThanItsPrefix) {
  // Whatever the first four units are, they are dropped; fewer drop to nothing.
  EXPECT_EQ(DecodeLink(kTagMountPoint, u"").kind, ReparseKind::kDirectoryJunction);
  EXPECT_EQ(DecodeLink(kTagMountPoint, u"").shownTarget, u"");
  EXPECT_EQ(DecodeLink(kTagMountPoint, u"\\??").shownTarget, u"");
  EXPECT_EQ(DecodeLink(kTagMountPoint, u"abcd").shownTarget, u"");
  EXPECT_EQ(DecodeLink(kTagMountPoint, u"abcde").shownTarget, u"e");
}

TEST(ReparseSymlink, ShownTargetByPrefix) {
  struct Case {
    std::u16string_view name, shown;
  } cases[] = {
      {u"..\\lib\\x.dll", u"..\\lib\\x.dll"},                      // relative
      {u"\\??\\C:\\Windows", u"C:\\Windows"},                      // drive path
      {u"\\??\\UNC\\server\\share\\d", u"UNC\\server\\share\\d"},  // share
      {u"\\??\\Volume{abc}\\d", u"\\??\\Volume{abc}\\d"},          // volume name
      {u"\\??", u"\\??"},                                          // prefix too short
  };
  for (const Case& c : cases) {
    const ReparseInfo info = DecodeLink(kTagSymlink, c.name);
    EXPECT_EQ(info.kind, ReparseKind::kSymbolicLink);
    EXPECT_EQ(info.target, c.name);
    EXPECT_EQ(info.shownTarget, c.shown);
  }
}

TEST(ReparseLinkName, OffsetAndLengthRules) {
  // SubstituteNameOffset 5 is used as 4 (the print name comes first here).
  Bytes b(256);
  b.Header(kTagSymlink, 40).U16(8, 5).U16(10, 6).U16(12, 0).U16(14, 4);
  b.Units(kSymlinkNames, u"PPxyz");
  EXPECT_EQ(b.Decode(64).target, u"xyz");

  // An odd length's last byte fills no unit and is left out.
  b.U16(8, 4).U16(10, 5);
  EXPECT_EQ(b.Decode(64).target, u"xy");
  b.U16(10, 1);
  EXPECT_EQ(b.Decode(64).target, u"");

  // A zero unit inside the name ends it.
  b.U16(10, 6).U16(kSymlinkNames + 6, 0);
  EXPECT_EQ(b.Decode(64).target, u"x");
}

TEST(ReparseLinkName, ShortTargetAfterLongOneShowsNothingStale) {
  Bytes b(kReparseBufferSize);
  const uint32_t longBytes = WriteLink(b, kTagMountPoint, u"\\??\\C:\\a\\much\\longer\\target");
  ASSERT_EQ(b.Decode(longBytes).shownTarget, u"C:\\a\\much\\longer\\target");

  const uint32_t shortBytes = WriteLink(b, kTagMountPoint, u"\\??\\D:\\s");
  EXPECT_EQ(b.Decode(shortBytes).target, u"\\??\\D:\\s");

  // A name whose length claims more than the query returned is cut where the
  // returned bytes end, even if the terminator is missing.
  b.U16(10, 200);
  EXPECT_EQ(b.Decode(shortBytes).target, u"\\??\\D:\\s");
  EXPECT_EQ(b.Decode(shortBytes - 2).target, u"\\??\\D:\\s");
  EXPECT_EQ(b.Decode(shortBytes - 3).target, u"\\??\\D:\\");  // a half unit is no unit
  b.U16(shortBytes - 2, u'X');
  EXPECT_EQ(b.Decode(shortBytes).target, u"\\??\\D:\\sX");
}

TEST(ReparseLinkName, NameReachingPastTheBuffer) {
  // Largest offset and length, in a full buffer of non-zero bytes.
  Bytes big(kReparseBufferSize, 0x41);
  big.Header(kTagSymlink, 0xFFFF).U16(8, 0xFFFF).U16(10, 0xFFFF);
  const ReparseInfo info = big.Decode(0xFFFFFFFFu);
  EXPECT_EQ(info.target.size(), (kReparseBufferSize - kSymlinkNames - 0xFFFE) / 2);

  // A buffer shorter than the byte count claims, the name starting past it.
  Bytes small(24, 0x41);
  small.Header(kTagMountPoint, 100).U16(8, 0).U16(10, 100);
  EXPECT_EQ(small.Decode(1000).target, u"\u4141\u4141\u4141\u4141");
  small.U16(8, 10);
  EXPECT_EQ(small.Decode(1000).target, u"");

  // Fields cut short read as zero: an empty name.
  Bytes header(12, 0x41);
  header.Header(kTagMountPoint, 0);
  EXPECT_EQ(header.Decode(9).target, u"");
  EXPECT_EQ(header.Decode(9).kind, ReparseKind::kDirectoryJunction);
}

// An app execution link whose strings follow one another from byte 12; the
// data length is the returned byte count less the header.
uint32_t WriteAppExec(Bytes& b, std::initializer_list<std::u16string_view> strings) {
  size_t at = 12;
  for (std::u16string_view s : strings) {
    b.Units(at, s).U16(at + 2 * s.size(), 0);
    at += 2 * s.size() + 2;
  }
  b.Header(kTagAppExecLink, static_cast<uint16_t>(at - 8)).U32(8, 3);
  return static_cast<uint32_t>(at);
}

using Strings = std::vector<std::u16string>;

TEST(ReparseAppExecLink, FourStringsAndNothingFromPastTheData) {
  Bytes b(512, 0x41);  // whatever follows the data is non-zero
  const uint32_t size = WriteAppExec(b, {u"Pkg_1.0", u"Pkg!App", u"C:\\x.exe", u"0"});
  const ReparseInfo info = b.Decode(size);
  EXPECT_EQ(info.kind, ReparseKind::kAppExecLink);
  EXPECT_EQ(info.strings, (Strings{u"Pkg_1.0", u"Pkg!App", u"C:\\x.exe", u"0"}));
  EXPECT_TRUE(info.target.empty());

  // Stale strings past the returned bytes never add an entry...
  WriteAppExec(b, {u"Pkg_1.0", u"Pkg!App", u"C:\\x.exe", u"0", u"old", u"older"});
  EXPECT_EQ(b.Decode(size).strings.size(), 4u);
  // ...and neither do strings past ReparseDataLength, though returned.
  b.U16(4, static_cast<uint16_t>(size - 8));
  EXPECT_EQ(b.Decode(size + 20).strings.size(), 4u);
}

TEST(ReparseAppExecLink, ScanStartsAtTheFirstStringsSecondUnit) {
  Bytes b(128);
  // An empty first string: its entry is empty, and a string right after it
  // (byte 14) is not found; one from byte 16 on is.
  WriteAppExec(b, {u"", u"A", u"BC"});
  EXPECT_EQ(b.Decode(64).strings, (Strings{u"", u"BC"}));

  // A run of empty strings yields one entry for the next non-empty one.
  Bytes c(128);
  const uint32_t size = WriteAppExec(c, {u"ab", u"", u"", u"cd"});
  EXPECT_EQ(c.Decode(size).strings, (Strings{u"ab", u"cd"}));
}

TEST(ReparseAppExecLink, DataLengthBoundsTheScan) {
  Bytes b(128);
  WriteAppExec(b, {u"a", u"b", u"c"});  // strings at 12, 16, 20
  for (uint16_t length : {0, 6}) {
    b.U16(4, length);
    EXPECT_EQ(b.Decode(64).strings, (Strings{u"a"})) << length;
  }
  // The zero unit at 14 and the start at 16 must both lie inside the data.
  b.U16(4, 9);
  EXPECT_EQ(b.Decode(64).strings, (Strings{u"a"}));
  b.U16(4, 10);
  EXPECT_EQ(b.Decode(64).strings, (Strings{u"a", u"b"}));
  // The returned bytes bound it as well, though the data length is larger.
  b.U16(4, 100);
  EXPECT_EQ(b.Decode(17).strings, (Strings{u"a"}));
  EXPECT_EQ(b.Decode(18).strings, (Strings{u"a", u"b"}));
}

TEST(ReparseAppExecLink, UnendedStringsAndTheTenStringLimit) {
  // No zero unit: the string ends with the returned bytes.
  Bytes b(64, 0x41);
  b.Header(kTagAppExecLink, 56).U32(8, 3);
  EXPECT_EQ(b.Decode(19).strings, (Strings{u"\u4141\u4141\u4141"}));
  EXPECT_EQ(b.Decode(12).strings, (Strings{u""}));
  EXPECT_EQ(b.Decode(4).strings, (Strings{u""}));

  Bytes many(256);
  const uint32_t size = WriteAppExec(
      many, {u"0", u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"10", u"11"});
  const ReparseInfo info = many.Decode(size);
  ASSERT_EQ(info.strings.size(), kMaxAppExecStrings);
  EXPECT_EQ(info.strings.back(), u"9");
}

TEST(ReparseWof, VersionAndAlgorithmAsRead) {
  Bytes b(32);
  b.Header(kTagWof, 16).U32(8, 1).U32(12, 7).U32(16, 0xFFFFFFFFu).U32(20, 3);
  ReparseInfo info = b.Decode(24);
  EXPECT_EQ(info.kind, ReparseKind::kWofCompressed);
  EXPECT_EQ(info.wofVersion, 0xFFFFFFFFu);  // provider 7 is not the file provider
  EXPECT_STREQ(info.wofAlgorithmName, "XPRESS16K");
  b.U32(20, 4);
  EXPECT_STREQ(b.Decode(24).wofAlgorithmName, "unk");

  EXPECT_STREQ(WofAlgorithmName(0), "XPRESS4K");
  EXPECT_STREQ(WofAlgorithmName(1), "LZX");
  EXPECT_STREQ(WofAlgorithmName(2), "XPRESS8K");
  EXPECT_STREQ(WofAlgorithmName(0xFFFFFFFFu), "unk");
}

TEST(ReparseOtherTags, DedupAndUnsupported) {
  Bytes b(8);
  b.Header(kTagDedup, 0);
  EXPECT_EQ(b.Decode(8).kind, ReparseKind::kDeduplicated);

  b.Header(0x9000701Au, 0);
  ReparseInfo info = b.Decode(8);
  EXPECT_EQ(info.kind, ReparseKind::kUnsupported);
  EXPECT_TRUE(info.microsoftTag);
  EXPECT_EQ(info.tag, 0x9000701Au);

  b.Header(0x7000001Au, 0);
  info = b.Decode(8);
  EXPECT_EQ(info.kind, ReparseKind::kUnsupported);
  EXPECT_FALSE(info.microsoftTag);

  // A tag one bit off a decoded one is not decoded.
  b.Header(kTagSymlink | 0x10000, 0);
  EXPECT_EQ(b.Decode(8).kind, ReparseKind::kUnsupported);

  // A tag cut short reads only the returned bytes.
  b.Header(kTagMountPoint, 0);
  EXPECT_EQ(b.Decode(2).tag, 0x0003u);
  EXPECT_EQ(b.Decode(0).tag, 0u);
}

// --- Data as Windows writes it -------------------------------------------------

ReparseInfo DecodeAll(const std::vector<uint8_t>& data) {
  return DecodeReparseData(data, static_cast<uint32_t>(data.size()));
}

TEST(ReparseAsWritten, LinksAndJunctionsInEitherOrderWithOrWithoutZeros) {
  constexpr auto kPrintFirst = NameOrder::kPrintFirst;
  constexpr auto kSubstituteFirst = NameOrder::kSubstituteFirst;
  struct Case {
    const char* name;
    uint32_t tag;
    std::u16string_view substitute, print;
    NameOrder order;
    bool zeros;
    uint32_t flags;
    ReparseKind kind;
    std::u16string_view shown;
  };
  const Case cases[] = {
      // mklink and CreateSymbolicLink: the print name first, no zeros.
      {"absolute file link", kTagSymlink, u"\\??\\C:\\Data\\notes.txt", u"C:\\Data\\notes.txt",
       kPrintFirst, false, 0, ReparseKind::kSymbolicLink, u"C:\\Data\\notes.txt"},
      {"relative link", kTagSymlink, u"..\\lib\\x.dll", u"..\\lib\\x.dll", kPrintFirst, false,
       testing::kSymlinkRelative, ReparseKind::kSymbolicLink, u"..\\lib\\x.dll"},
      {"link to its own folder: '.' at offset 2", kTagSymlink, u".", u".", kPrintFirst, false,
       testing::kSymlinkRelative, ReparseKind::kSymbolicLink, u"."},
      {"link to a share", kTagSymlink, u"\\??\\UNC\\srv\\share\\d", u"\\\\srv\\share\\d",
       kPrintFirst, false, 0, ReparseKind::kSymbolicLink, u"UNC\\srv\\share\\d"},
      // Other tools: the substitute name first, with zeros, or none.
      {"link, substitute first", kTagSymlink, u"\\??\\D:\\x", u"D:\\x", kSubstituteFirst, true, 0,
       ReparseKind::kSymbolicLink, u"D:\\x"},
      {"link, substitute first, no zeros", kTagSymlink, u"\\??\\D:\\x", u"D:\\x", kSubstituteFirst,
       false, 0, ReparseKind::kSymbolicLink, u"D:\\x"},
      {"junction, substitute first", kTagMountPoint, u"\\??\\C:\\Archive\\Documents",
       u"C:\\Archive\\Documents", kSubstituteFirst, true, 0, ReparseKind::kDirectoryJunction,
       u"C:\\Archive\\Documents"},
      {"junction, substitute first, no zeros", kTagMountPoint, u"\\??\\C:\\Archive", u"C:\\Archive",
       kSubstituteFirst, false, 0, ReparseKind::kDirectoryJunction, u"C:\\Archive"},
      {"junction, print name first", kTagMountPoint, u"\\??\\C:\\Archive", u"C:\\Archive",
       kPrintFirst, false, 0, ReparseKind::kDirectoryJunction, u"C:\\Archive"},
      {"junction without a print name", kTagMountPoint, u"\\??\\C:\\Users\\me\\AppData", u"",
       kSubstituteFirst, true, 0, ReparseKind::kDirectoryJunction, u"C:\\Users\\me\\AppData"},
      {"volume mount point", kTagMountPoint,
       u"\\??\\Volume{6f2c0e1a-0000-0000-0000-100000000000}\\", u"", kSubstituteFirst, true, 0,
       ReparseKind::kVolumeMountPoint, u"\\??\\Volume{6f2c0e1a-0000-0000-0000-100000000000}\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReparseInfo info =
        DecodeAll(LinkData(c.tag, c.substitute, c.print, c.order, c.zeros, c.flags));
    EXPECT_EQ(info.kind, c.kind);
    EXPECT_EQ(info.target, c.substitute);
    EXPECT_EQ(info.shownTarget, c.shown);
    if (c.tag == kTagMountPoint) {
      EXPECT_EQ(info.printName, c.print);
    }
  }
}

TEST(ReparseAsWritten, AppExecLinksWholeAndCutShort) {
  const std::u16string_view package = u"Microsoft.DesktopAppInstaller_8wekyb3d8bbwe";
  const std::u16string_view app = u"Microsoft.DesktopAppInstaller_8wekyb3d8bbwe!winget";
  const std::u16string_view target =
      u"C:\\Program Files\\WindowsApps\\Microsoft.DesktopAppInstaller_1.21.3482.0_x64__"
      u"8wekyb3d8bbwe\\winget.exe";
  const std::vector<uint8_t> data = AppExecData({package, app, target, u"0"});
  // Where the target starts: after the version and two strings with zeros.
  const size_t third = 12 + 2 * (package.size() + 1) + 2 * (app.size() + 1);
  const struct {
    const char* name;
    size_t returned;
    Strings strings;
  } cases[] = {
      {"whole",
       data.size(),
       {std::u16string(package), std::u16string(app), std::u16string(target), u"0"}},
      // A dump that ends in the middle of a string: the data length still
      // counts all four.
      {"cut within the target",
       third + 10,
       {std::u16string(package), std::u16string(app), u"C:\\Pr"}},
      {"cut within a unit of the target",
       third + 11,
       {std::u16string(package), std::u16string(app), u"C:\\Pr"}},
      {"cut before the last string's zero",
       data.size() - 2,
       {std::u16string(package), std::u16string(app), std::u16string(target), u"0"}},
      {"cut after the first string's zero",
       12 + 2 * (package.size() + 1),
       {std::u16string(package)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ReparseInfo info = DecodeReparseData(data, static_cast<uint32_t>(c.returned));
    EXPECT_EQ(info.kind, ReparseKind::kAppExecLink);
    EXPECT_EQ(info.strings, c.strings);
  }
}

TEST(ReparseAsWritten, ACloudFilesPlaceholderIsNamedNotRead) {
  // A placeholder's body (its own header, flags and the provider's blob)
  // holds nothing the report shows.
  ReparseBytes b(64, 0x5A);
  b.Header(0x9000601Au, 56).U16(8, 1).U16(10, 56).U32(12, 0x70527246u);
  const ReparseInfo info = DecodeAll(b.raw());
  EXPECT_EQ(info.tag, 0x9000601Au);
  EXPECT_EQ(info.kind, ReparseKind::kUnsupported);
  EXPECT_TRUE(info.microsoftTag);
  EXPECT_TRUE(info.target.empty());
  EXPECT_TRUE(info.strings.empty());
}

}  // namespace
}  // namespace quorrex
