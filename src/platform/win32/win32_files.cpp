// The Win32 platform: folder listings, link information and reparse data.
#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>

#include "paths/path_forms.h"
#include "platform/win32/dir_records.h"
#include "platform/win32/link_query.h"
#include "platform/win32/volume_refusals.h"
#include "platform/win32/win32_platform.h"

namespace quorrex::win32 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kFsctlGetReparsePoint = 0x000900A8;
constexpr DWORD kOpenReparsePointItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// FindExInfoBasic and FIND_FIRST_EX_LARGE_FETCH: no short names, bigger
// batches. Systems before them refuse the call with ERROR_INVALID_PARAMETER.
constexpr auto kFindInfoBasic = static_cast<FINDEX_INFO_LEVELS>(1);
constexpr DWORD kFindLargeFetch = 2;

static_assert(kShareAll == 7);
static_assert(kOpenReparsePointItself == 0x02200000);

// FILE_ID_INFO, as GetFileInformationByHandleEx gives it from Windows 8 on.
struct FileIdInformation {
  ULONGLONG volumeSerialNumber;
  BYTE identifier[kFileIndex128Bytes];
};
static_assert(sizeof(FileIdInformation) == 24);
constexpr int kFileIdInfoClass = 18;  // FileIdInfo, from Windows 8 on
// FILE_ATTRIBUTE_TAG_INFO: the attributes of what the handle opened.
struct FileAttributeTagInformation {
  DWORD fileAttributes;
  DWORD reparseTag;
};
constexpr int kFileAttributeTagInfoClass = 9;  // FileAttributeTagInfo
constexpr int kFileStandardInfoClass = 1;

// FILE_STANDARD_INFO: the link count of an open file, in one query.
struct FileStandardInformation {
  LARGE_INTEGER allocationSize;
  LARGE_INTEGER endOfFile;
  DWORD numberOfLinks;
  BOOLEAN deletePending;
  BOOLEAN directory;
};
static_assert(sizeof(FileStandardInformation) == 24);
static_assert(offsetof(FileStandardInformation, numberOfLinks) == 16);
#if _WIN32_WINNT >= 0x0602
static_assert(sizeof(FILE_STANDARD_INFO) == sizeof(FileStandardInformation));
static_assert(offsetof(FILE_STANDARD_INFO, NumberOfLinks) == 16);
static_assert(sizeof(FILE_ID_INFO) == sizeof(FileIdInformation));
static_assert(offsetof(FILE_ID_INFO, FileId) == 8);
#endif

// The directory records by handle, from Vista on; the record layout read by
// dir_records.cpp is the system's.
constexpr int kFileIdBothDirectoryInfo = 10;
constexpr int kFileIdBothDirectoryRestartInfo = 11;
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, NextEntryOffset) == kDirRecordNextOffset);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileAttributes) == kDirRecordAttributes);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength) == kDirRecordNameLength);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileName) == kDirRecordName);
static_assert(alignof(FILE_ID_BOTH_DIR_INFO) == 8);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileId) == kDirRecordFileId);
// From Windows 8 on, the same with the whole 128-bit file ID.
constexpr int kFileIdExtdDirectoryInfo = 19;
constexpr int kFileIdExtdDirectoryRestartInfo = 20;
#if _WIN32_WINNT >= 0x0602
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, NextEntryOffset) == kDirRecordNextOffset);
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, FileAttributes) == kDirRecordAttributes);
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, FileNameLength) == kDirRecordNameLength);
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, FileId) == kExtdRecordFileId);
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, FileName) == kExtdRecordName);
static_assert(alignof(FILE_ID_EXTD_DIR_INFO) == 8);
#endif

