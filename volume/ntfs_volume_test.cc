#include "volume/ntfs_volume.h"

#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The crafted volume: 512-byte sectors and clusters, 1 KiB records, the MFT
// of 32 records at cluster 16, index blocks of 4 KiB, 512 clusters in all.
constexpr size_t kCluster = 512;
constexpr size_t kRecord = 1024;
constexpr size_t kClusters = 512;
constexpr size_t kMftCluster = 16;
constexpr size_t kMftRecords = 32;
constexpr size_t kIndexBlock = 4096;
constexpr uint64_t kRoot = 5;

void Put16(Bytes* b, size_t at, uint16_t v) {
  (*b)[at] = v & 0xFF;
  (*b)[at + 1] = v >> 8;
}
void Put32(Bytes* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = (v >> (8 * i)) & 0xFF;
}
void Put64(Bytes* b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) (*b)[at + i] = (v >> (8 * i)) & 0xFF;
}
void Append(Bytes* to, const Bytes& more) {
  size_t at = to->size();
  to->resize(at + more.size());
  if (!more.empty()) memcpy(&(*to)[at], more.data(), more.size());
}
void Align8(Bytes* b) { b->resize((b->size() + 7) / 8 * 8); }

// Writes the update sequence: the last two bytes of each 512-byte stride go
// to the array at 0x28 and the sequence number takes their place.
void Protect(Bytes* block) {
  Put16(block, 4, 0x28);
  uint16_t count = static_cast<uint16_t>(block->size() / 512 + 1);
  Put16(block, 6, count);
  Put16(block, 0x28, 0x0101);
  for (size_t i = 1; i < count; ++i) {
    memcpy(&(*block)[0x28 + 2 * i], &(*block)[i * 512 - 2], 2);
    Put16(block, i * 512 - 2, 0x0101);
  }
}

Bytes Header(uint32_t type, size_t length, bool non_resident,
             const std::u16string& name, size_t name_at) {
  Bytes a(length);
  Put32(&a, 0, type);
  Put32(&a, 4, static_cast<uint32_t>(length));
  a[8] = non_resident;
  a[9] = static_cast<uint8_t>(name.size());
  Put16(&a, 0xA, static_cast<uint16_t>(name_at));
  for (size_t i = 0; i < name.size(); ++i) Put16(&a, name_at + 2 * i, name[i]);
  return a;
}

Bytes Resident(uint32_t type, const Bytes& value,
               const std::u16string& name = u"") {
  size_t value_at = (0x18 + 2 * name.size() + 7) / 8 * 8;
  Bytes a =
      Header(type, (value_at + value.size() + 7) / 8 * 8, false, name, 0x18);
  Put32(&a, 0x10, static_cast<uint32_t>(value.size()));
  Put16(&a, 0x14, static_cast<uint16_t>(value_at));
  std::copy(value.begin(), value.end(), a.begin() + value_at);
  return a;
}

struct NonResidentLayout {
  Bytes pairs;  // the mapping pairs, their terminator included
  uint64_t size = 0;
  uint64_t initialized = ~0ull;  // the size when left so
  uint16_t flags = 0;
  uint8_t unit_shift = 0;
};

Bytes NonResident(uint32_t type, const NonResidentLayout& layout,
                  const std::u16string& name = u"") {
  size_t pairs_at = (0x40 + 2 * name.size() + 7) / 8 * 8;
  Bytes a = Header(type, (pairs_at + layout.pairs.size() + 7) / 8 * 8, true,
                   name, 0x40);
  Put16(&a, 0xC, layout.flags);
  Put16(&a, 0x20, static_cast<uint16_t>(pairs_at));
  a[0x22] = layout.unit_shift;
  Put64(&a, 0x28, (layout.size + kCluster - 1) / kCluster * kCluster);
  Put64(&a, 0x30, layout.size);
  Put64(&a, 0x38,
        layout.initialized == ~0ull ? layout.size : layout.initialized);
  std::copy(layout.pairs.begin(), layout.pairs.end(), a.begin() + pairs_at);
  return a;
}

