#include "volume/qcow_format.h"

#include <cstring>

#include "common/error_codes.h"

namespace {

// The sizes of the headers of each version: 1, 2 and 3 at its least.
constexpr size_t kVersion1HeaderBytes = 48;
constexpr size_t kVersion2HeaderBytes = 72;
constexpr size_t kVersion3HeaderBytes = 104;

// Incompatible features of version 3 that the kit reads: only the flag of
// an image that was not closed cleanly, whose tables still map its data.
constexpr uint64_t kDirtyFeature = 1 << 0;
constexpr uint64_t kCorruptFeature = 1 << 1;

// The largest L1 table and the most snapshots that QEMU opens an image
// with: the libraries that read the image take them for their memory.
constexpr uint64_t kMostL1Entries = (32 << 20) / 8;
constexpr uint32_t kMostSnapshots = 65536;

// The header extension that names the backing file's format.
constexpr uint32_t kBackingFormatExtension = 0xE2792ACA;
constexpr uint32_t kMostFormatNameBytes = 32;

// The bits of table entries, for versions 2 and 3.
constexpr uint64_t kOffsetMask = 0x00fffffffffffe00ull;
constexpr uint64_t kCompressed = 1ull << 62;
constexpr uint64_t kReadsAsZeros = 1ull << 0;

uint64_t BigEndian(const uint8_t* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

uint32_t Read32(const uint8_t* bytes, size_t at) {
  return static_cast<uint32_t>(BigEndian(bytes + at, 4));
}

uint64_t Read64(const uint8_t* bytes, size_t at) {
  return BigEndian(bytes + at, 8);
}

// The cluster and table sizes QEMU accepts for each version.
bool ValidSizes(const QcowHeader& header) {
  if (header.version == 1)
    return header.cluster_bits >= 9 && header.cluster_bits <= 16 &&
           header.l2_bits >= 6 && header.l2_bits <= 13;
  return header.cluster_bits >= 9 && header.cluster_bits <= 21;
}

// Reads the backing file's format from the header extensions, which follow
// the header within the first cluster.
void ReadBackingFormat(const uint8_t* bytes, size_t size, size_t at,
                       QcowHeader* header) {
  size_t end = size;
  if (header->cluster_bits < 63 && end > (size_t{1} << header->cluster_bits))
    end = size_t{1} << header->cluster_bits;
  while (at <= end && end - at >= 8) {
    uint32_t type = Read32(bytes, at), length = Read32(bytes, at + 4);
    if (type == 0 || length > end - at - 8) return;
    if (type == kBackingFormatExtension && length <= kMostFormatNameBytes) {
      header->backing_format.assign(
          reinterpret_cast<const char*>(bytes + at + 8), length);
      return;
    }
    at += 8 + (static_cast<size_t>(length) + 7) / 8 * 8;
  }
}

}  // namespace

uint32_t ParseQcowHeader(const uint8_t* bytes, size_t size,
                         QcowHeader* header) {
  *header = QcowHeader();
  if (size < 8 || memcmp(bytes, kQcowMagic, 4) != 0) return kErrorFileCorrupt;
  header->version = Read32(bytes, 4);
  if (header->version < 1 || header->version > 3) return kErrorNotSupported;
  size_t header_bytes = header->version == 1   ? kVersion1HeaderBytes
                        : header->version == 2 ? kVersion2HeaderBytes
                                               : kVersion3HeaderBytes;
  if (size < header_bytes) return kErrorFileCorrupt;

  header->backing_name_offset = Read64(bytes, 8);
  header->backing_name_size = Read32(bytes, 16);
  header->disk_size = Read64(bytes, 24);
  if (header->version == 1) {
    header->cluster_bits = bytes[32];
    header->l2_bits = bytes[33];
    header->encrypted = Read32(bytes, 36) != 0;
    header->l1_offset = Read64(bytes, 40);
  } else {
    header->cluster_bits = Read32(bytes, 20);
    header->l2_bits = header->cluster_bits - 3;
    header->encrypted = Read32(bytes, 32) != 0;
    header->l1_entries = Read32(bytes, 36);
    header->l1_offset = Read64(bytes, 40);
    if (Read32(bytes, 60) > kMostSnapshots) return kErrorFileCorrupt;
  }
  if (!ValidSizes(*header) || header->disk_size > INT64_MAX ||
      header->backing_name_size > kMostQcowBackingNameBytes)
    return kErrorFileCorrupt;
  if (header->version == 1) {
    // Version 1 keeps no count: its L1 table maps the whole disk.
    uint32_t shift = header->cluster_bits + header->l2_bits;
    header->l1_entries =
        (header->disk_size + (uint64_t{1} << shift) - 1) >> shift;
  }
  if (header->l1_entries > kMostL1Entries) return kErrorFileCorrupt;
  if (header->version == 1) return kErrorSuccess;

  size_t extensions = kVersion2HeaderBytes;
  if (header->version == 3) {
    uint64_t incompatible = Read64(bytes, 72);
    if ((incompatible & kCorruptFeature) != 0) return kErrorFileCorrupt;
    if ((incompatible & ~kDirtyFeature) != 0) return kErrorNotSupported;
    uint32_t length = Read32(bytes, 100);
    if (length < kVersion3HeaderBytes || length > size)
      return kErrorFileCorrupt;
    extensions = length;
  }
  ReadBackingFormat(bytes, size, extensions, header);
  return kErrorSuccess;
}

uint64_t QcowL2TableOffset(const QcowHeader& header, uint64_t l1_entry) {
  return header.version == 1 ? l1_entry : l1_entry & kOffsetMask;
}

QcowCluster QcowClusterOfEntry(const QcowHeader& header, uint64_t l2_entry) {
  // Version 1 keeps plain offsets, with a flag for compressed clusters.
  if (header.version == 1)
    return l2_entry != 0 ? QcowCluster::kInImage : QcowCluster::kBelow;
  if ((l2_entry & kCompressed) != 0) return QcowCluster::kInImage;
  if ((l2_entry & kReadsAsZeros) != 0) return QcowCluster::kZeros;
  return (l2_entry & kOffsetMask) != 0 ? QcowCluster::kInImage
                                       : QcowCluster::kBelow;
}

void QcowClusterBytes(const QcowHeader& header, uint64_t l2_entry,
                      uint64_t* offset, uint64_t* size) {
  const uint64_t cluster_size = uint64_t{1} << header.cluster_bits;
  if (header.version == 1) {
    // The offset, then the compressed size in the bits above it.
    const uint32_t bits = 63 - header.cluster_bits;
    bool compressed = (l2_entry >> 63) != 0;
    *offset = compressed ? l2_entry & ((uint64_t{1} << bits) - 1) : l2_entry;
    *size = compressed ? (l2_entry >> bits) & (cluster_size - 1) : cluster_size;
    return;
  }
  if ((l2_entry & kCompressed) == 0) {
    *offset = l2_entry & kOffsetMask;
    *size = cluster_size;
    return;
  }
  // The offset, then the count of the 512-byte sectors that the compressed
  // bytes reach into beyond the offset's own.
  const uint32_t bits = 62 - (header.cluster_bits - 8);
  *offset = l2_entry & ((uint64_t{1} << bits) - 1);
  uint64_t more_sectors =
      (l2_entry >> bits) & ((uint64_t{1} << (header.cluster_bits - 8)) - 1);
  *size = (more_sectors + 1) * 512 - (*offset & 511);
}

bool QcowBackingPath(const std::string& image_path,
                     const std::string& backing_name, std::string* path) {
  if (backing_name.empty() || backing_name.find('\0') != std::string::npos)
    return false;
  // As QEMU tells them: a colon before any slash ends a protocol's name.
  size_t colon = backing_name.find_first_of(":/");
  if (colon != std::string::npos && backing_name[colon] == ':') return false;
  if (backing_name[0] == '/') {
    *path = backing_name;
    return true;
  }
  size_t slash = image_path.rfind('/');
  *path = (slash == std::string::npos ? "" : image_path.substr(0, slash + 1)) +
          backing_name;
  return true;
}