// The by-name query of the native API, as ntdll declares it; the headers of
// user-mode programs declare none of this.
struct NtUnicodeString {
  USHORT length;  // in bytes, no terminator
  USHORT maximumLength;
  PWSTR buffer;
};
struct NtObjectAttributes {
  ULONG length;
  HANDLE rootDirectory;
  NtUnicodeString* objectName;
  ULONG attributes;
  PVOID securityDescriptor;
  PVOID securityQualityOfService;
};
struct NtIoStatusBlock {
  union {
    LONG status;
    PVOID pointer;
  };
  ULONG_PTR information;
};
// FILE_STAT_INFORMATION, information class 68 (Windows 10 1709 on).
struct FileStatInformation {
  LARGE_INTEGER fileId;
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  LARGE_INTEGER allocationSize;
  LARGE_INTEGER endOfFile;
  ULONG fileAttributes;
  ULONG reparseTag;
  ULONG numberOfLinks;
  ACCESS_MASK effectiveAccess;
};
constexpr int kFileStatInformation = 68;
constexpr ULONG kObjCaseInsensitive = 0x40;  // as CreateFileW opens
constexpr bool k64Bit = sizeof(void*) == 8;
static_assert(sizeof(NtUnicodeString) == (k64Bit ? 16 : 8));
static_assert(offsetof(NtUnicodeString, buffer) == (k64Bit ? 8 : 4));
static_assert(sizeof(NtObjectAttributes) == (k64Bit ? 48 : 24));
static_assert(offsetof(NtObjectAttributes, rootDirectory) == (k64Bit ? 8 : 4));
static_assert(offsetof(NtObjectAttributes, objectName) == (k64Bit ? 16 : 8));
static_assert(offsetof(NtObjectAttributes, attributes) == (k64Bit ? 24 : 12));
static_assert(offsetof(NtObjectAttributes, securityDescriptor) == (k64Bit ? 32 : 16));
static_assert(offsetof(NtObjectAttributes, securityQualityOfService) == (k64Bit ? 40 : 20));
static_assert(sizeof(NtIoStatusBlock) == (k64Bit ? 16 : 8));
static_assert(offsetof(NtIoStatusBlock, information) == (k64Bit ? 8 : 4));
static_assert(sizeof(FileStatInformation) == 72);
static_assert(offsetof(FileStatInformation, fileAttributes) == 56);
static_assert(offsetof(FileStatInformation, numberOfLinks) == 64);
static_assert(offsetof(FileStatInformation, effectiveAccess) == 68);

using QueryByNameFn = LONG(WINAPI*)(NtObjectAttributes*, NtIoStatusBlock*, PVOID, ULONG, int);
using StatusToErrorFn = ULONG(WINAPI*)(LONG);
using GetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);

// The first build of Windows 10 1709, whose by-name query knows
// FileStatInformation; 1703 has the function and refuses the class.
constexpr DWORD kFirstStatBuild = 16299;

