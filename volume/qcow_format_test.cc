#include "volume/qcow_format.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/error_codes.h"

namespace {

void Put(std::vector<uint8_t>* bytes, size_t at, uint64_t value, size_t count) {
  if (bytes->size() < at + count) bytes->resize(at + count);
  for (size_t i = 0; i < count; ++i)
    (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * (count - 1 - i)));
}

// The header QEMU writes for a disk of 8 MiB in clusters of 64 KiB, with
// `version` 2 or 3, whose backing file is named at byte 512.
std::vector<uint8_t> Header(uint32_t version) {
  std::vector<uint8_t> bytes(4096);
  memcpy(bytes.data(), kQcowMagic, 4);
  Put(&bytes, 4, version, 4);
  Put(&bytes, 8, 512, 8);                      // backing file name
  Put(&bytes, 16, 10, 4);                      // and its size
  Put(&bytes, 20, 16, 4);                      // cluster bits
  Put(&bytes, 24, 8 << 20, 8);                 // disk size
  Put(&bytes, 36, 1, 4);                       // L1 entries
  Put(&bytes, 40, 0x30000, 8);                 // L1 table
  if (version == 3) Put(&bytes, 100, 112, 4);  // header length
  return bytes;
}

// Adds a header extension at `at`.
void Extend(std::vector<uint8_t>* bytes, size_t at, uint32_t type,
            const std::string& data) {
  Put(bytes, at, type, 4);
  Put(bytes, at + 4, data.size(), 4);
  for (size_t i = 0; i < data.size(); ++i) (*bytes)[at + 8 + i] = data[i];
}

constexpr uint32_t kBackingFormat = 0xE2792ACA;
constexpr uint32_t kFeatureNames = 0x6803f857;

TEST(QcowHeader, ReadsEachVersion) {
  std::vector<uint8_t> v3 = Header(3);
  Extend(&v3, 112, kFeatureNames, std::string(48, 'n'));
  Extend(&v3, 112 + 8 + 48, kBackingFormat, "qcow2");
  QcowHeader header;
  ASSERT_EQ(ParseQcowHeader(v3.data(), v3.size(), &header), kErrorSuccess);
  EXPECT_EQ(header.version, 3u);
  EXPECT_EQ(header.disk_size, uint64_t{8} << 20);
  EXPECT_EQ(header.cluster_bits, 16u);
  EXPECT_EQ(header.l2_bits, 13u);
  EXPECT_EQ(header.l1_offset, 0x30000u);
  EXPECT_EQ(header.l1_entries, 1u);
  EXPECT_EQ(header.backing_name_offset, 512u);
  EXPECT_EQ(header.backing_name_size, 10u);
  EXPECT_EQ(header.backing_format, "qcow2");
  EXPECT_FALSE(header.encrypted);

  // Version 2's extensions follow its shorter header.
  std::vector<uint8_t> v2 = Header(2);
  Extend(&v2, 72, kBackingFormat, "raw");
  Put(&v2, 32, 1, 4);  // AES
  ASSERT_EQ(ParseQcowHeader(v2.data(), v2.size(), &header), kErrorSuccess);
  EXPECT_EQ(header.backing_format, "raw");
  EXPECT_TRUE(header.encrypted);

  // Version 1 keeps its own layout, and no count of L1 entries.
  std::vector<uint8_t> v1(48);
  memcpy(v1.data(), kQcowMagic, 4);
  Put(&v1, 4, 1, 4);
  Put(&v1, 24, (8 << 20) + 1, 8);
  v1[32] = 12;  // cluster bits
  v1[33] = 9;   // L2 bits
  Put(&v1, 40, 0x1000, 8);
  ASSERT_EQ(ParseQcowHeader(v1.data(), v1.size(), &header), kErrorSuccess);
  EXPECT_EQ(header.l2_bits, 9u);
  EXPECT_EQ(header.l1_entries, 5u);  // 2 MiB each, and one byte more
  EXPECT_EQ(header.l1_offset, 0x1000u);
  EXPECT_EQ(header.backing_name_size, 0u);
}