constexpr uint8_t kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3;

Bytes FileName(const std::u16string& name, uint8_t name_space,
               bool folder = false) {
  Bytes v(0x42 + 2 * name.size());
  Put64(&v, 0, kRoot);
  Put32(&v, 0x38, folder ? 0x10000000 : 0x20);
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = name_space;
  for (size_t i = 0; i < name.size(); ++i) Put16(&v, 0x42 + 2 * i, name[i]);
  return v;
}

// An index entry for `record` named by a $FILE_NAME value; without a key
// it is the node's last entry.
Bytes Entry(uint64_t record, const Bytes& key, uint64_t child = ~0ull) {
  bool has_child = child != ~0ull;
  Bytes e(0x10 + key.size());
  Align8(&e);
  if (has_child) e.resize(e.size() + 8);
  Put64(&e, 0, record);
  Put16(&e, 8, static_cast<uint16_t>(e.size()));
  Put16(&e, 0xA, static_cast<uint16_t>(key.size()));
  Put16(&e, 0xC, (has_child ? 1 : 0) | (key.empty() ? 2 : 0));
  std::copy(key.begin(), key.end(), e.begin() + 0x10);
  if (has_child) Put64(&e, e.size() - 8, child);
  return e;
}

// An index header followed by its entries, the last entry added here.
Bytes Node(std::vector<Bytes> entries, uint64_t last_child = ~0ull) {
  entries.push_back(Entry(0, Bytes(), last_child));
  Bytes n(0x10);
  for (const Bytes& e : entries) Append(&n, e);
  Put32(&n, 0, 0x10);
  Put32(&n, 4, static_cast<uint32_t>(n.size()));
  Put32(&n, 8, static_cast<uint32_t>(n.size()));
  return n;
}

Bytes IndexRoot(const Bytes& node) {
  Bytes v(0x10);
  Put32(&v, 0, 0x30);
  Put32(&v, 4, 1);
  Put32(&v, 8, kIndexBlock);
  v[0xC] = kIndexBlock / kCluster;
  Append(&v, node);
  return v;
}

// An index block of the folder's $INDEX_ALLOCATION, its entries after the
// update sequence array.
Bytes IndexBlock(uint64_t vcn, std::vector<Bytes> entries,
                 uint64_t last_child = ~0ull) {
  entries.push_back(Entry(0, Bytes(), last_child));
  Bytes b(kIndexBlock);
  memcpy(&b[0], "INDX", 4);
  Put64(&b, 0x10, vcn);
  size_t at = 0x40;
  for (const Bytes& e : entries) {
    std::copy(e.begin(), e.end(), b.begin() + at);
    at += e.size();
  }
  Put32(&b, 0x18, 0x40 - 0x18);
  Put32(&b, 0x1C, static_cast<uint32_t>(at - 0x18));
  Put32(&b, 0x20, kIndexBlock - 0x18);
  if (last_child != ~0ull || entries.size() > 1) {
    bool children = false;
    for (const Bytes& e : entries) children |= (e[0xC] & 1) != 0;
    b[0x24] = children;
  }
  Protect(&b);
  return b;
}

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A crafted volume in memory.
struct Volume {
  Bytes bytes = Bytes(kClusters * kCluster);
  std::vector<std::vector<Bytes>> attributes =
      std::vector<std::vector<Bytes>>(kMftRecords);
  std::vector<uint16_t> flags = std::vector<uint16_t>(kMftRecords);
  uint64_t reader_size = 0;  // the volume's when left 0

  Volume() {
    memcpy(&bytes[3], "NTFS    ", 8);
    Put16(&bytes, 0xB, 512);
    bytes[0xD] = 1;
    Put64(&bytes, 0x28, kClusters - 1);
    Put64(&bytes, 0x30, kMftCluster);
    bytes[0x40] = 0xF6;  // 2^10-byte records
    bytes[0x44] = 0xF4;
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    NonResidentLayout mft;
    mft.pairs = {0x11, kMftRecords * kRecord / kCluster, kMftCluster, 0};
    mft.size = kMftRecords * kRecord;
    File(0, {NonResident(0x80, mft)});
    Folder(kRoot, {});
  }

