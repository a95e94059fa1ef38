// The Windows directory records, read from hand-built batches.
#include "platform/win32/dir_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorrex::win32 {
namespace {

struct Record {
  uint32_t attributes = 0;
  std::u16string name;
};

class Batch {
 public:
  // Records chained as the system chains them: each on an 8-byte boundary,
  // the last with NextEntryOffset 0, in a batch of `room` bytes whose rest
  // holds stale bytes.
  static Batch Chain(const std::vector<Record>& records, size_t room = 4096) {
    Batch batch;
    batch.bytes_.assign(room, 0xCD);
    size_t at = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      const size_t length = kDirRecordName + 2 * records[i].name.size();
      const size_t next = (length + 7) / 8 * 8;
      batch.Write(at, records[i], i + 1 < records.size() ? static_cast<uint32_t>(next) : 0);
      at += next;
    }
    return batch;
  }

  // One record at `at` with the fields as given, whatever they say.
  Batch& Write(size_t at, const Record& record, uint32_t next, uint32_t nameBytes = UINT32_MAX) {
    if (nameBytes == UINT32_MAX) nameBytes = static_cast<uint32_t>(2 * record.name.size());
    for (size_t i = 0; i < kDirRecordName; ++i) Put8(at + i, 0xEE);  // times, sizes, short name
    U32(at + kDirRecordNextOffset, next);
    U32(at + kDirRecordAttributes, record.attributes);
    U32(at + kDirRecordNameLength, nameBytes);
    for (size_t i = 0; i < record.name.size(); ++i) {
      Put8(at + kDirRecordName + 2 * i, static_cast<uint8_t>(record.name[i]));
      Put8(at + kDirRecordName + 2 * i + 1, static_cast<uint8_t>(record.name[i] >> 8));
    }
    return *this;
  }
  Batch& U32(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) Put8(at + i, static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Batch& Resize(size_t size) {
    bytes_.resize(size, 0xCD);
    return *this;
  }

  // Every entry until the end or a cut, read into one reused entry as the
  // listing does; the last outcome in `last`.
  std::vector<Record> ReadAll(DirRecord& last, size_t misalign = 0) const {
    std::vector<uint8_t> copy(misalign, 0);
    copy.insert(copy.end(), bytes_.begin(), bytes_.end());
    const std::span<const uint8_t> batch = std::span<const uint8_t>(copy).subspan(misalign);
    std::vector<Record> entries;
    FindData entry;
    entry.name = u"left over from before";
    entry.directoryUnresolved = true;
    entry.bytes = "left over";
    size_t offset = 0;
    while ((last = NextDirRecord(batch, offset, entry)) == DirRecord::kEntry) {
      EXPECT_FALSE(entry.directoryUnresolved);
      EXPECT_TRUE(entry.bytes.empty());
      entries.push_back({entry.attributes, entry.name});
      if (entries.size() > bytes_.size()) break;  // a chain that never ends
    }
    return entries;
  }

 private:
  void Put8(size_t at, uint8_t value) { bytes_.at(at) = value; }
  std::vector<uint8_t> bytes_;
};

constexpr uint32_t kDir = kAttrDirectory;
constexpr uint32_t kFile = kAttrArchive;
constexpr uint32_t kLink = kAttrReparsePoint;

void ExpectEntries(const std::vector<Record>& got, const std::vector<Record>& want,
                   const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].name, want[i].name) << what << ", entry " << i;
    EXPECT_EQ(got[i].attributes, want[i].attributes) << what << ", entry " << i;
  }
}

