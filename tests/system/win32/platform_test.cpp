// The Win32 platform on real folders of the running system (Wine in CI).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/system.h"
#include "platform/win32/windows_headers.h"
#include "program_path.h"
#include "support/version.h"

namespace quorrex {
namespace {

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A fresh folder under the temporary folder, removed with all it holds.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    path_.assign(reinterpret_cast<const char16_t*>(base), length);
    if (!path_.empty() && path_.back() != u'\\') path_ += u'\\';
    path_ += u"quorrex-" + ToU16(std::to_string(::GetCurrentProcessId())) + u"-" +
             ToU16(std::to_string(::GetTickCount()));
    ::CreateDirectoryW(W(path_), nullptr);
  }
  ~TempFolder() { Remove(u"\\\\?\\" + path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::u16string& path() const { return path_; }
  std::u16string operator/(std::u16string_view name) const {
    return path_ + u"\\" + std::u16string(name);
  }

  static std::u16string ToU16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
  }

 private:
  static void Remove(const std::u16string& folder) {
    WIN32_FIND_DATAW data;
    const HANDLE search = ::FindFirstFileW(W(folder + u"\\*"), &data);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string name = reinterpret_cast<const char16_t*>(data.cFileName);
        if (name == u"." || name == u"..") continue;
        const std::u16string child = folder + u"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(child);
        } else {
          ::DeleteFileW(W(child));
        }
      } while (::FindNextFileW(search, &data));
      ::FindClose(search);
    }
    ::RemoveDirectoryW(W(folder));
  }

  std::u16string path_;
};

// Names a file by its path alone; the path must outlive the call.
EntryRef Ref(const std::u16string& path) {
  EntryRef ref;
  ref.path = path;
  return ref;
}

bool MakeFile(const std::u16string& path, std::string_view content = "x") {
  const HANDLE file = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  ::CloseHandle(file);
  return true;
}

std::map<std::u16string, uint32_t> ListAll(FolderListing& listing) {
  std::map<std::u16string, uint32_t> entries;
  FindData entry;
  while (listing.Next(entry)) entries[entry.name] = entry.attributes;
  return entries;
}

class Win32PlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> platform_ = CreateSystemPlatform();
  TempFolder temp_;
};