  void File(uint64_t record, std::vector<Bytes> list, uint16_t flag = 1) {
    attributes[record] = std::move(list);
    flags[record] = flag;
  }
  void Folder(uint64_t record, std::vector<Bytes> entries,
              std::vector<Bytes> more = {}) {
    more.insert(more.begin(),
                Resident(0x90, IndexRoot(Node(entries)), u"$I30"));
    File(record, more, 3);
  }
  void Put(size_t cluster, const Bytes& data) {
    std::copy(data.begin(), data.end(), bytes.begin() + cluster * kCluster);
  }

  // The record as it lies on the volume, its fixups applied.
  Bytes Record(uint64_t number) const {
    Bytes r(kRecord);
    memcpy(&r[0], "FILE", 4);
    Put16(&r, 0x14, 0x38);
    Put16(&r, 0x16, flags[number]);
    Bytes body;
    for (const Bytes& a : attributes[number]) Append(&body, a);
    std::copy(body.begin(), body.end(), r.begin() + 0x38);
    Put32(&r, 0x38 + body.size(), 0xFFFFFFFF);
    Put32(&r, 0x18, static_cast<uint32_t>(0x38 + body.size() + 8));
    Put32(&r, 0x1C, kRecord);
    Protect(&r);
    return r;
  }

  Bytes Image() const {
    Bytes image = bytes;
    for (uint64_t n = 0; n < kMftRecords; ++n) {
      if (flags[n] == 0) continue;
      Bytes r = Record(n);
      std::copy(r.begin(), r.end(),
                image.begin() + kMftCluster * kCluster + n * kRecord);
    }
    return image;
  }
};

// An opened crafted volume, with the bytes it reads from.
struct Opened {
  Bytes image;
  uint64_t size = 0;
  NtfsVolumePtr volume;
  uint32_t error = 0;

  static bool Read(void* context, uint64_t offset, void* buffer,
                   size_t length) {
    const Opened* self = static_cast<const Opened*>(context);
    if (offset > self->size || length > self->size - offset) return false;
    memcpy(buffer, &self->image[offset], length);
    return true;
  }

  explicit Opened(const Bytes& bytes, uint64_t reader_size = 0)
      : image(bytes), size(reader_size ? reader_size : bytes.size()) {
    VolumeReader reader;
    reader.context = this;
    reader.read = Read;
    reader.size = size;
    error = OpenNtfsVolume(reader, &volume);
  }
};

std::vector<std::u16string> Names(const std::vector<NtfsEntry>& entries) {
  std::vector<std::u16string> names;
  for (const NtfsEntry& e : entries) names.push_back(e.name);
  return names;
}

// Reads the whole unnamed data stream of `record`, or the error.
std::string ReadAll(NtfsVolume* volume, uint64_t record, uint32_t* error) {
  std::string data(1 << 16, '\0');
  size_t got = 0;
  *error = ReadNtfsFile(volume, record, 0, &data[0], data.size(), &got);
  data.resize(got);
  return data;
}

