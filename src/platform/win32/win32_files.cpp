// The Win32 platform: folder listings, link information and reparse data.
#include <cstddef>
#include <limits>
#include <memory>
#include <span>

#include "paths/path_forms.h"
#include "platform/win32/dir_records.h"
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

// The directory records by handle, from Vista on; the record layout read by
// dir_records.cpp is the system's.
constexpr int kFileIdBothDirectoryInfo = 10;
constexpr int kFileIdBothDirectoryRestartInfo = 11;
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, NextEntryOffset) == kDirRecordNextOffset);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileAttributes) == kDirRecordAttributes);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileNameLength) == kDirRecordNameLength);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileName) == kDirRecordName);
static_assert(alignof(FILE_ID_BOTH_DIR_INFO) == 8);

using GetInfoExFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

// GetFileInformationByHandleEx, looked up once; absent before Vista.
GetInfoExFn GetInfoEx() {
  static const auto getInfoEx =
      LookUp<GetInfoExFn>(::GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx");
  return getInfoEx;
}

// Completes `id` from the 64-bit index of `information` and, where the system
// has it, the whole 128-bit index (ReFS): there the 64-bit index of two files
// may coincide. The volume stays the serial number the older query gives, so
// that files whose wider query fails still meet their links.
void TakeIdentity(HANDLE file, const BY_HANDLE_FILE_INFORMATION& information, FileId& id) {
  id.volume = information.dwVolumeSerialNumber;
  id.index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  id.indexUpper = 0;
  const GetInfoExFn getInfoEx = GetInfoEx();
  if (getInfoEx == nullptr) return;
  FileIdInformation wide{};
  if (!getInfoEx(file, kFileIdInfoClass, &wide, sizeof(wide))) return;
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
    if (search_ == INVALID_HANDLE_VALUE || !::FindNextFileW(search_, &data)) return false;
    TakeEntry(data, entry);
    return true;
  }

  bool Identity(FileId& id) override {
    // Asked only when the walk needs it, and asked of the system only once.
    if (!identityAsked_) {
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
  std::u16string folder_;
  bool identityAsked_ = false;
  bool identityKnown_ = false;
  FileId identity_;
};

// A listing read from the folder's own handle, batch by batch: one open per
// folder, and the identity comes from the same handle.
class RecordListing final : public FolderListing {
 public:
  // `batch` holds the first batch; null for a folder without entries.
  RecordListing(HANDLE folder, GetInfoExFn getInfoEx, std::unique_ptr<uint64_t[]> batch)
      : folder_(folder), getInfoEx_(getInfoEx), batch_(std::move(batch)), ended_(!batch_) {}
  ~RecordListing() override { ::CloseHandle(folder_); }
  RecordListing(const RecordListing&) = delete;
  RecordListing& operator=(const RecordListing&) = delete;

  bool Next(FindData& entry) override {
    while (!ended_) {
      switch (NextDirRecord(Batch(batch_.get()), offset_, entry)) {
        case DirRecord::kEntry:
          return true;
        case DirRecord::kEnd:
          // The end of the folder, or a failure: alike, as for a search.
          offset_ = 0;
          if (!Query(getInfoEx_, folder_, kFileIdBothDirectoryInfo, batch_.get())) End();
          break;
        case DirRecord::kCut:
          End();
          break;
      }
    }
    return false;
  }

  bool Identity(FileId& id) override {
    if (!identityAsked_) {
      identityAsked_ = true;
      identityKnown_ = FolderIdentity(folder_, identity_);
    }
    if (identityKnown_) id = identity_;
    return identityKnown_;
  }

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
  std::size_t offset_ = 0;
  bool identityAsked_ = false;
  bool identityKnown_ = false;
  FileId identity_;
};

// The older listing of `mask`, whose outcome is the walk's on file systems
// that give no directory records, and for folders that cannot be opened.
std::unique_ptr<FolderListing> OpenFindListing(const std::u16string& mask,
                                               const std::u16string& folder, uint32_t& error) {
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
  return std::make_unique<FindListing>(search, data, folder);
}

}  // namespace

std::unique_ptr<FolderListing> Win32Platform::OpenListing(const std::u16string& mask,
                                                          const EntryRef& /*folder*/,
                                                          uint32_t& error) {
  // The folder is the mask without its "*"; its trailing backslash stays, so
  // that a drive's root names the root folder and not the volume.
  std::u16string folder = mask;
  if (!folder.empty() && folder.back() == u'*') folder.pop_back();
  const GetInfoExFn getInfoEx = GetInfoEx();
  if (getInfoEx == nullptr) return OpenFindListing(mask, folder, error);

  // The batch room first: nothing after the open may fail but the system.
  auto batch = std::make_unique<uint64_t[]>(kDirBatchBytes / sizeof(uint64_t));
  // Opened as the search opens it: for listing, with backup intent (which
  // passes the checks the backup privilege passes, once it is enabled, and
  // no others) and sharing everything. A folder that does not open is left
  // to the search, so that the error printed is the search's own.
  const HANDLE handle =
      ::CreateFileW(Wide(UncLongForm(folder)), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFindListing(mask, folder, error);
  const bool queried =
      RecordListing::Query(getInfoEx, handle, kFileIdBothDirectoryRestartInfo, batch.get());
  switch (AfterFirstQuery(queried, queried ? 0 : LastErrorOf())) {
    case FirstBatch::kEntries:
      return std::make_unique<RecordListing>(handle, getInfoEx, std::move(batch));
    case FirstBatch::kEmpty:
      return std::make_unique<RecordListing>(handle, getInfoEx, nullptr);
    case FirstBatch::kFallBack:
      break;
  }
  ::CloseHandle(handle);
  return OpenFindListing(mask, folder, error);
}

bool Win32Platform::QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) {
  const std::u16string path = UncLongForm(file.path);
  // No data access: the link count and identity need none, and a file opened
  // for reading by someone else stays reachable. With backup intent, as the
  // listing opens its folder: once the backup privilege is enabled, a file
  // whose ACL denies reading its attributes opens all the same (the flag
  // changes nothing else for a file).
  const HANDLE handle = ::CreateFileW(Wide(path), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = LastErrorOf();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  const bool known = ::GetFileInformationByHandle(handle, &information) != 0;
  const uint32_t queryError = known ? 0 : LastErrorOf();
  FileId id;
  // The wider identity is asked for only of files that can join a group.
  if (known && information.nNumberOfLinks > 1) TakeIdentity(handle, information, id);
  ::CloseHandle(handle);
  if (!known) {
    error = queryError;
    return false;
  }
  info.links = information.nNumberOfLinks;
  info.indexLow = information.nFileIndexLow;
  info.indexHigh = information.nFileIndexHigh;
  info.volumeSerial = information.dwVolumeSerialNumber;
  if (information.nNumberOfLinks > 1) {
    info.indexLow = static_cast<uint32_t>(id.index);
    info.indexHigh = static_cast<uint32_t>(id.index >> 32);
    info.indexUpper = id.indexUpper;
  }
  return true;
}

ReparseRead Win32Platform::ReadReparseData(const std::u16string& openName,
                                           const EntryRef& /*entry*/, std::span<uint8_t> buffer) {
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
