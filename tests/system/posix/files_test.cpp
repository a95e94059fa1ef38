// Listings, link queries and symbolic-link reparse data on real folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "support/utf.h"
#include "temp_folder.h"

namespace quorrex {
namespace {

using testing::TempFolder;

std::map<std::u16string, uint32_t> ListAll(FolderListing& listing) {
  std::map<std::u16string, uint32_t> seen;
  FindData entry;
  while (listing.Next(entry)) {
    // Links leave their directory bit open until asked.
    EXPECT_EQ(entry.directoryUnresolved, (entry.attributes & kAttrReparsePoint) != 0);
    listing.ResolveDirectory(entry);
    seen[entry.Name()] = entry.attributes;
  }
  return seen;
}

FileId IdOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The substitute name of a synthesised symbolic-link buffer, as bytes.
std::string SubstituteName(const std::vector<uint8_t>& buffer) {
  const size_t length = buffer[10] | (buffer[11] << 8);
  std::u16string text;
  for (size_t i = 0; i < length; i += 2) {
    text.push_back(static_cast<char16_t>(buffer[20 + i] | (buffer[21 + i] << 8)));
  }
  return EncodeUtf8Lossless(text);
}

uint32_t U32At(const std::vector<uint8_t>& buffer, size_t at) {
  return buffer[at] | (buffer[at + 1] << 8) | (buffer[at + 2] << 16) |
         (static_cast<uint32_t>(buffer[at + 3]) << 24);
}

// Names an entry by its full path alone.
EntryRef ByPath(std::u16string_view path) {
  EntryRef ref;
  ref.path = path;
  return ref;
}

class PosixFilesTest : public ::testing::Test {
 protected:
  PosixPlatform platform;
  TempFolder tmp;
};

TEST_F(PosixFilesTest, ListingGivesWindowsAttributesFromEntryTypes) {
  ASSERT_TRUE(tmp.File("file"));
  ASSERT_TRUE(tmp.Folder("dir"));
  ASSERT_TRUE(tmp.Link("to-file", "file"));
  ASSERT_TRUE(tmp.Link("to-dir", "dir"));
  ASSERT_TRUE(tmp.Link("dangling", "nowhere"));
  ASSERT_EQ(mkfifo(tmp.At("pipe").c_str(), 0644), 0);

  uint32_t error = 99;
  auto listing = platform.OpenListing(tmp.Wide() + u"/*", ByPath(tmp.Wide()), error);
  ASSERT_NE(listing, nullptr);
  EXPECT_EQ(error, 0u);
  const auto seen = ListAll(*listing);
  const std::map<std::u16string, uint32_t> expected = {
      {u".", kAttrDirectory},           {u"..", kAttrDirectory},
      {u"file", kAttrArchive},          {u"dir", kAttrDirectory},
      {u"to-file", kAttrReparsePoint},  {u"to-dir", kAttrReparsePoint | kAttrDirectory},
      {u"dangling", kAttrReparsePoint}, {u"pipe", kAttrNormal},
  };
  EXPECT_EQ(seen, expected);
  FindData entry;
  EXPECT_FALSE(listing->Next(entry));  // stays at the end
  EXPECT_EQ(listing->EndError(), 0u);  // the end of the folder, no failure

  FileId id;
  ASSERT_TRUE(listing->Identity(id));
  EXPECT_EQ(id, IdOf(tmp.path()));
}

#ifdef __linux__
TEST_F(PosixFilesTest, AListingThatFailsPartWayIsNotTakenForAWholeOne) {
  // The folder of a process's descriptors fails its reads with ENOENT once
  // the process is gone. A process with 6000 descriptors needs more than one
  // read of the listing: it is ended after the first, and the listing ends
  // part way with the error, not as a folder that has no more entries.
  constexpr int kDescriptors = 6000;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, kDescriptors + 64);
    setrlimit(RLIMIT_NOFILE, &limit);
    int opened = 0;
    while (opened < kDescriptors && dup(0) >= 0) ++opened;
    const char enough = opened == kDescriptors ? 'y' : 'n';
    (void)!write(ready[1], &enough, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char enough = 'n';
  const bool told = read(ready[0], &enough, 1) == 1;
  close(ready[0]);
  const std::u16string folder = DecodeUtf8Lossless("/proc/" + std::to_string(child) + "/fd");
  uint32_t error = 99;
  auto listing = platform.OpenListing(folder + u"/*", ByPath(folder), error);
  FindData entry;
  const bool first = listing != nullptr && listing->Next(entry);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(told);
  if (enough != 'y') GTEST_SKIP() << "no room for " << kDescriptors << " descriptors";
  ASSERT_NE(listing, nullptr) << error;
  ASSERT_TRUE(first);
  size_t entries = 1;
  while (listing->Next(entry)) ++entries;
  EXPECT_GT(entries, 100u);
  EXPECT_LT(entries, static_cast<size_t>(kDescriptors));
  EXPECT_EQ(listing->EndError(), win_error::kFileNotFound);
  EXPECT_FALSE(listing->Next(entry));  // and stays ended
}
#endif

// Listings lend their record buffers to later ones: a listing begun while
// others are open, or after many have ended, sees its own entries only.
TEST_F(PosixFilesTest, ListingsOneAfterAnotherAndOverlappingSeeTheirOwnEntries) {
  constexpr int kFolders = 8;
  // Built by appending: GCC 12's release build warns of a concatenation
  // with a short literal that it cannot prove apart.
  const auto folderName = [](int f) {
    std::string name("d");
    name.append(std::to_string(f));
    return name;
  };
  for (int f = 0; f < kFolders; ++f) {
    const std::string folder = folderName(f);
    ASSERT_TRUE(tmp.Folder(folder));
    // Enough entries in some for more than one read of records.
    const int files = f % 2 == 0 ? 3 : 1500;
    for (int i = 0; i < files; ++i) {
      ASSERT_TRUE(tmp.File(folder + "/" + std::to_string(f) + "-" + std::to_string(i)));
    }
  }
  const auto expect = [](int f, const std::map<std::u16string, uint32_t>& seen) {
    const size_t files = f % 2 == 0 ? 3 : 1500;
    EXPECT_EQ(seen.size(), files + 2) << f;  // with "." and ".."
    const std::u16string prefix = DecodeUtf8Lossless(std::to_string(f) + "-");
    for (const auto& [name, attributes] : seen) {
      if (name == u"." || name == u"..") continue;
      EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << f;
    }
  };
  const auto open = [&](int f) {
    uint32_t error = 99;
    const std::u16string folder = tmp.Wide(folderName(f));
    auto listing = platform.OpenListing(folder + u"/*", ByPath(folder), error);
    EXPECT_NE(listing, nullptr) << error;
    return listing;
  };
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    // One after another: each may take the buffer the one before gave back.
    for (int f = 0; f < kFolders; ++f) {
      auto listing = open(f);
      ASSERT_NE(listing, nullptr);
      expect(f, ListAll(*listing));
    }
    // All begun before any ends, then ended in turn, the first begun last.
    std::vector<std::unique_ptr<FolderListing>> listings;
    std::vector<std::map<std::u16string, uint32_t>> seen(kFolders);
    for (int f = 0; f < kFolders; ++f) {
      listings.push_back(open(f));
      ASSERT_NE(listings.back(), nullptr);
      FindData entry;
      ASSERT_TRUE(listings.back()->Next(entry));
      listings.back()->ResolveDirectory(entry);
      seen[f][entry.Name()] = entry.attributes;
    }
    for (int f = kFolders - 1; f >= 0; --f) {
      for (const auto& [name, attributes] : ListAll(*listings[f])) seen[f][name] = attributes;
      expect(f, seen[f]);
      listings[f].reset();
    }
  }
}

TEST_F(PosixFilesTest, ListingOpensRelativeToItsParentAndFollowsLinks) {
  ASSERT_TRUE(tmp.Folder("dir"));
  ASSERT_TRUE(tmp.File("dir/inner"));
  ASSERT_TRUE(tmp.Link("to-dir", "dir"));
  ASSERT_TRUE(tmp.File("file"));
  ASSERT_EQ(mkfifo(tmp.At("pipe").c_str(), 0644), 0);

  uint32_t error = 0;
  auto top = platform.OpenListing(tmp.Wide() + u"/*", ByPath(tmp.Wide()), error);
  ASSERT_NE(top, nullptr);
  // The masks name a folder that is not there: only the open parent counts.
  const std::u16string bogus = u"/no/such/place/*";
  auto viaLink =
      platform.OpenListing(bogus, EntryRef{u"/no/such/place", top.get(), u"to-dir"}, error);
  ASSERT_NE(viaLink, nullptr);
  FileId id;
  ASSERT_TRUE(viaLink->Identity(id));
  EXPECT_EQ(id, IdOf(tmp.At("dir")));
  EXPECT_EQ(ListAll(*viaLink).count(u"inner"), 1u);

  // Without a parent the folder is the mask's, whatever pattern follows it.
  auto byMask = platform.OpenListing(tmp.Wide("dir") + u"/*.txt", ByPath(u"/elsewhere"), error);
  ASSERT_NE(byMask, nullptr);
  ASSERT_TRUE(byMask->Identity(id));
  EXPECT_EQ(id, IdOf(tmp.At("dir")));

  // Neither a plain file nor a FIFO is a folder; the FIFO open must not block.
  EXPECT_EQ(platform.OpenListing(bogus, EntryRef{u"/x", top.get(), u"file"}, error), nullptr);
  EXPECT_EQ(error, win_error::kPathNotFound);
  EXPECT_EQ(platform.OpenListing(bogus, EntryRef{u"/x", top.get(), u"pipe"}, error), nullptr);
  EXPECT_EQ(error, win_error::kPathNotFound);
  EXPECT_EQ(platform.OpenListing(tmp.Wide("gone") + u"/*", ByPath(tmp.Wide("gone")), error),
            nullptr);
  EXPECT_EQ(error, win_error::kFileNotFound);
}

TEST_F(PosixFilesTest, FolderListedPlainIsNotOpenedThroughALink) {
  // The listing said "folder"; by the time it is opened a link stands there.
  ASSERT_TRUE(tmp.Folder("dir"));
  ASSERT_TRUE(tmp.Link("swapped", "dir"));
  uint32_t error = 0;
  auto top = platform.OpenListing(tmp.Wide() + u"/*", ByPath(tmp.Wide()), error);
  ASSERT_NE(top, nullptr);
  const std::u16string mask = tmp.Wide("swapped") + u"/*";
  struct Case {
    uint32_t listed;
    bool opens;
  };
  for (const Case& c : {Case{kAttrDirectory, false}, Case{kAttrDirectory | kAttrReparsePoint, true},
                        Case{kInvalidFileAttributes, true}}) {
    SCOPED_TRACE(c.listed);
    auto listing = platform.OpenListing(
        mask, EntryRef{tmp.Wide("swapped"), top.get(), u"swapped", c.listed}, error);
    EXPECT_EQ(listing != nullptr, c.opens);
    if (!c.opens) {
      EXPECT_NE(error, win_error::kSuccess);
    }
  }
  // A real folder listed as one opens.
  EXPECT_NE(
      platform.OpenListing(tmp.Wide("dir") + u"/*",
                           EntryRef{tmp.Wide("dir"), top.get(), u"dir", kAttrDirectory}, error),
      nullptr);
}

TEST_F(PosixFilesTest, LargeFolderIsListedWholeAcrossReads) {
  // Enough names to need several directory reads of the listing's buffer.
  constexpr int kCount = 1200;  // about 96 KiB of directory records
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(tmp.File(std::string(56, 'n') + std::to_string(1000 + i)));
  }
  uint32_t error = 0;
  auto listing = platform.OpenListing(tmp.Wide() + u"/*", ByPath(tmp.Wide()), error);
  ASSERT_NE(listing, nullptr);
  FindData entry;
  int count = 0;
  std::map<std::u16string, int> names;
  while (listing->Next(entry)) {
    ++count;
    ++names[entry.Name()];
  }
  EXPECT_EQ(count, kCount + 2);
  EXPECT_EQ(names.size(), static_cast<size_t>(kCount + 2));
  EXPECT_EQ(names[std::u16string(56, u'n') + u"2199"], 1);
}