TEST(NtfsVolume, ListsTheRootInIndexOrderAndReadsFiles) {
  Volume v;
  v.File(16, {Resident(0x30, FileName(u"alpha.sys", kWin32)),
              Resident(0x80, Of("resident bytes"))});
  NonResidentLayout data;
  data.pairs = {0x21, 2, 200, 0, 0};  // two clusters at 200
  data.size = 700;
  data.initialized = 600;  // the rest reads as zeros
  v.File(17, {Resident(0x30, FileName(u"Beta.SYS", kWin32)),
              NonResident(0x80, data),
              Resident(0x80, Of("not the file"), u"stream")});
  v.Put(200, Bytes(1024, 'x'));
  v.Folder(kRoot, {Entry(5, FileName(u".", kWin32AndDos, true)),
                   Entry(16, FileName(u"alpha.sys", kWin32)),
                   Entry(17, FileName(u"Beta.SYS", kWin32))});
  Opened opened(v.Image());
  ASSERT_EQ(opened.error, kErrorSuccess);
  std::vector<NtfsEntry> entries;
  ASSERT_EQ(ListNtfsFolder(opened.volume.get(), u"\\", &entries),
            kErrorSuccess);
  EXPECT_EQ(Names(entries),
            (std::vector<std::u16string>{u"alpha.sys", u"Beta.SYS"}));
  uint32_t error = 0;
  EXPECT_EQ(ReadAll(opened.volume.get(), 16, &error), "resident bytes");
  EXPECT_EQ(error, kErrorSuccess);
  EXPECT_EQ(ReadAll(opened.volume.get(), 17, &error),
            std::string(600, 'x') + std::string(100, '\0'));
  EXPECT_EQ(error, kErrorSuccess);

  // Reads past the end give fewer bytes, and none from the end on.
  char buffer[200];
  size_t got = 1;
  EXPECT_EQ(ReadNtfsFile(opened.volume.get(), 17, 650, buffer, 200, &got),
            kErrorSuccess);
  EXPECT_EQ(got, 50u);
  EXPECT_EQ(ReadNtfsFile(opened.volume.get(), 17, 700, buffer, 200, &got),
            kErrorSuccess);
  EXPECT_EQ(got, 0u);
  NtfsFileInfo info;
  ASSERT_EQ(GetNtfsFileInfo(opened.volume.get(), 17, &info), kErrorSuccess);
  EXPECT_EQ(info.size, 700u);
  EXPECT_FALSE(info.is_folder);
  EXPECT_EQ(GetNtfsFileInfo(opened.volume.get(), 20, &info),
            kErrorFileNotFound);
}

// A root whose B-tree has a level of index blocks below $INDEX_ROOT: the
// blocks at clusters 300 (vcn 0) and 308 (vcn 8), with the $BITMAP that
// marks them in use.
Volume TwoLevelRoot(uint64_t first_child_vcn = 0, uint8_t bitmap = 0x03) {
  Volume v;
  const char16_t* names[] = {u"a1", u"a2", u"B1", u"b2", u"c1", u"C2"};
  for (uint64_t i = 0; i < 6; ++i)
    v.File(16 + i, {Resident(0x30, FileName(names[i], kPosix)),
                    Resident(0x80, Of(std::string(1, 'a' + i)))});
  auto entry = [&](uint64_t i, uint64_t child = ~0ull) {
    return Entry(16 + i, FileName(names[i], kPosix), child);
  };
  NonResidentLayout allocation;
  allocation.pairs = {0x21, 16, 0x2C, 0x01, 0};  // 16 clusters at 300
  allocation.size = 2 * kIndexBlock;
  v.Folder(kRoot, {entry(2, first_child_vcn)},
           {NonResident(0xA0, allocation, u"$I30"),
            Resident(0xB0, Bytes{bitmap, 0, 0, 0, 0, 0, 0, 0}, u"$I30")});
  // The root node holds b1 with a1 and a2 below it, and c1 and C2 below
  // its last entry.
  Bytes root = IndexRoot(Node({entry(2, first_child_vcn)}, 8));
  root[0x10 + 0xC] = 1;  // the root node has children
  v.attributes[kRoot][0] = Resident(0x90, root, u"$I30");
  v.Put(300, IndexBlock(0, {entry(0), entry(1)}));
  v.Put(308, IndexBlock(8, {entry(3), entry(4), entry(5)}));
  return v;
}