// The native entries, looked up once in ntdll, which every process has
// mapped: no import is added, and a system without one goes without.
struct NativeEntries {
  QueryByNameFn queryByName = nullptr;  // Windows 10 1703 on
  StatusToErrorFn statusToError = nullptr;
  // Windows 8 on: FileIdInfo and the directory records with 128-bit IDs.
  bool wideIds = false;
  // The by-name stat is asked: the function is there and the build knows
  // the class. Decided once, so that no folder pays a refused query for it.
  bool statByName = false;
};
const NativeEntries& Native() {
  static const NativeEntries entries = [] {
    NativeEntries found;
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    found.queryByName = LookUp<QueryByNameFn>(ntdll, "NtQueryInformationByName");
    found.statusToError = LookUp<StatusToErrorFn>(ntdll, "RtlNtStatusToDosError");
    // The true version, whatever the manifest says.
    if (const auto getVersion = LookUp<GetVersionFn>(ntdll, "RtlGetVersion")) {
      OSVERSIONINFOW version{};
      version.dwOSVersionInfoSize = sizeof(version);
      if (getVersion(&version) >= 0) {
        found.wideIds = version.dwMajorVersion > 6 ||
                        (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
        found.statByName = found.queryByName != nullptr && version.dwMajorVersion >= 10 &&
                           version.dwBuildNumber >= kFirstStatBuild;
      }
    }
    return found;
  }();
  return entries;
}

// What each volume has refused this run.
VolumeRefusals refusals;

using GetInfoExFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

// GetFileInformationByHandleEx, looked up once; absent before Vista.
GetInfoExFn GetInfoEx() {
  static const auto getInfoEx =
      LookUp<GetInfoExFn>(::GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx");
  return getInfoEx;
}

// Whether the volume's file IDs take their 128-bit form: from Windows 8 on,
// unless the volume refuses FileIdInfo (FAT, exFAT), where the 64-bit index
// is all there is.
bool WideIdsOn(uint64_t volume) {
  return Native().wideIds && !refusals.Refused(volume, Refusal::kFileIdInfo);
}

// Completes `id` from the 64-bit index of `information` and, where the system
// has it, the whole 128-bit index (ReFS): there the 64-bit index of two files
// may coincide. The volume stays the serial number the older query gives, so
// that files whose wider query fails still meet their links.
void TakeIdentity(HANDLE file, const BY_HANDLE_FILE_INFORMATION& information, FileId& id) {
  id.volume = information.dwVolumeSerialNumber;
  id.index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  id.indexUpper = 0;
  // Asked where the system reports Windows 8 or later, as the directory
  // records with the same wide IDs are, so that a folder's own identity and
  // the one its parent's records give always take the same form. A volume
  // that refused it once is not asked again.
  const GetInfoExFn getInfoEx = GetInfoEx();
  if (getInfoEx == nullptr || !WideIdsOn(id.volume)) return;
  FileIdInformation wide{};
  if (!getInfoEx(file, kFileIdInfoClass, &wide, sizeof(wide))) {
    if (IsRefusalError(LastErrorOf())) refusals.Remember(id.volume, Refusal::kFileIdInfo);
    return;
  }
  const FileIndex128 index = ReadFileIndex128(wide.identifier);
  id.index = index.lower;
  id.indexUpper = index.upper;
}

void TakeEntry(const WIN32_FIND_DATAW& data, FindData& entry) {
  entry.attributes = data.dwFileAttributes;
  // The name is terminated within its array; stop at the array's end anyway.
  std::size_t length = 0;
  constexpr std::size_t kRoom = sizeof(data.cFileName) / sizeof(data.cFileName[0]);
  while (length < kRoom && data.cFileName[length] != L'\0') ++length;
  entry.name.assign(reinterpret_cast<const char16_t*>(data.cFileName), length);
}

// The identity of the folder open as `folder`.
bool FolderIdentity(HANDLE folder, FileId& id) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(folder, &information)) return false;
  TakeIdentity(folder, information, id);
  return true;
}

// A listing that the older search functions give: the fallback where a file
// system does not hand out directory records by handle. The folder is opened
// a second time when its identity is asked.
class FindListing final : public FolderListing {
 public:
  // `search` is INVALID_HANDLE_VALUE for a folder that has no entries.
  FindListing(HANDLE search, const WIN32_FIND_DATAW& first, std::u16string folder)
      : search_(search),
        first_(first),
        firstPending_(search != INVALID_HANDLE_VALUE),
        folder_(std::move(folder)) {}
  ~FindListing() override {
    if (search_ != INVALID_HANDLE_VALUE) ::FindClose(search_);
  }
  FindListing(const FindListing&) = delete;
  FindListing& operator=(const FindListing&) = delete;

  bool Next(FindData& entry) override {
    if (firstPending_) {
      firstPending_ = false;
      TakeEntry(first_, entry);
      return true;
    }
    WIN32_FIND_DATAW data;
    if (search_ == INVALID_HANDLE_VALUE || ended_) return false;
    const WatchedCall watched;
    if (!::FindNextFileW(search_, &data)) {
      // Only ERROR_NO_MORE_FILES is the end of the folder; anything else
      // (a share that dropped, a disk that failed) cut it short.
      ended_ = true;
      endError_ = EndOfListingError(LastErrorOf());
      return false;
    }
    TakeEntry(data, entry);
    return true;
  }
  uint32_t EndError() const override { return endError_; }

