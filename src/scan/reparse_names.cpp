#include "scan/reparse_names.h"

#include <cstdio>

#include "platform/platform.h"

namespace quorrex {
namespace {

struct NameRow {
  uint32_t value;
  const char* name;
};

template <size_t N>
const char* FindName(const NameRow (&table)[N], uint32_t value) {
  for (const NameRow& row : table) {
    if (row.value == value) return row.name;
  }
  return nullptr;
}

constexpr NameRow kTagNames[] = {
    {0x0000F000u, "IO_REPARSE_TAG_CLOUD_MASK"},    {0x80000006u, "IO_REPARSE_TAG_HSM2"},
    {0x80000007u, "IO_REPARSE_TAG_SIS"},           {0x80000008u, "IO_REPARSE_TAG_WIM"},
    {0x80000009u, "IO_REPARSE_TAG_CSV"},           {0x8000000Au, "IO_REPARSE_TAG_DFS"},
    {0x80000012u, "IO_REPARSE_TAG_DFSR"},          {0x80000013u, "IO_REPARSE_TAG_DEDUP"},
    {0x80000014u, "IO_REPARSE_TAG_NFS"},           {0x80000015u, "IO_REPARSE_TAG_FILE_PLACEHOLDER"},
    {0x80000017u, "IO_REPARSE_TAG_WOF"},           {0x80000018u, "IO_REPARSE_TAG_WCI"},
    {0x8000001Bu, "IO_REPARSE_TAG_APPEXECLINK"},   {0x8000001Eu, "IO_REPARSE_TAG_STORAGE_SYNC"},
    {0x80000020u, "IO_REPARSE_TAG_UNHANDLED"},     {0x80000021u, "IO_REPARSE_TAG_ONEDRIVE"},
    {0x80000023u, "IO_REPARSE_TAG_AF_UNIX"},       {0x9000001Au, "IO_REPARSE_TAG_CLOUD"},
    {0x9000001Cu, "IO_REPARSE_TAG_PROJFS"},        {0x90001018u, "IO_REPARSE_TAG_WCI_1"},
    {0x9000101Au, "IO_REPARSE_TAG_CLOUD_1"},       {0x9000201Au, "IO_REPARSE_TAG_CLOUD_2"},
    {0x9000301Au, "IO_REPARSE_TAG_CLOUD_3"},       {0x9000401Au, "IO_REPARSE_TAG_CLOUD_4"},
    {0x9000501Au, "IO_REPARSE_TAG_CLOUD_5"},       {0x9000601Au, "IO_REPARSE_TAG_CLOUD_6"},
    {0x9000701Au, "IO_REPARSE_TAG_CLOUD_7"},       {0x9000801Au, "IO_REPARSE_TAG_CLOUD_8"},
    {0x9000901Au, "IO_REPARSE_TAG_CLOUD_9"},       {0x9000A01Au, "IO_REPARSE_TAG_CLOUD_A"},
    {0x9000B01Au, "IO_REPARSE_TAG_CLOUD_B"},       {0x9000C01Au, "IO_REPARSE_TAG_CLOUD_C"},
    {0x9000D01Au, "IO_REPARSE_TAG_CLOUD_D"},       {0x9000E01Au, "IO_REPARSE_TAG_CLOUD_E"},
    {0x9000F01Au, "IO_REPARSE_TAG_CLOUD_F"},       {0xA0000003u, "IO_REPARSE_TAG_MOUNT_POINT"},
    {0xA000000Cu, "IO_REPARSE_TAG_SYMLINK"},       {0xA0000019u, "IO_REPARSE_TAG_GLOBAL_REPARSE"},
    {0xA000001Fu, "IO_REPARSE_TAG_WCI_TOMBSTONE"}, {0xA0000022u, "IO_REPARSE_TAG_PROJFS_TOMBSTONE"},
    {0xA0000027u, "IO_REPARSE_TAG_WCI_LINK"},      {0xA0001027u, "IO_REPARSE_TAG_WCI_LINK_1"},
    {0xC0000004u, "IO_REPARSE_TAG_HSM"},
};

// Most names drop the ERROR_ prefix; those of 144 and 183 keep it.
constexpr NameRow kErrorNames[] = {
    {1, "INVALID_FUNCTION"},
    {2, "FILE_NOT_FOUND"},
    {3, "PATH_NOT_FOUND"},
    {5, "ACCESS_DENIED"},
    {6, "INVALID_HANDLE"},
    {19, "WRITE_PROTECT"},
    {21, "NOT_READY"},
    {23, "CRC"},
    {27, "SECTOR_NOT_FOUND"},
    {31, "GEN_FAILURE"},
    {32, "SHARING_VIOLATION"},
    {33, "LOCK_VIOLATION"},
    {34, "WRONG_DISK"},
    {38, "HANDLE_EOF"},
    {39, "HANDLE_DISK_FULL"},
    {53, "BAD_NETPATH"},
    {54, "NETWORK_BUSY"},
    {55, "DEV_NOT_EXIST"},
    {64, "NETNAME_DELETED"},
    {109, "BROKEN_PIPE"},
    {112, "DISK_FULL"},
    {121, "SEM_TIMEOUT"},
    {123, "INVALID_NAME"},
    {144, "ERROR_DIR_NOT_ROOT"},
    {183, "ERROR_ALREADY_EXISTS"},
    {206, "FILENAME_EXCED_RANGE"},
    {232, "NO_DATA"},
    {433, "NO_SUCH_DEVICE"},
    {483, "DEVICE_HARDWARE_ERROR"},
    {665, "FILE_SYSTEM_LIMITATION"},
    {1006, "FILE_INVALID"},
    {1110, "MEDIA_CHANGED"},
    {1112, "NO_MEDIA_IN_DRIVE"},
    {1117, "IO_DEVICE"},
    {1127, "DISK_OPERATION_FAILED"},
    {1128, "DISK_RESET_FAILED"},
    {1392, "FILE_CORRUPT"},
    {1450, "NO_SYSTEM_RESOURCES"},
    {1920, "CANT_ACCESS_FILE"},
    {1921, "CANT_RESOLVE_FILENAME"},
};

// Linux errno numbers (the generic numbering of x86, ARM and most other
// ports), written out here so that the table builds on every system. Where
// two names share a number the usual one is listed.
constexpr NameRow kErrnoNames[] = {
    {1, "EPERM"},
    {2, "ENOENT"},
    {3, "ESRCH"},
    {4, "EINTR"},
    {5, "EIO"},
    {6, "ENXIO"},
    {7, "E2BIG"},
    {8, "ENOEXEC"},
    {9, "EBADF"},
    {10, "ECHILD"},
    {11, "EAGAIN"},
    {12, "ENOMEM"},
    {13, "EACCES"},
    {14, "EFAULT"},
    {15, "ENOTBLK"},
    {16, "EBUSY"},
    {17, "EEXIST"},
    {18, "EXDEV"},
    {19, "ENODEV"},
    {20, "ENOTDIR"},
    {21, "EISDIR"},
    {22, "EINVAL"},
    {23, "ENFILE"},
    {24, "EMFILE"},
    {25, "ENOTTY"},
    {26, "ETXTBSY"},
    {27, "EFBIG"},
    {28, "ENOSPC"},
    {29, "ESPIPE"},
    {30, "EROFS"},
    {31, "EMLINK"},
    {32, "EPIPE"},
    {33, "EDOM"},
    {34, "ERANGE"},
    {35, "EDEADLK"},
    {36, "ENAMETOOLONG"},
    {37, "ENOLCK"},
    {38, "ENOSYS"},
    {39, "ENOTEMPTY"},
    {40, "ELOOP"},
    {42, "ENOMSG"},
    {43, "EIDRM"},
    {44, "ECHRNG"},
    {45, "EL2NSYNC"},
    {46, "EL3HLT"},
    {47, "EL3RST"},
    {48, "ELNRNG"},
    {49, "EUNATCH"},
    {50, "ENOCSI"},
    {51, "EL2HLT"},
    {52, "EBADE"},
    {53, "EBADR"},
    {54, "EXFULL"},
    {55, "ENOANO"},
    {56, "EBADRQC"},
    {57, "EBADSLT"},
    {59, "EBFONT"},
    {60, "ENOSTR"},
    {61, "ENODATA"},
    {62, "ETIME"},
    {63, "ENOSR"},
    {64, "ENONET"},
    {65, "ENOPKG"},
    {66, "EREMOTE"},
    {67, "ENOLINK"},
    {68, "EADV"},
    {69, "ESRMNT"},
    {70, "ECOMM"},
    {71, "EPROTO"},
    {72, "EMULTIHOP"},
    {73, "EDOTDOT"},
    {74, "EBADMSG"},
    {75, "EOVERFLOW"},
    {76, "ENOTUNIQ"},
    {77, "EBADFD"},
    {78, "EREMCHG"},
    {79, "ELIBACC"},
    {80, "ELIBBAD"},
    {81, "ELIBSCN"},
    {82, "ELIBMAX"},
    {83, "ELIBEXEC"},
    {84, "EILSEQ"},
    {85, "ERESTART"},
    {86, "ESTRPIPE"},
    {87, "EUSERS"},
    {88, "ENOTSOCK"},
    {89, "EDESTADDRREQ"},
    {90, "EMSGSIZE"},
    {91, "EPROTOTYPE"},
    {92, "ENOPROTOOPT"},
    {93, "EPROTONOSUPPORT"},
    {94, "ESOCKTNOSUPPORT"},
    {95, "EOPNOTSUPP"},
    {96, "EPFNOSUPPORT"},
    {97, "EAFNOSUPPORT"},
    {98, "EADDRINUSE"},
    {99, "EADDRNOTAVAIL"},
    {100, "ENETDOWN"},
    {101, "ENETUNREACH"},
    {102, "ENETRESET"},
    {103, "ECONNABORTED"},
    {104, "ECONNRESET"},
    {105, "ENOBUFS"},
    {106, "EISCONN"},
    {107, "ENOTCONN"},
    {108, "ESHUTDOWN"},
    {109, "ETOOMANYREFS"},
    {110, "ETIMEDOUT"},
    {111, "ECONNREFUSED"},
    {112, "EHOSTDOWN"},
    {113, "EHOSTUNREACH"},
    {114, "EALREADY"},
    {115, "EINPROGRESS"},
    {116, "ESTALE"},
    {117, "EUCLEAN"},
    {118, "ENOTNAM"},
    {119, "ENAVAIL"},
    {120, "EISNAM"},
    {121, "EREMOTEIO"},
    {122, "EDQUOT"},
    {123, "ENOMEDIUM"},
    {124, "EMEDIUMTYPE"},
    {125, "ECANCELED"},
    {126, "ENOKEY"},
    {127, "EKEYEXPIRED"},
    {128, "EKEYREVOKED"},
    {129, "EKEYREJECTED"},
    {130, "EOWNERDEAD"},
    {131, "ENOTRECOVERABLE"},
    {132, "ERFKILL"},
    {133, "EHWPOISON"},
};

constexpr uint32_t kErrnoMask = 0xFFFFu;

}  // namespace

std::string ReparseTagName(uint32_t tag) {
  if (const char* name = FindName(kTagNames, tag)) return name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(tag));
  return text;
}

std::string SystemErrorName(uint32_t code) {
  if (const char* name = FindName(kErrorNames, code)) return name;
  char text[24];
  if (code >= win_error::kPosixErrnoBase && code - win_error::kPosixErrnoBase <= kErrnoMask) {
    const uint32_t errnoValue = code & kErrnoMask;
    if (const char* name = FindName(kErrnoNames, errnoValue)) return name;
    std::snprintf(text, sizeof text, "errno %u", static_cast<unsigned>(errnoValue));
    return text;
  }
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(code));
  return text;
}

}  // namespace quorrex
