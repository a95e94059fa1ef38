// The Win32 platform: folder listings, link information and reparse data.
#include <limits>

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
  BYTE identifier[16];
};
constexpr int kFileIdInfoClass = 18;  // FileIdInfo

// Completes `id` from the 64-bit index of `information` and, where the system
// has it, the whole 128-bit index (ReFS): there the 64-bit index of two files
// may coincide. The volume stays the serial number the older query gives, so
// that files whose wider query fails still meet their links.
void TakeIdentity(HANDLE file, const BY_HANDLE_FILE_INFORMATION& information, FileId& id) {
  id.volume = information.dwVolumeSerialNumber;
  id.index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  id.indexUpper = 0;
  using GetInfoExFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
  // Looked up once; absent before Windows 8.
  static const auto getInfoEx =
      LookUp<GetInfoExFn>(::GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx");
  if (getInfoEx == nullptr) return;
  FileIdInformation wide{};
  if (!getInfoEx(file, kFileIdInfoClass, &wide, sizeof(wide))) return;
  uint64_t lower = 0;
  uint64_t upper = 0;
  for (int i = 7; i >= 0; --i) lower = (lower << 8) | wide.identifier[i];
  for (int i = 15; i >= 8; --i) upper = (upper << 8) | wide.identifier[i];
  id.index = lower;
  id.indexUpper = upper;
}

void TakeEntry(const WIN32_FIND_DATAW& data, FindData& entry) {
  entry.attributes = data.dwFileAttributes;
  // The name is terminated within its array; stop at the array's end anyway.
  std::size_t length = 0;
  constexpr std::size_t kRoom = sizeof(data.cFileName) / sizeof(data.cFileName[0]);
  while (length < kRoom && data.cFileName[length] != L'\0') ++length;
  entry.name.assign(reinterpret_cast<const char16_t*>(data.cFileName), length);
}

class Win32Listing final : public FolderListing {
 public:
  Win32Listing(HANDLE search, const WIN32_FIND_DATAW& first, std::u16string folder)
      : search_(search), first_(first), folder_(std::move(folder)) {}
  ~Win32Listing() override { ::FindClose(search_); }
  Win32Listing(const Win32Listing&) = delete;
  Win32Listing& operator=(const Win32Listing&) = delete;

  bool Next(FindData& entry) override {
    if (firstPending_) {
      firstPending_ = false;
      TakeEntry(first_, entry);
      return true;
    }
    WIN32_FIND_DATAW data;
    if (!::FindNextFileW(search_, &data)) return false;
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
    const HANDLE folder = ::CreateFileW(Wide(folder_), 0, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = ::GetFileInformationByHandle(folder, &information) != 0;
    if (known) TakeIdentity(folder, information, id);
    ::CloseHandle(folder);
    return known;
  }

  HANDLE search_;
  WIN32_FIND_DATAW first_;
  bool firstPending_ = true;
  std::u16string folder_;
  bool identityAsked_ = false;
  bool identityKnown_ = false;
  FileId identity_;
};

}  // namespace

std::unique_ptr<FolderListing> Win32Platform::OpenListing(const std::u16string& mask,
                                                          const EntryRef& /*folder*/,
                                                          uint32_t& error) {
  WIN32_FIND_DATAW data;
  HANDLE search = ::FindFirstFileExW(Wide(mask), kFindInfoBasic, &data, FindExSearchNameMatch,
                                     nullptr, kFindLargeFetch);
  if (search == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    search = ::FindFirstFileW(Wide(mask), &data);
  }
  if (search == INVALID_HANDLE_VALUE) {
    error = LastErrorOf();
    return nullptr;
  }
  // The folder is the mask without its "*"; its trailing backslash stays, so
  // that a drive's root names the root folder and not the volume.
  std::u16string folder = mask;
  if (!folder.empty() && folder.back() == u'*') folder.pop_back();
  return std::make_unique<Win32Listing>(search, data, std::move(folder));
}

bool Win32Platform::QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) {
  const std::u16string path(file.path);
  // No data access: the link count and identity need none, and a file opened
  // for reading by someone else stays reachable.
  const HANDLE handle = ::CreateFileW(Wide(path), 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
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
  const HANDLE handle = ::CreateFileW(Wide(openName), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, kOpenReparsePointItself, nullptr);
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