TEST(QcowHeader, RefusesWhatItCannotRead) {
  struct Case {
    const char* what;
    uint32_t version;
    size_t at;  // the field changed, in its size
    uint64_t value;
    size_t size;
    uint32_t error;
  } cases[] = {
      {"no magic", 3, 0, 0x51464900, 4, kErrorFileCorrupt},
      {"version 4", 3, 4, 4, 4, kErrorNotSupported},
      {"version 0", 2, 4, 0, 4, kErrorNotSupported},
      {"clusters of 256 bytes", 3, 20, 8, 4, kErrorFileCorrupt},
      {"clusters of 4 MiB", 3, 20, 22, 4, kErrorFileCorrupt},
      {"a backing file name of 1 KiB", 2, 16, 1024, 4, kErrorFileCorrupt},
      {"a disk past every offset", 3, 24, 1ull << 63, 8, kErrorFileCorrupt},
      {"an L1 table of 32 MiB and more", 2, 36, (4 << 20) + 1, 4,
       kErrorFileCorrupt},
      {"more snapshots than QEMU opens", 3, 60, 65537, 4, kErrorFileCorrupt},
      {"marked corrupt", 3, 72, 1 << 1, 8, kErrorFileCorrupt},
      {"an external data file", 3, 72, 1 << 2, 8, kErrorNotSupported},
      {"zstd compression", 3, 72, 1 << 3, 8, kErrorNotSupported},
      {"extended L2 entries", 3, 72, 1 << 4, 8, kErrorNotSupported},
      {"an unknown feature", 3, 72, 1ull << 40, 8, kErrorNotSupported},
      {"a header shorter than version 3's", 3, 100, 72, 4, kErrorFileCorrupt},
      {"a header longer than the bytes", 3, 100, 8192, 4, kErrorFileCorrupt},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = Header(c.version);
    Put(&bytes, c.at, c.value, c.size);
    QcowHeader header;
    EXPECT_EQ(ParseQcowHeader(bytes.data(), bytes.size(), &header), c.error)
        << c.what;
  }

  std::vector<uint8_t> dirty = Header(3);
  Put(&dirty, 72, 1, 8);
  QcowHeader header;
  EXPECT_EQ(ParseQcowHeader(dirty.data(), dirty.size(), &header), kErrorSuccess)
      << "an image that was not closed cleanly";

  std::vector<uint8_t> v1(48);
  memcpy(v1.data(), kQcowMagic, 4);
  Put(&v1, 4, 1, 4);
  v1[32] = 16;
  v1[33] = 14;
  EXPECT_EQ(ParseQcowHeader(v1.data(), v1.size(), &header), kErrorFileCorrupt)
      << "version 1 with L2 tables of 128 KiB";

  for (size_t size : {0, 7, 71}) {
    std::vector<uint8_t> bytes = Header(2);
    EXPECT_EQ(ParseQcowHeader(bytes.data(), size, &header), kErrorFileCorrupt)
        << size << " bytes";
  }
}

// An extension may claim any length: none is read past the bytes there
// are, or past the first cluster.
TEST(QcowHeader, ReadsExtensionsWithinTheFirstCluster) {
  std::vector<uint8_t> bytes = Header(3);
  Extend(&bytes, 112, kFeatureNames, "");
  Put(&bytes, 116, 0xfffffff0, 4);
  QcowHeader header;
  EXPECT_EQ(ParseQcowHeader(bytes.data(), bytes.size(), &header),
            kErrorSuccess);
  EXPECT_EQ(header.backing_format, "");

  // The format's extension right after the first cluster of 512 bytes.
  bytes = Header(3);
  Extend(&bytes, 112, kFeatureNames, std::string(392, 'n'));
  Extend(&bytes, 512, kBackingFormat, "qcow2");
  ASSERT_EQ(ParseQcowHeader(bytes.data(), bytes.size(), &header),
            kErrorSuccess);
  EXPECT_EQ(header.backing_format, "qcow2") << "in a cluster of 64 KiB";
  Put(&bytes, 20, 9, 4);
  ASSERT_EQ(ParseQcowHeader(bytes.data(), bytes.size(), &header),
            kErrorSuccess);
  EXPECT_EQ(header.backing_format, "");
}

