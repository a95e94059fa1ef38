#include "platform/posix/errno_map.h"

#include <cerrno>

#include "platform/platform.h"

namespace quorrex {
namespace {

#ifdef __APPLE__
// The error names are keyed by the Linux numbers. The BSD numbers agree with
// Linux up to ERANGE (34) except for EAGAIN/EDEADLK; the rest that a walk can
// meet are translated here, and any other one passes through unchanged.
int LinuxErrno(int err) {
  switch (err) {
    case EAGAIN:
      return 11;
    case EDEADLK:
      return 35;
    case ENOTEMPTY:
      return 39;
    case ENOSYS:
      return 38;
    case ENOTSUP:
      return 95;
    case EOVERFLOW:
      return 75;
    case EILSEQ:
      return 84;
    case ETIMEDOUT:
      return 110;
    case ESTALE:
      return 116;
    case EDQUOT:
      return 122;
    case ECANCELED:
      return 125;
    case EINPROGRESS:
      return 115;
    case EALREADY:
      return 114;
    case ENOTCONN:
      return 107;
    case ECONNRESET:
      return 104;
    case EHOSTDOWN:
      return 112;
    case EHOSTUNREACH:
      return 113;
    case ENETDOWN:
      return 100;
    case ENETUNREACH:
      return 101;
    case EBADMSG:
      return 74;
#ifdef EINTEGRITY
    case EINTEGRITY:
      return 117;  // closest: EUCLEAN
#endif
    default:
      return err;
  }
}
#else
int LinuxErrno(int err) {
  return err;
}
#endif

}  // namespace

uint32_t WinErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return win_error::kSuccess;
    case EPERM:
    case EACCES:
      return win_error::kAccessDenied;
    case ENOENT:
      return win_error::kFileNotFound;
    case ENOTDIR:
      return win_error::kPathNotFound;
    case ENAMETOOLONG:
      return win_error::kFilenameExcedRange;
    case ELOOP:
      return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    case EIO:
      return 1117;  // ERROR_IO_DEVICE
    case EBUSY:
    case ETXTBSY:
      return win_error::kSharingViolation;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case EROFS:
      return 19;  // ERROR_WRITE_PROTECT
    case ENXIO:
    case ENODEV:
      return 55;  // ERROR_DEV_NOT_EXIST
    case EEXIST:
      return 183;  // ERROR_ALREADY_EXISTS
    case ENOMEM:
      return 1450;  // ERROR_NO_SYSTEM_RESOURCES
    case EBADF:
      return win_error::kInvalidHandle;
    case ENOSYS:
      return 1;  // ERROR_INVALID_FUNCTION
#ifdef ENOMEDIUM
    case ENOMEDIUM:
      return 1112;  // ERROR_NO_MEDIA_IN_DRIVE
#endif
#ifdef EUCLEAN
    case EUCLEAN:
      return 1392;  // ERROR_FILE_CORRUPT (EFSCORRUPTED)
#endif
    default:
      break;
  }
  return win_error::kPosixErrnoBase | (static_cast<uint32_t>(LinuxErrno(err)) & 0xFFFFu);
}

}  // namespace quorrex