TEST(DirRecordsTest, ChainsGiveEveryEntryWithItsNameAndAttributes) {
  const std::u16string longest(255, u'n');
  const struct {
    const char* what;
    std::vector<Record> records;
  } cases[] = {
      {"dot and dot-dot as the system reports them", {{kDir, u"."}, {kDir, u".."}, {kFile, u"f"}}},
      {"odd name lengths, padded to the next record",
       {{kFile, u"a"}, {kFile, u"abc"}, {kDir, u"abcde"}, {kFile, u"ab"}}},
      {"a long name, then a shorter one in the same entry",
       {{kFile, u"abcdefghijklmnop"}, {kFile, u"x"}}},
      {"reparse points keep both bits",
       {{kDir | kLink, u"junction"}, {kFile | kLink, u"link.txt"}}},
      {"names beyond the basic plane and of the longest length",
       {{kFile, u"\u00e9t\u00e9 \U0001F600"}, {kFile, longest}}},
      {"a single record", {{kDir, u"only"}}},
  };
  for (const auto& c : cases) {
    for (size_t misalign : {0u, 1u, 3u}) {
      DirRecord last = DirRecord::kEntry;
      ExpectEntries(Batch::Chain(c.records).ReadAll(last, misalign), c.records, c.what);
      EXPECT_EQ(last, DirRecord::kEnd) << c.what << ", misaligned by " << misalign;
    }
  }

  // An empty batch: the end at once.
  DirRecord last = DirRecord::kEntry;
  EXPECT_TRUE(Batch().ReadAll(last).empty());
  EXPECT_EQ(last, DirRecord::kEnd);
}

TEST(DirRecordsTest, TheLastRecordEndsTheBatchWhateverFollowsIt) {
  // What follows the last record is stale: here a record that looks whole.
  Batch batch = Batch::Chain({{kFile, u"one"}, {kFile, u"two"}});
  batch.Write(512, {kFile, u"stale"}, 0);
  DirRecord last = DirRecord::kEntry;
  ExpectEntries(batch.ReadAll(last), {{kFile, u"one"}, {kFile, u"two"}}, "stale tail");
  EXPECT_EQ(last, DirRecord::kEnd);

  // A last record that ends exactly at the end of the batch.
  Batch exact = Batch::Chain({{kFile, u"abc"}}, kDirRecordName + 6);
  ExpectEntries(exact.ReadAll(last), {{kFile, u"abc"}}, "exact fit");
  EXPECT_EQ(last, DirRecord::kEnd);
}

TEST(DirRecordsTest, RecordsThatDoNotFitAreNeverGivenOut) {
  const Record first{kFile, u"first"};
  const Record second{kFile, u"second"};
  const struct {
    const char* what;
    Batch batch;
    std::vector<Record> entries;  // given out before the cut
  } cases[] = {
      {"the fixed part is cut", Batch().Resize(kDirRecordName - 1), {}},
      {"the name runs past the batch (cut short by the system)",
       Batch().Resize(kDirRecordName + 8).Write(0, {kFile, u"abcd"}, 0, 600),
       {}},
      {"the second record's name runs past the batch",
       Batch()
           .Resize(512)
           .Write(0, first, 128)
           .Write(128, second, 0)
           .Resize(128 + kDirRecordName + 4),
       {first}},
      {"the next record lies beyond the batch",
       Batch().Resize(256).Write(0, first, 256).Write(128, second, 0),
       {}},
      {"the next record would overlap this one's name",
       Batch().Resize(512).Write(0, first, kDirRecordName + 2).Write(128, second, 0),
       {}},
      {"a second record whose fixed part is cut",
       Batch().Resize(128 + 40).Write(0, first, 128),
       {first}},
  };
  for (const auto& c : cases) {
    DirRecord last = DirRecord::kEntry;
    ExpectEntries(c.batch.ReadAll(last), c.entries, c.what);
    EXPECT_EQ(last, DirRecord::kCut) << c.what;
  }
}

TEST(DirRecordsTest, AnOddByteOfANameIsNoUnitOfIt) {
  Batch batch;
  batch.Resize(kDirRecordName + 8).Write(0, {kFile, u"abc"}, 0, 5);
  DirRecord last = DirRecord::kEntry;
  ExpectEntries(batch.ReadAll(last), {{kFile, u"ab"}}, "five bytes");
  EXPECT_EQ(last, DirRecord::kEnd);
}