TEST_F(PosixFilesTest, NamesThatAreNotUtf8SurviveListingQueryAndLinkRead) {
  const std::string fileName = "caf\xe9\xff";
  const std::string linkName = "\x80link";
  const std::string linkText = "t\xc3(x/\xfe";
  ASSERT_TRUE(tmp.File(fileName));
  ASSERT_TRUE(tmp.Link(linkName, linkText));

  uint32_t error = 0;
  auto listing = platform.OpenListing(tmp.Wide() + u"/*", ByPath(tmp.Wide()), error);
  ASSERT_NE(listing, nullptr);
  const auto seen = ListAll(*listing);
  const std::u16string wideFile = DecodeUtf8Lossless(fileName);
  const std::u16string wideLink = DecodeUtf8Lossless(linkName);
  ASSERT_EQ(seen.count(wideFile), 1u);
  ASSERT_EQ(seen.count(wideLink), 1u);
  EXPECT_EQ(EncodeUtf8Lossless(wideFile), fileName);

  LinkInfo byParent, byPath;
  ASSERT_TRUE(platform.QueryLinkInfo(EntryRef{u"", listing.get(), wideFile}, byParent, error));
  ASSERT_TRUE(platform.QueryLinkInfo(ByPath(tmp.Wide(fileName)), byPath, error));
  EXPECT_EQ(byParent.id.index, byPath.id.index);
  EXPECT_EQ(byParent.links, 1u);

  std::vector<uint8_t> buffer(0x20000, 0xEE);
  const auto read = platform.ReadReparseData(
      tmp.Wide(linkName), EntryRef{tmp.Wide(linkName), listing.get(), wideLink}, buffer);
  ASSERT_EQ(read.stage, ReparseRead::Stage::kRead);
  EXPECT_EQ(SubstituteName(buffer), linkText);
  const auto byName = platform.ReadReparseData(tmp.Wide(linkName), EntryRef(), buffer);
  ASSERT_EQ(byName.stage, ReparseRead::Stage::kRead);
  EXPECT_EQ(SubstituteName(buffer), linkText);
}