  bool Identity(FileId& id) override {
    // Asked only when the walk needs it, and asked of the system only once.
    if (!identityAsked_) {
      const WatchedCall watched;
      identityAsked_ = true;
      identityKnown_ = QueryIdentity(identity_);
    }
    if (identityKnown_) id = identity_;
    return identityKnown_;
  }

 private:
  bool QueryIdentity(FileId& id) const {
    // The folder itself, after following whatever link led to it.
    const HANDLE folder = ::CreateFileW(Wide(UncLongForm(folder_)), 0, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    const bool known = FolderIdentity(folder, id);
    ::CloseHandle(folder);
    return known;
  }

  HANDLE search_;
  WIN32_FIND_DATAW first_;
  bool firstPending_;
  bool ended_ = false;
  uint32_t endError_ = 0;
  std::u16string folder_;
  bool identityAsked_ = false;
  bool identityKnown_ = false;
  FileId identity_;
};

// A listing read from the folder's own handle, batch by batch: one open per
// folder. Its identity is the one its parent's records gave, else it comes
// from the same handle; its files are asked their link counts by name
// relative to the handle.
class RecordListing final : public FolderListing {
 public:
  // `batch` holds the first batch; null for a folder without entries.
  // `identity` is the folder's, where it is already known.
  RecordListing(HANDLE folder, GetInfoExFn getInfoEx, std::unique_ptr<uint64_t[]> batch,
                bool wideRecords, bool listIndexes, const FileId* identity)
      : folder_(folder),
        getInfoEx_(getInfoEx),
        batch_(std::move(batch)),
        ended_(!batch_),
        wideRecords_(wideRecords),
        listIndexes_(listIndexes) {
    if (identity != nullptr) {
      identityAsked_ = true;
      identityKnown_ = true;
      identity_ = *identity;
    }
  }
  ~RecordListing() override { ::CloseHandle(folder_); }
  RecordListing(const RecordListing&) = delete;
  RecordListing& operator=(const RecordListing&) = delete;

  bool Next(FindData& entry) override {
    const DirRecordLayout& layout = wideRecords_ ? kIdExtdRecords : kIdBothRecords;
    while (!ended_) {
      switch (NextDirRecord(Batch(batch_.get()), offset_, entry, layout, listIndexes_)) {
        case DirRecord::kEntry:
          return true;
        case DirRecord::kEnd:
          // The next batch: ERROR_NO_MORE_FILES ends the folder, any other
          // failure cuts it short.
          offset_ = 0;
          if (const WatchedCall watched;
              !Query(getInfoEx_, folder_,
                     wideRecords_ ? kFileIdExtdDirectoryInfo : kFileIdBothDirectoryInfo,
                     batch_.get())) {
            endError_ = EndOfListingError(LastErrorOf());
            End();
          }
          break;
        case DirRecord::kCut:
          // A batch the system filled wrongly: what follows is unknown.
          endError_ = ERROR_INVALID_DATA;
          End();
          break;
      }
    }
    return false;
  }
  uint32_t EndError() const override { return endError_; }

  bool Identity(FileId& id) override {
    if (!identityAsked_) {
      const WatchedCall watched;
      identityAsked_ = true;
      identityKnown_ = FolderIdentity(folder_, identity_);
    }
    if (identityKnown_) id = identity_;
    return identityKnown_;
  }

  HANDLE handle() const { return folder_; }
  // The volume of the folder, once its identity is known.
  bool Volume(uint64_t& volume) const {
    if (!identityKnown_) return false;
    volume = identity_.volume;
    return true;
  }
  // Set once the folder's file system refuses the by-name query, where its
  // volume is not known; used by the one thread that lists the folder.
  bool lacksStat = false;