TEST(QcowHeader, TellsWhichImageHoldsACluster) {
  QcowHeader v3, v1;
  v3.version = 3;
  v1.version = 1;
  const uint64_t kCopied = 1ull << 63, kCompressed = 1ull << 62;
  struct Case {
    const QcowHeader& header;
    uint64_t entry;
    QcowCluster holder;
  } cases[] = {
      {v3, 0, QcowCluster::kBelow},
      {v3, kCopied, QcowCluster::kBelow},
      {v3, kCopied | 0x50000, QcowCluster::kInImage},
      {v3, 0x50000 | 1, QcowCluster::kZeros},  // its old bytes are not read
      {v3, 1, QcowCluster::kZeros},
      {v3, kCompressed | 0x50001, QcowCluster::kInImage},
      {v3, 0x1fe, QcowCluster::kBelow},  // reserved bits, no offset
      {v1, 0, QcowCluster::kBelow},
      {v1, 0x1000, QcowCluster::kInImage},
      {v1, kCopied | 0x1000, QcowCluster::kInImage},  // compressed
  };
  for (const Case& c : cases)
    EXPECT_EQ(QcowClusterOfEntry(c.header, c.entry), c.holder)
        << "version " << c.header.version << ", entry " << std::hex << c.entry;
  EXPECT_EQ(QcowL2TableOffset(v3, kCopied | 0x70000), 0x70000u);
  EXPECT_EQ(QcowL2TableOffset(v3, kCopied), 0u);
  EXPECT_EQ(QcowL2TableOffset(v1, 0x70000), 0x70000u);
}

TEST(QcowHeader, TellsWhereAClustersBytesLie) {
  QcowHeader v3, v3_small, v1;
  v3.version = 3;
  v3.cluster_bits = 16;
  v3_small.version = 3;
  v3_small.cluster_bits = 9;
  v1.version = 1;
  v1.cluster_bits = 12;
  const uint64_t kCopied = 1ull << 63, kCompressed = 1ull << 62;
  struct Case {
    const char* what;
    const QcowHeader& header;
    uint64_t entry;
    uint64_t offset, size;
  } cases[] = {
      {"stored", v3, kCopied | 0x50000, 0x50000, 65536},
      {"compressed, three sectors more", v3,
       kCompressed | uint64_t{3} << 54 | 0x12345, 0x12345, 4 * 512 - 0x145},
      {"compressed in clusters of 512 bytes", v3_small,
       kCompressed | uint64_t{1} << 61 | 0x200, 0x200, 1024},
      {"version 1, stored", v1, 0x1000, 0x1000, 4096},
      {"version 1, compressed", v1, kCopied | uint64_t{100} << 51 | 0x3000,
       0x3000, 100},
  };
  for (const Case& c : cases) {
    uint64_t offset = 0, size = 0;
    QcowClusterBytes(c.header, c.entry, &offset, &size);
    EXPECT_EQ(offset, c.offset) << c.what;
    EXPECT_EQ(size, c.size) << c.what;
  }
}

TEST(QcowBackingPath, FindsTheFileAsQemuDoes) {
  struct Case {
    const char* image;
    std::string name;
    const char* path;  // null: no file
  } cases[] = {
      {"/vm/top.qcow2", "base.qcow2", "/vm/base.qcow2"},
      {"/vm/disks/top.qcow2", "../base/base.qcow2",
       "/vm/disks/../base/base.qcow2"},
      {"top.qcow2", "base.qcow2", "base.qcow2"},
      {"/vm/top.qcow2", "/images/base.qcow2", "/images/base.qcow2"},
      {"/vm/top.qcow2", "old/x:1.qcow2", "/vm/old/x:1.qcow2"},
      {"/vm/top.qcow2", "nbd://host:10809/disk", nullptr},
      {"/vm/top.qcow2", "json:{\"file.filename\":\"/x\"}", nullptr},
      {"/vm/top.qcow2", "", nullptr},
      {"/vm/top.qcow2", std::string("a\0b", 3), nullptr},
  };
  for (const Case& c : cases) {
    std::string path = "unchanged";
    EXPECT_EQ(QcowBackingPath(c.image, c.name, &path), c.path != nullptr)
        << c.image << " " << c.name;
    EXPECT_EQ(path, c.path != nullptr ? c.path : "unchanged")
        << c.image << " " << c.name;
  }
}

}  // namespace