TEST_F(Win32PlatformTest, ListsEveryEntryWithItsAttributesAndIdentity) {
  ASSERT_TRUE(MakeFile(temp_ / u"plain.txt"));
  ASSERT_TRUE(MakeFile(temp_ / u"\u00e9t\u00e9 \U0001F600.dat"));
  ASSERT_TRUE(::CreateDirectoryW(W(temp_ / u"sub"), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(W(temp_ / u"other"), nullptr));

  uint32_t error = 0;
  const std::u16string mask = temp_.path() + u"\\*";
  auto listing = platform_->OpenListing(mask, Ref(temp_.path()), error);
  ASSERT_NE(listing, nullptr) << error;
  const auto entries = ListAll(*listing);
  EXPECT_EQ(entries.count(u"plain.txt"), 1u);
  EXPECT_EQ(entries.count(u"\u00e9t\u00e9 \U0001F600.dat"), 1u) << "a name beyond the BMP";
  ASSERT_EQ(entries.count(u"sub"), 1u);
  EXPECT_NE(entries.at(u"sub") & kAttrDirectory, 0u);
  EXPECT_EQ(entries.at(u"plain.txt") & kAttrDirectory, 0u);
  FindData after;
  EXPECT_FALSE(listing->Next(after)) << "the end of the listing stays the end";
  EXPECT_EQ(listing->EndError(), 0u) << "no more files is the end, no failure";

  // The identity is the folder's own, stable, and differs from a sibling's.
  FileId id, again, sub;
  ASSERT_TRUE(listing->Identity(id));
  ASSERT_TRUE(listing->Identity(again));
  EXPECT_EQ(id, again);
  auto subListing = platform_->OpenListing(temp_ / u"sub\\*", Ref(temp_ / u"sub"), error);
  ASSERT_NE(subListing, nullptr);
  ASSERT_TRUE(subListing->Identity(sub));
  EXPECT_NE(id, sub);
  auto viaLongForm =
      platform_->OpenListing(u"\\\\?\\" + temp_.path() + u"\\sub\\*", EntryRef{}, error);
  ASSERT_NE(viaLongForm, nullptr);
  FileId longId;
  ASSERT_TRUE(viaLongForm->Identity(longId));
  EXPECT_EQ(sub, longId) << "one folder, whichever form names it";
}

TEST_F(Win32PlatformTest, ListingFailuresCarryTheSystemError) {
  uint32_t error = 0;
  EXPECT_EQ(platform_->OpenListing(temp_ / u"missing\\*", EntryRef{}, error), nullptr);
  EXPECT_EQ(error, win_error::kPathNotFound);
  ASSERT_TRUE(MakeFile(temp_ / u"file"));
  error = 0;
  EXPECT_EQ(platform_->OpenListing(temp_ / u"file\\*", EntryRef{}, error), nullptr);
  EXPECT_NE(error, 0u);
}

// What the system's own search gives for `mask`: every entry in its order,
// or the error it fails with.
struct Searched {
  std::vector<std::pair<std::u16string, uint32_t>> entries;
  uint32_t error = 0;
};
Searched Search(const std::u16string& mask) {
  Searched result;
  WIN32_FIND_DATAW data;
  const HANDLE search = ::FindFirstFileW(W(mask), &data);
  if (search == INVALID_HANDLE_VALUE) {
    result.error = ::GetLastError();
    return result;
  }
  do {
    result.entries.emplace_back(reinterpret_cast<const char16_t*>(data.cFileName),
                                data.dwFileAttributes);
  } while (::FindNextFileW(search, &data));
  ::FindClose(search);
  return result;
}

TEST_F(Win32PlatformTest, ListingsGiveWhatTheSearchGivesOverManyBatches) {
  // Far more records than one batch holds, names of odd and even lengths.
  ASSERT_TRUE(::CreateDirectoryW(W(temp_ / u"many"), nullptr));
  const auto name = [](int i) {
    return u"entry-" + TempFolder::ToU16(std::to_string(i)) +
           std::u16string(static_cast<size_t>(20 + i % 7), u'x');
  };
  for (int i = 0; i < 800; ++i) ASSERT_TRUE(MakeFile(temp_ / (u"many\\" + name(i)))) << i;
  ASSERT_TRUE(::CreateDirectoryW(W(temp_ / u"many\\sub"), nullptr));
  ASSERT_TRUE(::SetFileAttributesW(W(temp_ / (u"many\\" + name(7))), FILE_ATTRIBUTE_READONLY));

  for (const std::u16string& folder : {temp_ / u"many", u"\\\\?\\" + (temp_ / u"many")}) {
    const Searched want = Search(folder + u"\\*");
    ASSERT_EQ(want.error, 0u);
    uint32_t error = 0;
    auto listing = platform_->OpenListing(folder + u"\\*", Ref(folder), error);
    ASSERT_NE(listing, nullptr) << error;
    std::vector<std::pair<std::u16string, uint32_t>> got;
    FindData entry;
    while (listing->Next(entry)) got.emplace_back(entry.name, entry.attributes);
    EXPECT_FALSE(listing->Next(entry)) << "the end of the listing stays the end";
    EXPECT_EQ(listing->EndError(), 0u) << "no more files after many batches is no failure";
    EXPECT_EQ(got.size(), 803u) << "every file, the subfolder, \".\" and \"..\"";
    EXPECT_TRUE(got == want.entries) << "the same entries in the same order, same attributes";
    FileId id;
    EXPECT_TRUE(listing->Identity(id)) << "asked after the listing ended";
  }
}

TEST_F(Win32PlatformTest, FoldersThatCannotBeListedFailAsTheSearchFails) {
  ASSERT_TRUE(MakeFile(temp_ / u"file"));
  for (const std::u16string& folder :
       {temp_ / u"missing", temp_ / u"missing\\deeper", temp_ / u"file",
        u"\\\\?\\" + (temp_ / u"missing"), u"\\\\?\\" + (temp_ / u"file")}) {
    const std::u16string mask = folder + u"\\*";
    const uint32_t searchError = Search(mask).error;
    ASSERT_NE(searchError, 0u);
    uint32_t error = 0;
    EXPECT_EQ(platform_->OpenListing(mask, Ref(folder), error), nullptr);
    EXPECT_EQ(error, searchError) << "the walk prints the error it always printed";
  }
}

TEST_F(Win32PlatformTest, HardLinksShareOneIdentityAndCount) {
  const std::u16string first = temp_ / u"first";
  const std::u16string second = temp_ / u"second";
  const std::u16string single = temp_ / u"single";
  ASSERT_TRUE(MakeFile(first));
  ASSERT_TRUE(MakeFile(single));
  ASSERT_TRUE(::CreateHardLinkW(W(second), W(first), nullptr));

  LinkInfo a, b, c;
  uint32_t error = 0;
  ASSERT_TRUE(platform_->QueryLinkInfo(Ref(first), a, error)) << error;
  ASSERT_TRUE(platform_->QueryLinkInfo(Ref(u"\\\\?\\" + second), b, error)) << error;
  ASSERT_TRUE(platform_->QueryLinkInfo(Ref(single), c, error)) << error;
  EXPECT_EQ(a.links, 2u);
  EXPECT_EQ(b.links, 2u);
  EXPECT_EQ(c.links, 1u);
  EXPECT_EQ(a.id.volume, b.id.volume);
  EXPECT_EQ(a.id, b.id);  // the whole identity, 128 bits where the system has them
  EXPECT_NE(a.id.index, c.id.index);

  // A file held open without sharing by someone else is still queried: the
  // query asks for no data access.
  const HANDLE held =
      ::CreateFileW(W(single), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(platform_->QueryLinkInfo(Ref(single), c, error)) << error;
  ::CloseHandle(held);

  EXPECT_FALSE(platform_->QueryLinkInfo(Ref(temp_ / u"gone"), c, error));
  EXPECT_EQ(error, win_error::kFileNotFound);
}

TEST_F(Win32PlatformTest, FilesAskedThroughTheirListingAnswerAsTheirOpenDoes) {
  // Through the open listing a file is asked by name relative to the folder
  // where the system has that query; by its path alone it is opened. Both
  // give the same count and the same identity, and a subfolder's identity
  // from the records is the one its own open gives.
  ASSERT_TRUE(MakeFile(temp_ / u"first"));
  ASSERT_TRUE(MakeFile(temp_ / u"single"));
  ASSERT_TRUE(MakeFile(temp_ / u"gone"));
  ASSERT_TRUE(::CreateHardLinkW(W(temp_ / u"second"), W(temp_ / u"first"), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(W(temp_ / u"sub"), nullptr));
  uint32_t error = 0;
  auto listing = platform_->OpenListing(temp_.path() + u"\\*", Ref(temp_.path()), error);
  ASSERT_NE(listing, nullptr) << error;
  FileId folder;
  ASSERT_TRUE(listing->Identity(folder));
  ASSERT_TRUE(::DeleteFileW(W(temp_ / u"gone")));
  FindData entry;
  int files = 0;
  while (listing->Next(entry)) {
    if (entry.name == u"." || entry.name == u"..") continue;
    SCOPED_TRACE(std::string(entry.name.begin(), entry.name.end()));
    const std::u16string path = temp_ / entry.name;
    if (entry.name == u"sub") {
      if (!entry.indexListed || (entry.index == 0 && entry.indexUpper == 0)) continue;
      const FileId listed{folder.volume, entry.index, entry.indexUpper};
      auto sub = platform_->OpenListing(path + u"\\*", Ref(path), error);
      ASSERT_NE(sub, nullptr) << error;
      FileId own;
      ASSERT_TRUE(sub->Identity(own));
      EXPECT_EQ(listed, own);
      continue;
    }
    const EntryRef ref{path, listing.get(), entry.name, entry.attributes};
    LinkInfo byListing, byPath;
    if (entry.name == u"gone") {
      EXPECT_FALSE(platform_->QueryLinkInfo(ref, byListing, error));
      EXPECT_EQ(error, win_error::kFileNotFound);
      continue;
    }
    ++files;
    ASSERT_TRUE(platform_->QueryLinkInfo(ref, byListing, error)) << error;
    ASSERT_TRUE(platform_->QueryLinkInfo(Ref(path), byPath, error)) << error;
    EXPECT_EQ(byListing.links, entry.name == u"single" ? 1u : 2u);
    EXPECT_EQ(byListing.links, byPath.links);
    if (byListing.links > 1) {
      EXPECT_EQ(byListing.id, byPath.id);
    }
  }
  EXPECT_EQ(files, 3);
}

TEST_F(Win32PlatformTest, LongPathsWorkThroughTheLongForm) {
  // Well past 260 characters; only the long form reaches it.
  std::u16string folder = u"\\\\?\\" + temp_.path();
  for (int level = 0; level < 6; ++level) {
    folder += u"\\" + std::u16string(60, static_cast<char16_t>(u'a' + level));
    ASSERT_TRUE(::CreateDirectoryW(W(folder), nullptr)) << level;
  }
  ASSERT_GT(folder.size(), 360u);
  ASSERT_TRUE(MakeFile(folder + u"\\deep.txt"));
  uint32_t error = 0;
  auto listing = platform_->OpenListing(folder + u"\\*", Ref(folder), error);
  ASSERT_NE(listing, nullptr) << error;
  EXPECT_EQ(ListAll(*listing).count(u"deep.txt"), 1u);
  FileId id;
  EXPECT_TRUE(listing->Identity(id));
  LinkInfo info;
  ASSERT_TRUE(platform_->QueryLinkInfo(Ref(folder + u"\\deep.txt"), info, error)) << error;
  EXPECT_EQ(info.links, 1u);
  std::u16string full;
  ASSERT_TRUE(platform_->GetFullPathName(folder + u"\\x\\..\\deep.txt", full));
  EXPECT_EQ(full, folder + u"\\deep.txt");
}

TEST_F(Win32PlatformTest, ReparseReadOfAFileThatIsNoReparsePoint) {
  std::vector<uint8_t> buffer(0x20000);
  ASSERT_TRUE(MakeFile(temp_ / u"plain"));
  // The file opens (the reparse point itself is asked for), the query fails.
  const ReparseRead plain =
      platform_->ReadReparseData(u"\\\\?\\" + (temp_ / u"plain"), Ref(temp_ / u"plain"), buffer);
  EXPECT_EQ(plain.stage, ReparseRead::Stage::kQueryFailed);
  EXPECT_NE(plain.error, 0u);
  // A folder opens as well, through the backup semantics.
  const ReparseRead folder =
      platform_->ReadReparseData(u"\\\\?\\" + temp_.path(), Ref(temp_.path()), buffer);
  EXPECT_EQ(folder.stage, ReparseRead::Stage::kQueryFailed);

  const ReparseRead missing = platform_->ReadReparseData(temp_ / u"missing", EntryRef{}, buffer);
  EXPECT_EQ(missing.stage, ReparseRead::Stage::kOpenFailed);
  EXPECT_EQ(missing.error, win_error::kFileNotFound);
}

TEST_F(Win32PlatformTest, PathsAndVolumes) {
  std::u16string full = u"untouched";
  EXPECT_FALSE(platform_->GetFullPathName(u"", full));
  EXPECT_EQ(full, u"untouched");
  ASSERT_TRUE(platform_->GetFullPathName(temp_.path() + u"\\a\\.\\..\\b", full));
  EXPECT_EQ(full, temp_.path() + u"\\b");

  const std::u16string current = platform_->GetCurrentDirectory();
  ASSERT_FALSE(current.empty());
  EXPECT_NE(platform_->GetFileAttributes(current) & kAttrDirectory, 0u);
  EXPECT_EQ(platform_->GetFileAttributes(temp_ / u"missing"), kInvalidFileAttributes);

  std::u16string volume;
  ASSERT_TRUE(platform_->GetVolumePathName(temp_.path(), volume));
  ASSERT_GE(volume.size(), 3u);
  EXPECT_EQ(volume.back(), u'\\');
  EXPECT_EQ(temp_.path().compare(0, 2, volume, 0, 2), 0) << "the root of the temp folder's drive";

  uint32_t flags = 0;
  std::u16string fsName;
  EXPECT_EQ(platform_->GetVolumeInformation(volume, flags, fsName), 0u);
  EXPECT_FALSE(fsName.empty());
  // Not a volume root: the system refuses with its own error code.
  EXPECT_NE(platform_->GetVolumeInformation(temp_.path() + u"\\", flags, fsName), 0u);
}

TEST_F(Win32PlatformTest, TextConversions) {
  EXPECT_EQ(platform_->WideToNarrow(u"plain text\n"), "plain text\n");
  EXPECT_EQ(platform_->NarrowToWide("plain text\r\n"), u"plain text\r\n");
  EXPECT_EQ(platform_->NarrowToWide(""), u"");
  std::string oem;
  ASSERT_TRUE(platform_->WideToOem(u"C:\\path\n", oem));
  EXPECT_EQ(oem, "C:\\path\n") << "no terminator, the LF as it is";
  EXPECT_FALSE(platform_->WideToOem(u"", oem));
}

TEST_F(Win32PlatformTest, ReadsTheVersionOfTheProgram) {
  platform_->HardenLibrarySearch();
  const std::u16string program = ProgramPath();
  uint32_t version = 0;
  ASSERT_TRUE(platform_->ReadFileVersion(program, version));
  EXPECT_EQ(version, (QUORREX_VERSION_MAJOR << 16u) | QUORREX_VERSION_MINOR);

  // This test program carries no version resource.
  const std::u16string own = platform_->OwnFilePath();
  ASSERT_FALSE(own.empty());
  EXPECT_NE(platform_->GetFileAttributes(own), kInvalidFileAttributes);
  version = 12345;
  EXPECT_FALSE(platform_->ReadFileVersion(own, version));
  EXPECT_EQ(version, 12345u);
  EXPECT_FALSE(platform_->ReadFileVersion(temp_ / u"missing.exe", version));
}

TEST_F(Win32PlatformTest, BackupPrivilegeCanBeSwitchedAndRestored) {
  Handle token = 0;
  ASSERT_TRUE(platform_->OpenProcessToken(token));
  Luid luid;
  ASSERT_TRUE(platform_->LookupPrivilegeValue(u"SeBackupPrivilege", luid));
  EXPECT_FALSE(platform_->LookupPrivilegeValue(u"SeNoSuchPrivilege", luid));

  TokenPrivileges next{1, luid, 0};
  TokenPrivileges previous{};
  uint32_t length = kTokenPrivilegesSize;
  const uint32_t error =
      platform_->AdjustTokenPrivileges(token, next, kTokenPrivilegesSize, &previous, &length);
  // Success, or the account lacks the privilege (ERROR_NOT_ALL_ASSIGNED).
  EXPECT_TRUE(error == 0 || error == 1300) << error;
  EXPECT_LE(length, kTokenPrivilegesSize);
  if (error == 0) {
    previous.privilegeCount = 1;
    previous.luid = luid;
    previous.attributes |= kSePrivilegeEnabled;
    EXPECT_EQ(platform_->AdjustTokenPrivileges(token, previous, length, nullptr, nullptr), 0u);
  }
  platform_->CloseHandle(token);
}

TEST_F(Win32PlatformTest, CharacterDevicesThatAreNoConsoleGetNarrowOemText) {
  // Output redirected to NUL (a character device, as COM1 and printers are)
  // is written as a file, and narrow text with names is in the OEM code page,
  // the code page of redirected path lines.
  const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(nul, INVALID_HANDLE_VALUE);
  EXPECT_EQ(::GetFileType(nul), static_cast<DWORD>(FILE_TYPE_CHAR));
  ::SetStdHandle(STD_OUTPUT_HANDLE, nul);
  const bool console = platform_->StdoutIsConsole();
  const std::u16string name = u"caf\u00E9 \u00C4rger";
  const std::string narrow = platform_->WideToNarrow(name);
  std::string oem;
  const bool converted = platform_->WideToOem(name, oem);
  ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
  ::CloseHandle(nul);
  EXPECT_FALSE(console);
  ASSERT_TRUE(converted);
  EXPECT_EQ(narrow, oem);
}

TEST_F(Win32PlatformTest, LongPlainFolderSpecsHaveTheirAttributes) {
  // A folder path of MAX_PATH characters or more, without the long-path
  // prefix: its attributes come through the long form.
  std::u16string folder = temp_.path();
  for (int level = 0; level < 5; ++level) {
    folder += u"\\" + std::u16string(60, static_cast<char16_t>(u'k' + level));
    ASSERT_TRUE(::CreateDirectoryW(W(u"\\\\?\\" + folder), nullptr)) << level;
  }
  ASSERT_GE(folder.size(), static_cast<size_t>(MAX_PATH));
  const uint32_t attributes = platform_->GetFileAttributes(folder);
  ASSERT_NE(attributes, kInvalidFileAttributes);
  EXPECT_NE(attributes & kAttrDirectory, 0u);
  EXPECT_NE(platform_->GetFileAttributes(folder + u"\\.\\x\\.."), kInvalidFileAttributes);
  EXPECT_EQ(platform_->GetFileAttributes(folder + u"\\missing"), kInvalidFileAttributes);
}

TEST_F(Win32PlatformTest, FileSystemWorkKeepsThePrivilegeAtHandAndNests) {
  // Between the brackets no library may load: the backup privilege's value
  // was looked up before, and comes out the same.
  Luid before;
  ASSERT_TRUE(platform_->LookupPrivilegeValue(u"SeBackupPrivilege", before));
  platform_->BeginFileSystemWork();
  platform_->BeginFileSystemWork();
  Luid during;
  EXPECT_TRUE(platform_->LookupPrivilegeValue(u"SeBackupPrivilege", during));
  EXPECT_EQ(during.lowPart, before.lowPart);
  EXPECT_EQ(during.highPart, before.highPart);
  platform_->EndFileSystemWork();
  // Still inside the outer bracket: the file system still answers.
  EXPECT_NE(platform_->GetFileAttributes(temp_.path()), kInvalidFileAttributes);
  platform_->EndFileSystemWork();
  platform_->EndFileSystemWork();  // one too many is harmless
  // Another thread brackets its own work.
  std::thread worker([this] {
    platform_->BeginFileSystemWork();
    EXPECT_NE(platform_->GetFileAttributes(temp_.path()), kInvalidFileAttributes);
    platform_->EndFileSystemWork();
  });
  worker.join();
}

TEST_F(Win32PlatformTest, FileSystemWorkSeesTheNativeSystem32) {
  // A 32-bit program on 64-bit Windows: outside the bracket, System32 is
  // SysWOW64 for it; inside, it is the native folder, and Sysnative is
  // named by that folder's own name.
  BOOL wow64 = FALSE;
  if (!::IsWow64Process(::GetCurrentProcess(), &wow64) || !wow64) {
    GTEST_SKIP() << "not a 32-bit program on 64-bit Windows";
  }
  wchar_t windowsBuffer[MAX_PATH + 1] = {};
  ASSERT_NE(::GetSystemWindowsDirectoryW(windowsBuffer, MAX_PATH + 1), 0u);
  std::u16string windows = reinterpret_cast<const char16_t*>(windowsBuffer);
  if (windows.back() == u'\\') windows.pop_back();
  const std::u16string name = temp_.path().substr(temp_.path().rfind(u'\\') + 1);
  const std::u16string folder = windows + u"\\System32\\" + name;
  const std::u16string mask = folder + u"\\*";

  platform_->BeginFileSystemWork();
  const bool made = ::CreateDirectoryW(W(folder), nullptr) && MakeFile(folder + u"\\x");
  platform_->EndFileSystemWork();
  if (!made) GTEST_SKIP() << "System32 takes no new folder from this user";

  uint32_t error = 0;
  EXPECT_EQ(platform_->GetFileAttributes(folder), kInvalidFileAttributes);
  EXPECT_EQ(platform_->OpenListing(mask, Ref(folder), error), nullptr);
  EXPECT_EQ(platform_->NativeSystemFolderAlias().alias, u"");

  platform_->BeginFileSystemWork();
  const uint32_t attributes = platform_->GetFileAttributes(folder);
  EXPECT_NE(attributes, kInvalidFileAttributes);
  EXPECT_NE(attributes & kAttrDirectory, 0u);
  if (auto listing = platform_->OpenListing(mask, Ref(folder), error)) {
    EXPECT_EQ(ListAll(*listing).count(u"x"), 1u);
  } else {
    ADD_FAILURE() << "no listing inside the bracket: error " << error;
  }
  const FolderAlias alias = platform_->NativeSystemFolderAlias();
  EXPECT_EQ(alias.alias, windows + u"\\Sysnative");
  EXPECT_EQ(alias.folder, windows + u"\\System32");
  ::DeleteFileW(W(folder + u"\\x"));
  ::RemoveDirectoryW(W(folder));
  platform_->EndFileSystemWork();
}

}  // namespace
}  // namespace quorrex