TEST(DirRecordsTest, WhenTheOlderListingTakesOver) {
  const struct {
    bool succeeded;
    uint32_t error;
    FirstBatch choice;
  } firstQuery[] = {
      {true, 0, FirstBatch::kEntries},
      {false, 2, FirstBatch::kEmpty},       // FILE_NOT_FOUND: a folder without entries
      {false, 18, FirstBatch::kEmpty},      // NO_MORE_FILES
      {false, 87, FirstBatch::kFallBack},   // INVALID_PARAMETER: class unknown, or not a folder
      {false, 50, FirstBatch::kFallBack},   // NOT_SUPPORTED
      {false, 1, FirstBatch::kFallBack},    // INVALID_FUNCTION
      {false, 124, FirstBatch::kFallBack},  // INVALID_LEVEL (older network servers)
      {false, 234, FirstBatch::kFallBack},  // MORE_DATA: a name longer than the batch
      {false, 5, FirstBatch::kFallBack},    // ACCESS_DENIED: the search says what it says
  };
  for (const auto& c : firstQuery) {
    EXPECT_EQ(AfterFirstQuery(c.succeeded, c.error), c.choice) << c.error;
  }

  const struct {
    uint32_t error;
    uint32_t attributes;
    bool empty;
  } findFailure[] = {
      {2, kDir, true},
      {2, kDir | kLink, true},  // a junction to an empty root
      {2, kInvalidFileAttributes, false},
      {2, kFile, false},
      {3, kDir, false},
      {5, kDir, false},
  };
  for (const auto& c : findFailure) {
    EXPECT_EQ(FindFailureMeansEmpty(c.error, c.attributes), c.empty)
        << c.error << " " << c.attributes;
  }
}