TEST(NtfsVolume, WalksTheIndexBlocksInOrder) {
  Opened opened(TwoLevelRoot().Image());
  ASSERT_EQ(opened.error, kErrorSuccess);
  std::vector<NtfsEntry> entries;
  ASSERT_EQ(ListNtfsFolder(opened.volume.get(), u"", &entries), kErrorSuccess);
  EXPECT_EQ(Names(entries), (std::vector<std::u16string>{u"a1", u"a2", u"B1",
                                                         u"b2", u"c1", u"C2"}));
}

TEST(NtfsVolume, DamagedIndexEndsTheListingWithAnError) {
  struct Case {
    const char* what;
    Volume volume;
  } cases[] = {
      // The root's first entry leads to the block its last entry leads to.
      {"a block reached twice", TwoLevelRoot(8)},
      {"a block the bitmap calls free", TwoLevelRoot(0, 0x02)},
  };
  Volume self_loop = TwoLevelRoot();
  self_loop.Put(300, IndexBlock(0, {Entry(16, FileName(u"a1", kPosix), 0)}));
  Volume wrong_vcn = TwoLevelRoot();
  wrong_vcn.Put(300, IndexBlock(5, {}));
  Volume bad_fixup = TwoLevelRoot();
  bad_fixup.bytes[300 * kCluster + 1022] ^= 1;
  Volume overlong_entry = TwoLevelRoot();
  overlong_entry.bytes[300 * kCluster + 0x40 + 8] = 0xF0;
  overlong_entry.bytes[300 * kCluster + 0x40 + 9] = 0x0F;
  std::pair<const char*, Volume*> more[] = {
      {"a block that leads to itself", &self_loop},
      {"a block of another vcn", &wrong_vcn},
      {"a block whose fixup fails", &bad_fixup},
      {"an entry past its block", &overlong_entry}};
  auto check = [](const char* what, const Volume& volume) {
    Opened opened(volume.Image());
    ASSERT_EQ(opened.error, kErrorSuccess) << what;
    std::vector<NtfsEntry> entries;
    EXPECT_EQ(ListNtfsFolder(opened.volume.get(), u"", &entries),
              kErrorFileCorrupt)
        << what;
  };
  for (const Case& c : cases) check(c.what, c.volume);
  for (const auto& [what, volume] : more) check(what, *volume);
}

TEST(NtfsVolume, FindsFoldersIgnoringCaseAndBy83Names) {
  Volume v;
  v.Folder(16, {Entry(17, FileName(u"drivers", kWin32AndDos, true)),
                Entry(18, FileName(u"x.sysx", kWin32)),
                Entry(18, FileName(u"X~1.SYS", kDos)),
                Entry(19, FileName(u"ONLYDOS.SYS", kDos))});
  v.Folder(17, {Entry(20, FileName(u"inner.sys", kWin32))});
  v.File(18, {Resident(0x30, FileName(u"x.sysx", kWin32))});
  v.File(19, {Resident(0x30, FileName(u"ONLYDOS.SYS", kDos))});
  v.Folder(kRoot, {Entry(16, FileName(u"WINDOW~1", kDos, true)),
                   Entry(16, FileName(u"Windows folder", kWin32, true)),
                   Entry(18, FileName(u"x.sysx", kPosix))});
  Opened opened(v.Image());
  ASSERT_EQ(opened.error, kErrorSuccess);
  std::vector<NtfsEntry> entries;
  ASSERT_EQ(ListNtfsFolder(opened.volume.get(), u"\\window~1", &entries),
            kErrorSuccess);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, u"drivers");
  EXPECT_EQ(entries[0].short_name, u"drivers");
  EXPECT_TRUE(entries[0].is_folder);
  EXPECT_EQ(entries[1].name, u"x.sysx");
  EXPECT_EQ(entries[1].short_name, u"X~1.SYS");
  EXPECT_EQ(entries[2].name, u"ONLYDOS.SYS");
  EXPECT_EQ(ListNtfsFolder(opened.volume.get(), u"\\WINDOWS FOLDER\\DRIVERS",
                           &entries),
            kErrorSuccess);
  EXPECT_EQ(Names(entries), std::vector<std::u16string>{u"inner.sys"});
  ASSERT_EQ(ListNtfsFolder(opened.volume.get(), u"\\", &entries),
            kErrorSuccess);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].short_name, u"WINDOW~1");
  EXPECT_EQ(entries[1].short_name, u"");  // a POSIX hard link has none
  for (const char16_t* missing :
       {u"\\Windows", u"\\Windows folder\\missing", u"\\x.sysx"})
    EXPECT_EQ(ListNtfsFolder(opened.volume.get(), missing, &entries),
              kErrorPathNotFound)
        << NativeFromWide(missing);
}