TEST_F(PosixFilesTest, SymbolicLinkBufferLayout) {
  ASSERT_TRUE(tmp.Folder("dir"));
  struct Case {
    std::string name, text;
    uint32_t flags;
  };
  const Case cases[] = {
      {"relative", "dir/../file.txt", 1},
      {"absolute", "/usr/lib", 0},
      {"dangling", "../../nowhere", 1},
      {"folder", "dir", 1},
      {"wide", "\xc3\xa9t\xc3\xa9-\xf0\x9f\x98\x80", 1},
      // The longest text a link may have, and one short of it: read whole.
      {"longest", std::string(PATH_MAX - 1, 'x'), 1},
      {"one short of the longest", "/" + std::string(PATH_MAX - 3, 'y') + "z", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(tmp.Link(c.name, c.text));
    std::vector<uint8_t> buffer(0x20000, 0xEE);
    const auto read = platform.ReadReparseData(tmp.Wide(c.name), ByPath(tmp.Wide(c.name)), buffer);
    ASSERT_EQ(read.stage, ReparseRead::Stage::kRead);
    EXPECT_EQ(read.error, 0u);
    const uint32_t nameBytes = static_cast<uint32_t>(DecodeUtf8Lossless(c.text).size() * 2);
    EXPECT_EQ(U32At(buffer, 0), 0xA000000Cu);
    EXPECT_EQ(buffer[4] | (buffer[5] << 8), 12 + nameBytes);  // data length
    EXPECT_EQ(buffer[6] | (buffer[7] << 8), 0);
    EXPECT_EQ(buffer[8] | (buffer[9] << 8), 0);  // substitute name offset
    EXPECT_EQ(buffer[10] | (buffer[11] << 8), nameBytes);
    EXPECT_EQ(U32At(buffer, 16), c.flags);
    EXPECT_EQ(read.bytesReturned, 20 + nameBytes);
    EXPECT_EQ(SubstituteName(buffer), c.text);
  }
}

TEST_F(PosixFilesTest, ReparseReadFailuresAndShortBuffers) {
  ASSERT_TRUE(tmp.File("plain"));
  ASSERT_TRUE(tmp.Link("smile", "a\xf0\x9f\x98\x80"));  // "a" and a surrogate pair
  std::vector<uint8_t> buffer(0x20000);

  auto read = platform.ReadReparseData(tmp.Wide("plain"), ByPath(tmp.Wide("plain")), buffer);
  EXPECT_EQ(read.stage, ReparseRead::Stage::kQueryFailed);
  EXPECT_EQ(read.error, win_error::kNotAReparsePoint);

  read = platform.ReadReparseData(tmp.Wide("gone"), ByPath(tmp.Wide("gone")), buffer);
  EXPECT_EQ(read.stage, ReparseRead::Stage::kOpenFailed);
  EXPECT_EQ(read.error, win_error::kFileNotFound);

  // Room for two units: the pair is not split, so only "a" is returned.
  std::vector<uint8_t> small(24, 0xEE);
  read = platform.ReadReparseData(tmp.Wide("smile"), ByPath(tmp.Wide("smile")), small);
  ASSERT_EQ(read.stage, ReparseRead::Stage::kRead);
  EXPECT_EQ(read.bytesReturned, 22u);
  EXPECT_EQ(small[10], 2);
  EXPECT_EQ(small[20], 'a');
  EXPECT_EQ(small[22], 0xEE);  // nothing written past the buffer's returned bytes

  std::vector<uint8_t> tiny(19);
  read = platform.ReadReparseData(tmp.Wide("smile"), ByPath(tmp.Wide("smile")), tiny);
  EXPECT_EQ(read.stage, ReparseRead::Stage::kQueryFailed);
}

TEST_F(PosixFilesTest, HardLinksShareIdentityAndCount) {
  ASSERT_TRUE(tmp.Folder("sub"));
  ASSERT_TRUE(tmp.File("a"));
  ASSERT_EQ(link(tmp.At("a").c_str(), tmp.At("b").c_str()), 0);
  ASSERT_EQ(link(tmp.At("a").c_str(), tmp.At("sub/c").c_str()), 0);
  ASSERT_TRUE(tmp.File("other"));
  ASSERT_TRUE(tmp.Link("link-to-a", "a"));

  uint32_t error = 0;
  LinkInfo a, b, c, other, viaLink;
  ASSERT_TRUE(platform.QueryLinkInfo(ByPath(tmp.Wide("a")), a, error));
  ASSERT_TRUE(platform.QueryLinkInfo(ByPath(tmp.Wide("b")), b, error));
  auto sub = platform.OpenListing(tmp.Wide("sub") + u"/*", ByPath(tmp.Wide("sub")), error);
  ASSERT_NE(sub, nullptr);
  ASSERT_TRUE(platform.QueryLinkInfo(EntryRef{u"", sub.get(), u"c"}, c, error));
  ASSERT_TRUE(platform.QueryLinkInfo(ByPath(tmp.Wide("other")), other, error));
  ASSERT_TRUE(platform.QueryLinkInfo(ByPath(tmp.Wide("link-to-a")), viaLink, error));

  const FileId id = IdOf(tmp.At("a"));
  EXPECT_EQ(a.links, 3u);
  EXPECT_EQ(a.id.index, id.index);
  EXPECT_EQ(a.id.volume, id.volume);
  for (const LinkInfo* same : {&b, &c}) {
    EXPECT_EQ(same->links, 3u);
    EXPECT_EQ(same->id.index, a.id.index);
    EXPECT_EQ(same->id.volume, a.id.volume);
  }
  EXPECT_EQ(other.links, 1u);
  EXPECT_NE(other.id.index, a.id.index);
  // The link itself is asked, never what it points to.
  EXPECT_EQ(viaLink.links, 1u);
  EXPECT_NE(viaLink.id.index, a.id.index);

  EXPECT_FALSE(platform.QueryLinkInfo(ByPath(tmp.Wide("gone")), other, error));
  EXPECT_EQ(error, win_error::kFileNotFound);
}

TEST_F(PosixFilesTest, FileAttributesFollowLinksAndMarkThem) {
  ASSERT_TRUE(tmp.Folder("dir"));
  ASSERT_TRUE(tmp.File("file"));
  ASSERT_TRUE(tmp.Link("to-dir", "dir"));
  ASSERT_TRUE(tmp.Link("to-file", "file"));
  EXPECT_EQ(platform.GetFileAttributes(tmp.Wide("dir")), kAttrDirectory);
  EXPECT_EQ(platform.GetFileAttributes(tmp.Wide("file")), kAttrNormal);
  EXPECT_EQ(platform.GetFileAttributes(tmp.Wide("to-dir")), kAttrDirectory | kAttrReparsePoint);
  EXPECT_EQ(platform.GetFileAttributes(tmp.Wide("to-file")), kAttrNormal | kAttrReparsePoint);
  EXPECT_EQ(platform.GetFileAttributes(tmp.Wide("dir/*")), kInvalidFileAttributes);
  EXPECT_EQ(platform.GetFileAttributes(tmp.Wide("gone")), kInvalidFileAttributes);
}

TEST_F(PosixFilesTest, VolumeOfAFolderThatDoesNotExist) {
  std::u16string volume;
  ASSERT_TRUE(platform.GetVolumePathName(tmp.Wide("not/there/yet"), volume));
  ASSERT_FALSE(volume.empty());
  EXPECT_EQ(volume.back(), u'/');
  EXPECT_EQ(tmp.Wide("not/there/yet").rfind(volume, 0), 0u) << EncodeUtf8Lossless(volume);

  uint32_t flags = 0;
  std::u16string name;
  EXPECT_EQ(platform.GetVolumeInformation(volume, flags, name), 0u);
  EXPECT_FALSE(name.empty());
  EXPECT_NE(flags & kFsSupportsReparsePoints, 0u) << EncodeUtf8Lossless(name);

  std::u16string root;
  ASSERT_TRUE(platform.GetVolumePathName(u"/", root));
  EXPECT_EQ(root, u"/");
  EXPECT_FALSE(platform.GetVolumePathName(u"relative/path", volume));
  EXPECT_EQ(platform.GetVolumeInformation(tmp.Wide("not-a-mount") + u"/", flags, name),
            win_error::kPathNotFound);
}

TEST_F(PosixFilesTest, ALinkThatLeadsNowhereOrLoopsIsMissing) {
  ASSERT_TRUE(tmp.File("file"));
  ASSERT_TRUE(tmp.Folder("dir"));
  ASSERT_TRUE(tmp.Link("to-file", "file"));
  ASSERT_TRUE(tmp.Link("to-dir", "dir"));
  ASSERT_TRUE(tmp.Link("nowhere", "gone"));
  ASSERT_TRUE(tmp.Link("through-file", "file/x"));  // ENOTDIR
  ASSERT_TRUE(tmp.Link("self", "self"));            // ELOOP
  ASSERT_TRUE(tmp.Link("ping", "pong"));
  ASSERT_TRUE(tmp.Link("pong", "ping"));
  ASSERT_TRUE(tmp.Link("to-loop", "ping"));
  const struct {
    const char* name;
    LinkTarget expected;
  } cases[] = {
      {"to-file", LinkTarget::kExists},  {"to-dir", LinkTarget::kExists},
      {"nowhere", LinkTarget::kMissing}, {"through-file", LinkTarget::kMissing},
      {"self", LinkTarget::kMissing},    {"ping", LinkTarget::kMissing},
      {"to-loop", LinkTarget::kMissing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string path = tmp.Wide() + u"/" + DecodeUtf8Lossless(c.name);
    EXPECT_EQ(platform.FindLinkTarget(path, ByPath(path)), c.expected);
  }
}

// A target no file can have (a name past 255 bytes) is missing, and so is it
// for a link whose own path is past PATH_MAX; such a link is still told apart
// from one whose target is there.
TEST_F(PosixFilesTest, ALinkToANameTooLongIsMissingAtAnyDepth) {
  const std::string tooLong(256, 'n');
  ASSERT_TRUE(tmp.File("file"));
  ASSERT_TRUE(tmp.Link("too-long", tooLong));
  ASSERT_TRUE(tmp.Folder("sub"));
  ASSERT_TRUE(tmp.Link("too-long-inside", "sub/" + tooLong + "/x"));
  ASSERT_TRUE(tmp.Link("nowhere", "gone"));
  // 50 levels of 100 bytes: 5,000 bytes below the temporary folder.
  std::string deep = tmp.path();
  {
    int fd = open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 50; ++i) {
      std::string level = "d";
      level += std::to_string(100 + i);
      level.append(96, 'x');
      ASSERT_EQ(mkdirat(fd, level.c_str(), 0755), 0);
      const int next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      ASSERT_GE(next, 0);
      fd = next;
      deep += "/" + level;
    }
    ASSERT_EQ(symlinkat(tooLong.c_str(), fd, "too-long"), 0);
    ASSERT_EQ(symlinkat("gone", fd, "nowhere"), 0);
    ASSERT_EQ(symlinkat(".", fd, "here"), 0);
    close(fd);
  }
  ASSERT_GT(deep.size(), static_cast<size_t>(PATH_MAX));
  const struct {
    const char* name;
    std::string path;
    LinkTarget expected;
  } cases[] = {
      {"name over 255 bytes", tmp.At("too-long"), LinkTarget::kMissing},
      {"name over 255 bytes inside the target", tmp.At("too-long-inside"), LinkTarget::kMissing},
      {"ordinary missing target", tmp.At("nowhere"), LinkTarget::kMissing},
      {"past PATH_MAX, name over 255 bytes", deep + "/too-long", LinkTarget::kMissing},
      {"past PATH_MAX, missing target", deep + "/nowhere", LinkTarget::kMissing},
      {"past PATH_MAX, target there", deep + "/here", LinkTarget::kExists},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string path = DecodeUtf8Lossless(c.path);
    EXPECT_EQ(platform.FindLinkTarget(path, ByPath(path)), c.expected);
  }
}

}  // namespace
}  // namespace quorrex