  // Asks for the next batch of records. The system tells no length: the
  // chain of records ends at the one whose NextEntryOffset is 0. A record
  // that does not fit fails the query (ERROR_MORE_DATA).
  static bool Query(GetInfoExFn getInfoEx, HANDLE folder, int infoClass, uint64_t* batch) {
    return getInfoEx(folder, infoClass, batch, static_cast<DWORD>(kDirBatchBytes)) != 0;
  }

  static std::span<const uint8_t> Batch(const uint64_t* batch) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(batch), kDirBatchBytes);
  }

 private:
  void End() {
    // The handle stays for the identity; the batch room goes at once, as a
    // folder read ahead stays open until the walk has passed it.
    ended_ = true;
    batch_.reset();
  }

  HANDLE folder_;
  GetInfoExFn getInfoEx_;
  std::unique_ptr<uint64_t[]> batch_;  // 8-byte aligned, as the records are
  bool ended_;
  uint32_t endError_ = 0;
  bool wideRecords_;
  bool listIndexes_;
  std::size_t offset_ = 0;
  bool identityAsked_ = false;
  bool identityKnown_ = false;
  FileId identity_;
};

// The link query's system calls on Windows.
class SystemLinkCalls final : public LinkCalls {
 public:
  SystemLinkCalls(const EntryRef& file, HANDLE folder) : file_(file), folder_(folder) {}
  ~SystemLinkCalls() override { Close(); }
  SystemLinkCalls(const SystemLinkCalls&) = delete;
  SystemLinkCalls& operator=(const SystemLinkCalls&) = delete;

  uint32_t StatByName(StatAnswer& answer) override {
    const QueryByNameFn queryByName = Native().queryByName;
    // A name no UNICODE_STRING holds is asked by opening.
    constexpr std::size_t kMaxUnits = 0x7FFF;
    if (queryByName == nullptr || folder_ == nullptr || file_.name.empty() ||
        file_.name.size() > kMaxUnits) {
      return nt_status::kObjectNameInvalid;
    }
    const auto bytes = static_cast<USHORT>(file_.name.size() * sizeof(char16_t));
    NtUnicodeString name{bytes, bytes,
                         const_cast<PWSTR>(reinterpret_cast<const wchar_t*>(file_.name.data()))};
    NtObjectAttributes attributes{sizeof(NtObjectAttributes), folder_, &name,
                                  kObjCaseInsensitive,        nullptr, nullptr};
    NtIoStatusBlock io{};
    FileStatInformation stat{};
    const LONG status = queryByName(&attributes, &io, &stat, sizeof(stat), kFileStatInformation);
    // Warnings (0x8...) count as failures: the record is whole only on
    // success.
    if (status < 0 || (static_cast<ULONG>(status) >> 30) != 0) return static_cast<uint32_t>(status);
    answer.index = static_cast<uint64_t>(stat.fileId.QuadPart);
    answer.attributes = stat.fileAttributes;
    answer.links = stat.numberOfLinks;
    return nt_status::kSuccess;
  }

  uint32_t Open() override {
    // No data access: the link count and identity need none, and a file
    // opened for reading by someone else stays reachable. With backup
    // intent, as the listing opens its folder: once the backup privilege is
    // enabled, a file whose ACL denies reading its attributes opens all the
    // same (the flag changes nothing else for a file).
    const std::u16string path = UncLongForm(file_.path);
    fileHandle_ = ::CreateFileW(Wide(path), 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return fileHandle_ == INVALID_HANDLE_VALUE ? LastErrorOf() : 0;
  }

  uint32_t QueryLinks(uint32_t& links) override {
    if (const GetInfoExFn getInfoEx = GetInfoEx()) {
      FileStandardInformation standard{};
      if (!getInfoEx(fileHandle_, kFileStandardInfoClass, &standard, sizeof(standard))) {
        return LastErrorOf();
      }
      links = standard.numberOfLinks;
      return 0;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(fileHandle_, &information)) return LastErrorOf();
    links = information.nNumberOfLinks;
    return 0;
  }

  uint32_t QueryIndex(uint64_t& volume, uint64_t& index) override {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(fileHandle_, &information)) return LastErrorOf();
    volume = information.dwVolumeSerialNumber;
    index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return 0;
  }

