// The Windows error codes the in-memory machine answers with and the tests
// inject, by their Windows names. Those the program itself names are its
// own (win_error:: in platform/platform.h).
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace quorrex::testing::win {

using win_error::kAccessDenied;
using win_error::kDirNotRoot;
using win_error::kFileNotFound;
using win_error::kInvalidHandle;
using win_error::kInvalidName;
using win_error::kNoSystemResources;
using win_error::kNotAReparsePoint;
using win_error::kNotEnoughMemory;
using win_error::kPathNotFound;
using win_error::kSharingViolation;
using win_error::kTooManyOpenFiles;

inline constexpr uint32_t kInvalidFunction = 1;              // ERROR_INVALID_FUNCTION
inline constexpr uint32_t kNotReady = 21;                    // ERROR_NOT_READY
inline constexpr uint32_t kInvalidParameter = 87;            // ERROR_INVALID_PARAMETER
inline constexpr uint32_t kUnexpNetErr = 59;                 // ERROR_UNEXP_NET_ERR
inline constexpr uint32_t kNetnameDeleted = 64;              // ERROR_NETNAME_DELETED
inline constexpr uint32_t kDiskFull = 112;                   // ERROR_DISK_FULL
inline constexpr uint32_t kSemTimeout = 121;                 // ERROR_SEM_TIMEOUT
inline constexpr uint32_t kNoData = 232;                     // ERROR_NO_DATA: the pipe is closing
inline constexpr uint32_t kNotAllAssigned = 1300;            // ERROR_NOT_ALL_ASSIGNED
inline constexpr uint32_t kCantResolveFilename = 1921;       // ERROR_CANT_RESOLVE_FILENAME
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;  // STATUS_UNSUCCESSFUL

}  // namespace quorrex::testing::win
