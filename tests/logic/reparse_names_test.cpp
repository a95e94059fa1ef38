#include "scan/reparse_names.h"
#include "platform/error_names.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace quorrex {
namespace {

TEST(ReparseTagName, ListedTags) {
  EXPECT_EQ(ReparseTagName(0x9000701Au), "IO_REPARSE_TAG_CLOUD_7");
  EXPECT_EQ(ReparseTagName(0x0000F000u), "IO_REPARSE_TAG_CLOUD_MASK");
  EXPECT_EQ(ReparseTagName(0x80000006u), "IO_REPARSE_TAG_HSM2");
  EXPECT_EQ(ReparseTagName(0x9000A01Au), "IO_REPARSE_TAG_CLOUD_A");
  EXPECT_EQ(ReparseTagName(0xC0000004u), "IO_REPARSE_TAG_HSM");
}

TEST(ReparseTagName, UnlistedTagsAsHex) {
  EXPECT_EQ(ReparseTagName(0), "0x00000000");
  EXPECT_EQ(ReparseTagName(0xFFFFFFFFu), "0xFFFFFFFF");
  // One bit away from listed tags: no masks, no ranges.
  EXPECT_EQ(ReparseTagName(0x9000701Bu), "0x9000701B");
  EXPECT_EQ(ReparseTagName(0x1000001Cu), "0x1000001C");
  EXPECT_EQ(ReparseTagName(0x8000F000u), "0x8000F000");
  EXPECT_EQ(ReparseTagName(0xAB), "0x000000AB");
}

TEST(SystemErrorName, ListedCodes) {
  EXPECT_EQ(SystemErrorName(1), "INVALID_FUNCTION");
  EXPECT_EQ(SystemErrorName(2), "FILE_NOT_FOUND");
  EXPECT_EQ(SystemErrorName(23), "CRC");
  EXPECT_EQ(SystemErrorName(144), "ERROR_DIR_NOT_ROOT");
  EXPECT_EQ(SystemErrorName(183), "ERROR_ALREADY_EXISTS");
  EXPECT_EQ(SystemErrorName(1921), "CANT_RESOLVE_FILENAME");
}

TEST(SystemErrorName, UnlistedCodesAsUnsignedDecimal) {
  EXPECT_EQ(SystemErrorName(0), "0");
  EXPECT_EQ(SystemErrorName(4), "4");
  EXPECT_EQ(SystemErrorName(4390), "4390");
  EXPECT_EQ(SystemErrorName(0xFFFFFFFFu), "4294967295");
  EXPECT_EQ(SystemErrorName(win_error::kPosixErrnoBase - 1), "3758096383");
  EXPECT_EQ(SystemErrorName(win_error::kPosixErrnoBase + 0x10000), "3758161920");
}

TEST(SystemErrorName, PosixErrnoCodes) {
  const uint32_t base = win_error::kPosixErrnoBase;
  EXPECT_EQ(SystemErrorName(base + 1), "EPERM");
  EXPECT_EQ(SystemErrorName(base + 18), "EXDEV");
  EXPECT_EQ(SystemErrorName(base + 75), "EOVERFLOW");
  EXPECT_EQ(SystemErrorName(base + 116), "ESTALE");
  EXPECT_EQ(SystemErrorName(base + 133), "EHWPOISON");
  // Numbers the table leaves out (41 and 58 are aliases elsewhere).
  EXPECT_EQ(SystemErrorName(base + 41), "errno 41");
  EXPECT_EQ(SystemErrorName(base + 134), "errno 134");
  EXPECT_EQ(SystemErrorName(base + 0), "errno 0");
  EXPECT_EQ(SystemErrorName(base + 0xFFFF), "errno 65535");
}

}  // namespace
}  // namespace quorrex