TEST(NtfsVolume, RefusesWhatIsNoNtfsBootSector) {
  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"another OEM name", 3, {'F', 'A', 'T'}},
      {"no boot signature", 510, {0}},
      {"sectors of 100 bytes", 0xB, {100, 0}},
      {"three sectors a cluster", 0xD, {3}},
      {"no sectors", 0x28, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"the MFT past the end", 0x30, {0, 0x10}},
      {"records of 4 bytes", 0x40, {0xFE}},
      {"records of 2^30 bytes", 0x40, {0xE2}},
  };
  for (const Case& c : cases) {
    Bytes image = Volume().Image();
    std::copy(c.bytes.begin(), c.bytes.end(), image.begin() + c.offset);
    EXPECT_EQ(Opened(image).error, kErrorUnrecognizedVolume) << c.what;
  }
  EXPECT_EQ(Opened(Bytes(4096)).error, kErrorUnrecognizedVolume);
  EXPECT_EQ(Opened(Bytes(100)).error, kErrorUnrecognizedVolume);
}

TEST(NtfsVolume, FixupMismatchMakesThatRecordCorrupt) {
  Volume v;
  v.File(16,
         {Resident(0x30, FileName(u"bad", kWin32)), Resident(0x80, Of("bad"))});
  v.File(17, {Resident(0x30, FileName(u"good", kWin32)),
              Resident(0x80, Of("good"))});
  v.Folder(kRoot, {Entry(16, FileName(u"bad", kWin32)),
                   Entry(17, FileName(u"good", kWin32))});
  Bytes image = v.Image();
  image[kMftCluster * kCluster + 16 * kRecord + 510] ^= 0xFF;
  Opened opened(image);
  ASSERT_EQ(opened.error, kErrorSuccess);
  uint32_t error = 0;
  ReadAll(opened.volume.get(), 16, &error);
  EXPECT_EQ(error, kErrorFileCorrupt);
  NtfsFileInfo info;
  EXPECT_EQ(GetNtfsFileInfo(opened.volume.get(), 16, &info), kErrorFileCorrupt);
  EXPECT_EQ(ReadAll(opened.volume.get(), 17, &error), "good");

  // In record 0, the volume cannot be opened at all.
  image = v.Image();
  image[kMftCluster * kCluster + 1022] ^= 0xFF;
  EXPECT_EQ(Opened(image).error, kErrorFileCorrupt);
}