  bool QueryWideIndex(uint64_t& lower, uint64_t& upper) override {
    const GetInfoExFn getInfoEx = GetInfoEx();
    if (getInfoEx == nullptr || !Native().wideIds) return false;
    FileIdInformation wide{};
    if (!getInfoEx(fileHandle_, kFileIdInfoClass, &wide, sizeof(wide))) return false;
    const FileIndex128 index = ReadFileIndex128(wide.identifier);
    lower = index.lower;
    upper = index.upper;
    return true;
  }

  void Close() override {
    if (fileHandle_ != INVALID_HANDLE_VALUE) ::CloseHandle(fileHandle_);
    fileHandle_ = INVALID_HANDLE_VALUE;
  }

  uint32_t ErrorOf(uint32_t status) override {
    const StatusToErrorFn statusToError = Native().statusToError;
    const uint32_t error = statusToError != nullptr
                               ? static_cast<uint32_t>(statusToError(static_cast<LONG>(status)))
                               : WinErrorOfStatus(status);
    return error != 0 ? error : WinErrorOfStatus(status);
  }

 private:
  const EntryRef& file_;
  HANDLE folder_;
  HANDLE fileHandle_ = INVALID_HANDLE_VALUE;
};

// The older listing of `mask`, whose outcome is the walk's on file systems
// that give no directory records, and for folders that cannot be opened.
// The search follows a link at the folder's name: a folder its parent listed
// as a plain one, with an identity, must still have that identity.
std::unique_ptr<FolderListing> OpenFindListing(const std::u16string& mask,
                                               const std::u16string& folder,
                                               const FileId* listedIdentity, uint32_t& error) {
  WIN32_FIND_DATAW data{};
  const std::u16string longMask = UncLongForm(mask);
  HANDLE search = ::FindFirstFileExW(Wide(longMask), kFindInfoBasic, &data, FindExSearchNameMatch,
                                     nullptr, kFindLargeFetch);
  if (search == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    search = ::FindFirstFileW(Wide(longMask), &data);
  }
  if (search == INVALID_HANDLE_VALUE) {
    error = LastErrorOf();
    // A folder without a single entry (the root of an empty volume) is
    // listed as empty, not reported as an error.
    if (!FindFailureMeansEmpty(error, ::GetFileAttributesW(Wide(UncLongForm(folder))))) {
      return nullptr;
    }
  }
  auto listing = std::make_unique<FindListing>(search, data, folder);
  FileId found;
  if (listedIdentity != nullptr && listing->Identity(found) && IsKnownFileId(found) &&
      found != *listedIdentity) {
    error = ERROR_PATH_NOT_FOUND;  // another folder now has its name
    return nullptr;
  }
  return listing;
}

// The "." record among the first records of `batch`; false where there is
// none.
bool FindDotRecord(const uint64_t* batch, const DirRecordLayout& layout, bool listIndexes,
                   FindData& dot) {
  if (batch == nullptr) return false;
  std::size_t offset = 0;
  for (int record = 0; record < 2; ++record) {
    if (NextDirRecord(RecordListing::Batch(batch), offset, dot, layout, listIndexes) !=
        DirRecord::kEntry) {
      return false;
    }
    if (dot.name == u".") return true;
  }
  return false;
}