TEST(DirRecordsTest, AFolderListedAsPlainIsCheckedByWhatCanBeTrusted) {
  const FileId listed{0xCD, 0x51, 0};
  FindData dotOfIt{kDir, u"."};
  dotOfIt.indexListed = true;
  dotOfIt.index = 0x51;
  FindData dotWithoutId{kDir, u"."};
  struct Case {
    const char* name;
    const FindData* dot;
    uint32_t attributes;
    bool idsAgree;
    uint64_t ownIndex;  // 0: unknown
    bool same;
    std::string asked;  // A(ttributes), I(dentity)
  };
  const Case cases[] = {
      {"its own dot record", &dotOfIt, kDir | kLink, true, 0x99, true, ""},
      {"a junction at its name", &dotWithoutId, kDir | kLink, true, 0x51, false, "A"},
      {"a file at its name", nullptr, kFile, true, 0x51, false, "A"},
      {"a plain folder, IDs not known to agree", nullptr, kDir, false, 0x99, true, "A"},
      {"a plain folder, IDs agree, the same", nullptr, kDir, true, 0x51, true, "AI"},
      {"a plain folder, IDs agree, another", nullptr, kDir, true, 0x99, false, "AI"},
      {"a plain folder, IDs agree, none to compare", nullptr, kDir, true, 0, true, "AI"},
      {"attributes unknown: the IDs decide", nullptr, kInvalidFileAttributes, true, 0x99, false,
       "AI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string asked;
    OpenFolderQueries ask;
    ask.attributes = [&] {
      asked += 'A';
      return c.attributes;
    };
    ask.identity = [&](FileId& own) {
      asked += 'I';
      own = FileId{0xCD, c.ownIndex, 0};
      return true;
    };
    EXPECT_EQ(StillTheListedFolder(c.dot, listed, c.idsAgree, ask), c.same);
    EXPECT_EQ(asked, c.asked);
  }
}

TEST(DirRecordsTest, OnlyNoMoreFilesEndsAFolderQuietly) {
  // A later batch or FindNextFileW: the end of the folder is no error; a
  // share that dropped or a disk that failed cuts the listing short.
  const struct {
    uint32_t error;
    uint32_t reported;
  } cases[] = {
      {18, 0},       // ERROR_NO_MORE_FILES
      {64, 64},      // ERROR_NETNAME_DELETED
      {59, 59},      // ERROR_UNEXP_NET_ERR
      {121, 121},    // ERROR_SEM_TIMEOUT
      {1117, 1117},  // ERROR_IO_DEVICE
      {2, 2},        // FILE_NOT_FOUND after entries is no end either
      {995, 995},    // cancelled after an abort: the walk says nothing of it
  };
  for (const auto& c : cases) EXPECT_EQ(EndOfListingError(c.error), c.reported) << c.error;
}

TEST(DirRecordsTest, WideFileIndexesTakeEachHalfFromItsOwnBytes) {
  // FILE_ID_INFO's 16 bytes: the lower half first, each little-endian. Every
  // byte is different, so a half read from the wrong bytes, or in the wrong
  // order, shows.
  const struct {
    uint8_t bytes[kFileIndex128Bytes];
    uint64_t lower;
    uint64_t upper;
  } cases[] = {
      {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
        0x18},
       0x0807060504030201ull,
       0x1817161514131211ull},
      // NTFS: a 64-bit index and an upper half of zeros.
      {{0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00}, 0x00050000'0000002Aull, 0},
      // ReFS: an upper half alone.
      {{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0x80}, 0, 0x80000000'000000FFull},
  };
  for (const auto& c : cases) {
    const FileIndex128 index = ReadFileIndex128(c.bytes);
    EXPECT_EQ(index.lower, c.lower);
    EXPECT_EQ(index.upper, c.upper);
  }
}

TEST(DirRecordsTest, EachKindOfRecordGivesItsFileIdWhereAsked) {
  // One record of each kind, its file ID bytes 01..10 and its name where the
  // kind puts it; whatever lies between is stale.
  struct Case {
    const char* name;
    const DirRecordLayout& layout;
    bool listIndex;
    bool listed;
    uint64_t index;
    uint64_t upper;
  };
  const Case cases[] = {
      {"64-bit IDs, listed", kIdBothRecords, true, true, 0x0807060504030201ull, 0},
      {"128-bit IDs, listed", kIdExtdRecords, true, true, 0x0807060504030201ull,
       0x100F0E0D0C0B0A09ull},
      {"64-bit IDs, not asked", kIdBothRecords, false, false, 0, 0},
      {"128-bit IDs, not asked", kIdExtdRecords, false, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes(256, 0xEE);
    const auto put32 = [&](size_t at, uint32_t value) {
      for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put32(kDirRecordNextOffset, 0);
    put32(kDirRecordAttributes, 0x20);
    put32(kDirRecordNameLength, 4);
    for (size_t i = 0; i < c.layout.fileIdBytes; ++i) {
      bytes[c.layout.fileId + i] = static_cast<uint8_t>(i + 1);
    }
    bytes[c.layout.name] = 'a';
    bytes[c.layout.name + 1] = 0;
    bytes[c.layout.name + 2] = 'b';
    bytes[c.layout.name + 3] = 0;
    bytes.resize(c.layout.name + 4);
    FindData entry;
    entry.indexListed = true;  // left over from another listing
    entry.index = 77;
    size_t offset = 0;
    ASSERT_EQ(NextDirRecord(bytes, offset, entry, c.layout, c.listIndex), DirRecord::kEntry);
    EXPECT_EQ(entry.name, u"ab");
    EXPECT_EQ(entry.attributes, 0x20u);
    EXPECT_EQ(entry.indexListed, c.listed);
    EXPECT_EQ(entry.index, c.index);
    EXPECT_EQ(entry.indexUpper, c.upper);
    // The same record one byte short is cut, not read with a shorter name.
    bytes.pop_back();
    offset = 0;
    EXPECT_EQ(NextDirRecord(bytes, offset, entry, c.layout, c.listIndex), DirRecord::kCut);
  }
}

}  // namespace
}  // namespace quorrex::win32