TEST(NtfsVolume, DamagedAttributesAndRunsFailTheirFile) {
  struct Case {
    const char* what;
    Bytes data;  // the file's $DATA attribute
    uint32_t error;
  };
  auto runs = [](Bytes pairs, uint64_t size) {
    NonResidentLayout layout;
    layout.pairs = pairs;
    layout.size = size;
    return NonResident(0x80, layout);
  };
  Bytes overrun = Resident(0x80, Of("data"));
  Put32(&overrun, 4, 4000);  // longer than the record
  Bytes value_overrun = Resident(0x80, Of("data"));
  Put32(&value_overrun, 0x10, 200);
  Case cases[] = {
      {"an attribute past its record", overrun, kErrorFileCorrupt},
      {"a value past its attribute", value_overrun, kErrorFileCorrupt},
      {"a run past the volume", runs({0x21, 4, 0x10, 0x27, 0}, 2048),
       kErrorFileCorrupt},
      {"a run before the volume", runs({0x11, 1, 0x80, 0}, 512),
       kErrorFileCorrupt},
      {"a run of no clusters", runs({0x11, 0, 10, 0}, 512), kErrorFileCorrupt},
      {"runs shorter than the data", runs({0x11, 1, 100, 0}, 4096),
       kErrorFileCorrupt},
      {"a run header past the attribute", runs({0x88, 1, 0, 0, 0, 0, 0, 0}, 1),
       kErrorFileCorrupt},
      {"LZNT1 unknown as compression",
       [&] {
         NonResidentLayout layout;
         layout.pairs = {0x11, 16, 100, 0};
         layout.size = 100;
         layout.flags = 0x0002;
         layout.unit_shift = 4;
         return NonResident(0x80, layout);
       }(),
       kErrorFileCorrupt},
  };
  for (const Case& c : cases) {
    Volume v;
    v.File(16, {Resident(0x30, FileName(u"f", kWin32)), c.data});
    Opened opened(v.Image());
    ASSERT_EQ(opened.error, kErrorSuccess) << c.what;
    uint32_t error = 0;
    ReadAll(opened.volume.get(), 16, &error);
    EXPECT_EQ(error, c.error) << c.what;
  }

  // A run within the volume that the reader cannot reach: the image ends
  // before the volume does.
  Volume v;
  v.File(16, {Resident(0x30, FileName(u"f", kWin32)),
              runs({0x21, 1, 0xF0, 0x01, 0}, 512)});  // cluster 496
  Opened truncated(v.Image(), 400 * kCluster);
  ASSERT_EQ(truncated.error, kErrorSuccess);
  uint32_t error = 0;
  ReadAll(truncated.volume.get(), 16, &error);
  EXPECT_EQ(error, kErrorIoDevice);
}

// LZNT1 data of one compression unit (16 clusters): "abc", then a phrase
// that copies from three back for 97 bytes.
Bytes CompressedAbc(uint16_t phrase = 0x205E) {
  Bytes chunk = {0, 0, 0x08, 'a', 'b', 'c', 0, 0};
  Put16(&chunk, 6, phrase);
  Put16(&chunk, 0, 0xB000 | (chunk.size() - 2 - 1));
  return chunk;
}

TEST(NtfsVolume, DecompressesLznt1Units) {
  auto volume = [](const Bytes& stored, uint64_t size) {
    Volume v;
    NonResidentLayout layout;
    layout.pairs = {0x11, 1, 120, 0x01, 15, 0};  // 1 stored, 15 a hole
    layout.size = size;
    layout.flags = 0x0001;
    layout.unit_shift = 4;
    v.File(16, {Resident(0x30, FileName(u"packed", kWin32)),
                NonResident(0x80, layout)});
    v.Put(120, stored);
    return v.Image();
  };
  std::string abc;
  while (abc.size() < 100) abc += "abc";
  abc.resize(100);
  Opened opened(volume(CompressedAbc(), 5000));
  ASSERT_EQ(opened.error, kErrorSuccess);
  uint32_t error = 0;
  EXPECT_EQ(ReadAll(opened.volume.get(), 16, &error),
            abc + std::string(4900, '\0'));
  EXPECT_EQ(error, kErrorSuccess);
  NtfsFileInfo info;
  ASSERT_EQ(GetNtfsFileInfo(opened.volume.get(), 16, &info), kErrorSuccess);
  EXPECT_TRUE(info.compressed);

  // A phrase that reaches before the chunk, or past its 4096 bytes.
  for (uint16_t phrase : {uint16_t{0x305E}, uint16_t{0x2FFF}}) {
    Opened bad(volume(CompressedAbc(phrase), 5000));
    ASSERT_EQ(bad.error, kErrorSuccess);
    ReadAll(bad.volume.get(), 16, &error);
    EXPECT_EQ(error, kErrorFileCorrupt) << phrase;
  }
}

}  // namespace