// Whether the folder open as `handle`, listed by its parent as the plain
// folder `listed`, is still that folder (see StillTheListedFolder in
// dir_records.h): its "." record says so without a call; else the handle
// is asked whether a link or a file has its name now, and, on a volume whose
// records and handles are known to give the same IDs, whether it is
// another folder.
bool StillListed(HANDLE handle, GetInfoExFn getInfoEx, const FindData* dot, const FileId& listed) {
  OpenFolderQueries ask;
  ask.attributes = [&]() -> uint32_t {
    FileAttributeTagInformation tag{};
    if (!getInfoEx(handle, kFileAttributeTagInfoClass, &tag, sizeof(tag))) {
      return kInvalidFileAttributes;
    }
    return tag.fileAttributes;
  };
  ask.identity = [&](FileId& own) { return FolderIdentity(handle, own); };
  return StillTheListedFolder(dot, listed,
                              refusals.Refused(listed.volume, Refusal::kRecordIdsAgree), ask);
}

}  // namespace

std::unique_ptr<FolderListing> Win32Platform::OpenListing(const std::u16string& mask,
                                                          const EntryRef& folderRef,
                                                          uint32_t& error) {
  const WatchedCall watched;
  // The folder is the mask without its "*"; its trailing backslash stays, so
  // that a drive's root names the root folder and not the volume.
  std::u16string folder = mask;
  if (!folder.empty() && folder.back() == u'*') folder.pop_back();
  // A folder its parent listed as a plain one, with its identity.
  const bool plain = folderRef.attributes != kInvalidFileAttributes &&
                     (folderRef.attributes & kAttrReparsePoint) == 0;
  const FileId* listed = plain ? folderRef.listedIdentity : nullptr;
  const GetInfoExFn getInfoEx = GetInfoEx();
  if (getInfoEx == nullptr) return OpenFindListing(mask, folder, listed, error);

  // The batch room first: nothing after the open may fail but the system.
  auto batch = std::make_unique<uint64_t[]>(kDirBatchBytes / sizeof(uint64_t));
  // Opened as the search opens it: for listing, with backup intent (which
  // passes the checks the backup privilege passes, once it is enabled, and
  // no others) and sharing everything. A folder listed as a plain one is
  // opened itself, never what a link put at its name since leads to. A
  // folder that does not open is left to the search, so that the error
  // printed is the search's own.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (plain ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE handle =
      ::CreateFileW(Wide(UncLongForm(folder)), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFindListing(mask, folder, listed, error);
  // The volume, for what it has refused before: a listed folder is on its
  // parent's; any other is asked its identity now, which the walk asks for
  // anyway.
  FileId own;
  const FileId* identity = folderRef.listedIdentity;
  if (identity == nullptr && FolderIdentity(handle, own)) identity = &own;
  const bool volumeKnown = identity != nullptr;
  const uint64_t volume = volumeKnown ? identity->volume : 0;
  // From Windows 8 on, the records with the whole 128-bit file ID, the form
  // the identity of an open folder takes there; a file system without them
  // (FAT, older servers and drivers) gives the older records, whose 64-bit
  // IDs are the form identities take where FileIdInfo is refused too. Where
  // the records' IDs are not the form the folder's own identity takes, the
  // subfolders ask their own.
  const bool wideIds = Native().wideIds;
  bool wideRecords = wideIds && !(volumeKnown && refusals.Refused(volume, Refusal::kWideRecords));
  bool queried = false;
  uint32_t firstError = 0;
  if (wideRecords) {
    queried = RecordListing::Query(getInfoEx, handle, kFileIdExtdDirectoryRestartInfo, batch.get());
    firstError = queried ? 0 : LastErrorOf();
    if (AfterFirstQuery(queried, firstError) == FirstBatch::kFallBack) {
      wideRecords = false;
      if (volumeKnown && IsRefusalError(firstError)) {
        refusals.Remember(volume, Refusal::kWideRecords);
      }
    }
  }
  if (!wideRecords) {
    queried = RecordListing::Query(getInfoEx, handle, kFileIdBothDirectoryRestartInfo, batch.get());
    firstError = queried ? 0 : LastErrorOf();
  }
  const bool listIndexes = wideRecords || (volumeKnown ? !WideIdsOn(volume) : !wideIds);
  const FirstBatch first = AfterFirstQuery(queried, firstError);
  FindData dot;
  const bool dotFound =
      first == FirstBatch::kEntries &&
      FindDotRecord(batch.get(), wideRecords ? kIdExtdRecords : kIdBothRecords, listIndexes, dot);
  // A folder asked its identity by its handle teaches whether the volume's
  // records give the IDs its handles give.
  if (first != FirstBatch::kFallBack && identity == &own && dotFound && DotRecordNames(dot, own)) {
    refusals.Remember(own.volume, Refusal::kRecordIdsAgree);
  }
  if (first != FirstBatch::kFallBack && listed != nullptr &&
      !StillListed(handle, getInfoEx, dotFound ? &dot : nullptr, *listed)) {
    ::CloseHandle(handle);
    error = ERROR_PATH_NOT_FOUND;  // a link, a file or another folder now has its name
    return nullptr;
  }
  std::unique_ptr<RecordListing> listing;
  switch (first) {
    case FirstBatch::kEntries:
      listing = std::make_unique<RecordListing>(handle, getInfoEx, std::move(batch), wideRecords,
                                                listIndexes, identity);
      break;
    case FirstBatch::kEmpty:
      listing = std::make_unique<RecordListing>(handle, getInfoEx, nullptr, wideRecords,
                                                listIndexes, identity);
      break;
    case FirstBatch::kFallBack:
      ::CloseHandle(handle);
      return OpenFindListing(mask, folder, listed, error);
  }
  return listing;
}

bool Win32Platform::QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) {
  const WatchedCall watched;
  // By name relative to the open folder where the listing has its handle
  // (the older search gives none), else by opening the file.
  auto* listing = dynamic_cast<RecordListing*>(file.parent);
  LinkQueryPlace place;
  place.statByName = listing != nullptr && Native().statByName;
  place.refusals = &refusals;
  place.listedId = file.listedIdentity;
  if (listing != nullptr) {
    place.folderLacksStat = &listing->lacksStat;
    place.volumeKnown = listing->Volume(place.volume);
  }
  SystemLinkCalls calls(file, listing != nullptr ? listing->handle() : nullptr);
  return QueryLink(calls, place, info, error);
}

ReparseRead Win32Platform::ReadReparseData(const std::u16string& openName,
                                           const EntryRef& /*entry*/, std::span<uint8_t> buffer) {
  const WatchedCall watched;
  ReparseRead result;
  // The reparse point itself, never what it points to. Reading its reparse
  // data takes no data access: asking for none but the attributes reaches
  // points whose data is denied (the compatibility junctions of a profile)
  // and files others hold open without read sharing.
  const HANDLE handle = ::CreateFileW(Wide(UncLongForm(openName)), FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, kOpenReparsePointItself, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.stage = ReparseRead::Stage::kOpenFailed;
    result.error = LastErrorOf();
    return result;
  }
  constexpr std::size_t kMaxLength = std::numeric_limits<DWORD>::max();
  const DWORD length = static_cast<DWORD>(buffer.size() < kMaxLength ? buffer.size() : kMaxLength);
  DWORD returned = 0;
  const bool read = ::DeviceIoControl(handle, kFsctlGetReparsePoint, nullptr, 0, buffer.data(),
                                      length, &returned, nullptr) != 0;
  const uint32_t error = read ? 0 : LastErrorOf();
  ::CloseHandle(handle);
  if (!read) {
    result.stage = ReparseRead::Stage::kQueryFailed;
    result.error = error;
    return result;
  }
  result.stage = ReparseRead::Stage::kRead;
  // The system never reports more than it was given room for; keep it so.
  result.bytesReturned = returned <= length ? returned : length;
  return result;
}

}  // namespace quorrex::win32
