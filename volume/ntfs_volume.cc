#include "volume/ntfs_volume.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <utility>

namespace {

// Attribute types.
constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kAttributeList = 0x20;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
constexpr uint32_t kIndexRoot = 0x90;
constexpr uint32_t kIndexAllocation = 0xA0;
constexpr uint32_t kBitmap = 0xB0;
constexpr uint32_t kReparsePoint = 0xC0;
constexpr uint32_t kEndOfAttributes = 0xFFFFFFFF;

// System files and the first record of the volume's own files.
constexpr uint64_t kMftRecord = 0;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kUpcaseRecord = 10;
constexpr uint64_t kFirstUserRecord = 16;

// Record header flags.
constexpr uint16_t kRecordInUse = 0x1;
constexpr uint16_t kRecordIsFolder = 0x2;

// Attribute header flags.
constexpr uint16_t kCompressionMask = 0x00FF;
constexpr uint16_t kCompressionLznt1 = 0x0001;
constexpr uint16_t kAttributeEncrypted = 0x4000;
constexpr uint16_t kAttributeSparse = 0x8000;

// File attributes in $STANDARD_INFORMATION and $FILE_NAME.
constexpr uint32_t kFileSparse = 0x200;
constexpr uint32_t kFileReparsePoint = 0x400;
constexpr uint32_t kFileCompressed = 0x800;
constexpr uint32_t kFileEncrypted = 0x4000;
constexpr uint32_t kFileNameIsFolder = 0x10000000;

// $FILE_NAME namespaces.
constexpr uint8_t kWin32Name = 1;
constexpr uint8_t kDosName = 2;
constexpr uint8_t kWin32AndDosName = 3;

// Index entry flags.
constexpr uint16_t kEntryHasChild = 0x1;
constexpr uint16_t kEntryIsLast = 0x2;

// Every multi-sector record is protected in strides of this many bytes.
constexpr size_t kFixupStride = 512;

// An MFT reference: the record number in its low 48 bits.
constexpr uint64_t kRecordMask = 0xFFFFFFFFFFFFull;

constexpr uint64_t kSparseRun = ~0ull;
constexpr uint64_t kNoRecord = ~0ull;

// Sizes above this are damage: every offset within a stream stays far from
// overflowing.
constexpr uint64_t kMostStreamBytes = 1ull << 62;
// Caps that keep a damaged volume from taking memory without bound. Windows
// keeps an attribute list within 256 KiB; real folders hold a few hundred
// thousand entries at most.
constexpr uint64_t kMostListBytes = 256 * 1024;
constexpr size_t kMostExtensionRecords = 4096;
constexpr size_t kMostRuns = 1 << 20;
constexpr size_t kMostFolderEntries = 1 << 20;
constexpr uint64_t kMostBitmapBytes = 16 << 20;
constexpr size_t kMostIndexDepth = 32;
constexpr uint64_t kMostUnitBytes = 1 << 20;
constexpr size_t kCachedRecords = 16;
constexpr size_t kCachedFolders = 64;
constexpr size_t kUpcaseUnits = 65536;
constexpr size_t kLznt1ChunkBytes = 4096;
constexpr uint64_t kMostReparseBytes = 8 + 16 * 1024;

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(Get32(p)) | static_cast<uint64_t>(Get32(p + 4))
                                               << 32;
}

bool IsPowerOfTwo(uint64_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// A run of clusters: `length` clusters from `vcn` of the stream at `lcn` of
// the volume, or a hole.
struct Run {
  uint64_t vcn;
  uint64_t lcn;  // kSparseRun for a hole
  uint64_t length;
};

// The value of an attribute, in the record or in runs on the volume.
struct Stream {
  bool resident = false;
  std::vector<uint8_t> value;  // resident
  std::vector<Run> runs;       // ascending, contiguous from vcn 0
  uint64_t size = 0;
  uint64_t initialized_size = 0;
  uint16_t flags = 0;
  uint64_t unit_bytes = 0;  // of a compression unit; 0 uncompressed
};

// One attribute as it stands in its record, header and all, checked to lie
// within itself.
struct Attribute {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;

  bool non_resident() const { return bytes[8] != 0; }
  size_t name_length() const { return bytes[9]; }
  const uint8_t* name() const { return bytes.data() + Get16(&bytes[0xA]); }
  uint16_t flags() const { return Get16(&bytes[0xC]); }
  uint16_t id() const { return Get16(&bytes[0xE]); }
  // Resident only.
  const uint8_t* value() const { return bytes.data() + Get16(&bytes[0x14]); }
  uint32_t value_length() const { return Get32(&bytes[0x10]); }
  // Non-resident only.
  uint64_t lowest_vcn() const { return Get64(&bytes[0x10]); }
};

// A file's attributes, from its base record and, through its attribute
// list, from its extension records.
struct FileRecords {
  uint16_t flags = 0;
  uint16_t sequence = 0;
  std::vector<Attribute> attributes;
  std::vector<uint64_t> records;  // the base record, then its extensions
  std::vector<Attribute> list;    // the attribute list, when there is one
};

struct CachedRecord {
  uint64_t number = kNoRecord;
  std::vector<uint8_t> bytes;
};

// The last compression unit decoded, so that reads smaller than a unit
// decode it once.
struct UnitCache {
  uint64_t index = kNoRecord;
  std::vector<uint8_t> bytes;
};

// An index entry as it was met in the B-tree.
struct IndexName {
  WideString name;
  uint8_t name_space = 0;
  uint64_t record = 0;
  uint16_t sequence = 0;
  bool is_folder = false;
};

}  // namespace

struct NtfsVolume {
  VolumeReader reader;
  uint64_t readable_bytes = 0;
  uint32_t cluster_size = 0;
  uint64_t total_clusters = 0;
  uint32_t record_size = 0;
  Stream mft;
  uint64_t mft_records = 0;
  std::vector<char16_t> upcase;

  std::vector<CachedRecord> records;
  size_t next_record_slot = 0;

  // The data stream read last: of the file of `data_record`, the stream
  // named `data_name` (the unnamed one when empty).
  uint64_t data_record = kNoRecord;
  WideString data_name;
  bool data_is_folder = false;
  bool has_data = false;
  Stream data;
  UnitCache data_unit;

  // Folders found by path, by the path as it was asked for.
  std::map<WideString, uint64_t> folders;
};

namespace {

uint32_t ReadVolume(NtfsVolume* volume, uint64_t offset, void* buffer,
                    size_t length) {
  if (length == 0) return kErrorSuccess;
  if (offset > volume->readable_bytes ||
      length > volume->readable_bytes - offset)
    return kErrorIoDevice;
  return volume->reader.read(volume->reader.context, offset, buffer, length)
             ? kErrorSuccess
             : kErrorIoDevice;
}

// Checks and removes the update sequence of a multi-sector record in place:
// the last two bytes of each 512-byte stride must hold the sequence number,
// and get back the bytes kept in the record's array.
uint32_t ApplyFixups(uint8_t* block, size_t size, const char* signature) {
  if (size < kFixupStride || size % kFixupStride != 0 ||
      memcmp(block, signature, 4) != 0)
    return kErrorFileCorrupt;
  size_t array = Get16(block + 4), count = Get16(block + 6);
  if (count != size / kFixupStride + 1 || array % 2 != 0 || array < 8 ||
      array + 2 * count > kFixupStride - 2)
    return kErrorFileCorrupt;
  uint16_t number = Get16(block + array);
  for (size_t i = 1; i < count; ++i) {
    uint8_t* end = block + i * kFixupStride - 2;
    if (Get16(end) != number) return kErrorFileCorrupt;
    memcpy(end, block + array + 2 * i, 2);
  }
  return kErrorSuccess;
}

// The attributes of a record, each checked to lie within the record and its
// parts within itself.
uint32_t SplitAttributes(const uint8_t* record, size_t size,
                         std::vector<Attribute>* attributes) {
  size_t used = Get32(record + 0x18), offset = Get16(record + 0x14);
  if (used > size || offset < 0x18 || offset > used) return kErrorFileCorrupt;
  for (;;) {
    if (used - offset < 4) return kErrorFileCorrupt;
    uint32_t type = Get32(record + offset);
    if (type == kEndOfAttributes) return kErrorSuccess;
    if (used - offset < 0x18) return kErrorFileCorrupt;
    const uint8_t* header = record + offset;
    uint32_t length = Get32(header + 4);
    if (length < 0x18 || length > used - offset) return kErrorFileCorrupt;
    size_t name_end = Get16(header + 0xA) + 2 * size_t{header[9]};
    if (header[9] != 0 && name_end > length) return kErrorFileCorrupt;
    if (header[8] != 0) {
      if (length < 0x40 || Get16(header + 0x20) > length)
        return kErrorFileCorrupt;
    } else {
      uint32_t value_length = Get32(header + 0x10);
      uint16_t value_offset = Get16(header + 0x14);
      if (value_offset > length || value_length > length - value_offset)
        return kErrorFileCorrupt;
    }
    Attribute attribute;
    attribute.type = type;
    attribute.bytes.assign(header, header + length);
    attributes->push_back(std::move(attribute));
    offset += length;
  }
}

bool SameName(const Attribute& attribute, const char16_t* name, size_t length) {
  if (attribute.name_length() != length) return false;
  if (length == 0) return true;
  const uint8_t* units = attribute.name();
  for (size_t i = 0; i < length; ++i)
    if (Get16(units + 2 * i) != name[i]) return false;
  return true;
}

// Decodes the mapping pairs of one extent, whose first cluster is `vcn`,
// onto `runs`.
uint32_t DecodeRuns(const NtfsVolume& volume, const uint8_t* pairs,
                    size_t length, uint64_t vcn, std::vector<Run>* runs) {
  const uint64_t most_vcn = kMostStreamBytes / volume.cluster_size;
  uint64_t lcn = 0;
  size_t i = 0;
  while (i < length && pairs[i] != 0) {
    size_t length_size = pairs[i] & 0xF, offset_size = pairs[i] >> 4;
    ++i;
    if (length_size == 0 || length_size > 8 || offset_size > 8 ||
        length_size + offset_size > length - i)
      return kErrorFileCorrupt;
    uint64_t count = 0;
    for (size_t b = 0; b < length_size; ++b)
      count |= static_cast<uint64_t>(pairs[i + b]) << (8 * b);
    i += length_size;
    if (count == 0 || vcn > most_vcn || count > most_vcn - vcn)
      return kErrorFileCorrupt;
    uint64_t at = kSparseRun;
    if (offset_size != 0) {
      uint64_t delta = 0;
      for (size_t b = 0; b < offset_size; ++b)
        delta |= static_cast<uint64_t>(pairs[i + b]) << (8 * b);
      if (offset_size < 8 && (pairs[i + offset_size - 1] & 0x80) != 0)
        delta |= ~0ull << (8 * offset_size);
      i += offset_size;
      // lcn lies within the volume, far below 2^63: taken modulo 2^64, the
      // sum lands within the volume only when the true sum does.
      lcn += delta;
      if (lcn > volume.total_clusters || count > volume.total_clusters - lcn)
        return kErrorFileCorrupt;
      at = lcn;
    }
    if (runs->size() >= kMostRuns) return kErrorNotEnoughMemory;
    runs->push_back(Run{vcn, at, count});
    vcn += count;
  }
  return kErrorSuccess;
}

// The stream of the attribute of `type` and `name`: a resident value, or
// the runs of all its extents in order.
uint32_t BuildStream(const NtfsVolume& volume, const FileRecords& file,
                     uint32_t type, const char16_t* name, size_t name_length,
                     Stream* stream, bool* found) {
  std::vector<const Attribute*> extents;
  for (const Attribute& attribute : file.attributes)
    if (attribute.type == type && SameName(attribute, name, name_length))
      extents.push_back(&attribute);
  *found = !extents.empty();
  *stream = Stream();
  if (extents.empty()) return kErrorSuccess;
  const Attribute& first = *extents[0];
  if (!first.non_resident()) {
    if (extents.size() != 1) return kErrorFileCorrupt;
    stream->resident = true;
    stream->value.assign(first.value(), first.value() + first.value_length());
    stream->size = stream->initialized_size = stream->value.size();
    return kErrorSuccess;
  }
  for (const Attribute* extent : extents)
    if (!extent->non_resident()) return kErrorFileCorrupt;
  std::stable_sort(extents.begin(), extents.end(),
                   [](const Attribute* a, const Attribute* b) {
                     return a->lowest_vcn() < b->lowest_vcn();
                   });
  const Attribute& base = *extents[0];
  stream->size = Get64(&base.bytes[0x30]);
  stream->initialized_size = Get64(&base.bytes[0x38]);
  stream->flags = base.flags();
  if (stream->size > kMostStreamBytes) return kErrorFileCorrupt;
  stream->initialized_size = std::min(stream->initialized_size, stream->size);
  if ((stream->flags & kCompressionMask) != 0) {
    uint8_t unit_shift = base.bytes[0x22];
    if ((stream->flags & kCompressionMask) != kCompressionLznt1 ||
        unit_shift == 0 || unit_shift > 16 ||
        (uint64_t{volume.cluster_size} << unit_shift) > kMostUnitBytes)
      return kErrorFileCorrupt;
    stream->unit_bytes = uint64_t{volume.cluster_size} << unit_shift;
  }
  uint64_t next_vcn = 0;
  for (const Attribute* extent : extents) {
    if (extent->lowest_vcn() != next_vcn) return kErrorFileCorrupt;
    size_t pairs = Get16(&extent->bytes[0x20]);
    uint32_t error =
        DecodeRuns(volume, &extent->bytes[pairs], extent->bytes.size() - pairs,
                   next_vcn, &stream->runs);
    if (error != kErrorSuccess) return error;
    if (!stream->runs.empty())
      next_vcn = stream->runs.back().vcn + stream->runs.back().length;
  }
  return kErrorSuccess;
}

// The run that holds cluster `vcn` of the stream; null past its runs.
const Run* RunAt(const Stream& stream, uint64_t vcn) {
  auto after = std::upper_bound(
      stream.runs.begin(), stream.runs.end(), vcn,
      [](uint64_t cluster, const Run& run) { return cluster < run.vcn; });
  if (after == stream.runs.begin()) return nullptr;
  const Run& run = *(after - 1);
  return vcn - run.vcn < run.length ? &run : nullptr;
}

// Reads the stored bytes [offset, offset + length) of a stream in runs, as
// they lie on the volume.
uint32_t ReadRuns(NtfsVolume* volume, const Stream& stream, uint64_t offset,
                  uint8_t* buffer, size_t length) {
  while (length > 0) {
    uint64_t vcn = offset / volume->cluster_size;
    const Run* run = RunAt(stream, vcn);
    if (run == nullptr) return kErrorFileCorrupt;
    uint64_t within = offset - run->vcn * volume->cluster_size;
    uint64_t left = run->length * volume->cluster_size - within;
    size_t count = static_cast<size_t>(std::min<uint64_t>(length, left));
    if (run->lcn == kSparseRun) {
      memset(buffer, 0, count);
    } else {
      uint32_t error = ReadVolume(
          volume, run->lcn * volume->cluster_size + within, buffer, count);
      if (error != kErrorSuccess) return error;
    }
    buffer += count;
    offset += count;
    length -= count;
  }
  return kErrorSuccess;
}

// Decompresses LZNT1 data into exactly `out_size` bytes: chunks of 4096
// bytes each, a chunk that ends early and everything after the last one
// filled with zeros.
bool Lznt1Decompress(const uint8_t* in, size_t in_size, uint8_t* out,
                     size_t out_size) {
  size_t ip = 0, op = 0;
  while (op < out_size && in_size - ip >= 2) {
    uint16_t header = Get16(in + ip);
    if (header == 0) break;
    ip += 2;
    size_t chunk_in = (header & 0xFFF) + 1;
    if (chunk_in > in_size - ip) return false;
    size_t in_end = ip + chunk_in;
    size_t start = op, end = std::min(op + kLznt1ChunkBytes, out_size);
    if ((header & 0x8000) == 0) {
      if (chunk_in > end - op) return false;
      memcpy(out + op, in + ip, chunk_in);
      op += chunk_in;
    } else {
      while (ip < in_end) {
        uint8_t tags = in[ip++];
        for (int bit = 0; bit < 8 && ip < in_end; ++bit, tags >>= 1) {
          if ((tags & 1) == 0) {
            if (op == end) return false;
            out[op++] = in[ip++];
            continue;
          }
          if (in_end - ip < 2 || op == start) return false;
          uint16_t token = Get16(in + ip);
          ip += 2;
          size_t position = op - start;
          unsigned shift = 12;
          for (size_t i = position - 1; i >= 0x10; i >>= 1) --shift;
          size_t back = (token >> shift) + 1;
          size_t count = (token & ((1u << shift) - 1)) + 3;
          if (back > position || count > end - op) return false;
          for (; count > 0; --count, ++op) out[op] = out[op - back];
        }
      }
    }
    memset(out + op, 0, end - op);
    op = end;
    ip = in_end;
  }
  memset(out + op, 0, out_size - op);
  return true;
}

// Decodes compression unit `index` of a compressed stream into `unit`: a
// unit without stored clusters is a hole, one stored whole is not
// compressed, and the others hold LZNT1 data in their stored clusters.
uint32_t DecodeUnit(NtfsVolume* volume, const Stream& stream, uint64_t index,
                    UnitCache* unit) {
  if (unit->index == index) return kErrorSuccess;
  unit->index = kNoRecord;
  uint64_t clusters = stream.unit_bytes / volume->cluster_size;
  uint64_t first = index * clusters;
  size_t unit_bytes = static_cast<size_t>(stream.unit_bytes);
  unit->bytes.resize(unit_bytes);
  std::vector<uint8_t> stored;
  uint64_t stored_clusters = 0;
  for (uint64_t vcn = first; vcn < first + clusters;) {
    const Run* run = RunAt(stream, vcn);
    if (run == nullptr) {
      if (vcn == first) return kErrorFileCorrupt;
      break;  // the rest of the last unit: a hole
    }
    uint64_t count = std::min(run->vcn + run->length, first + clusters) - vcn;
    if (run->lcn != kSparseRun) {
      size_t at = stored.size();
      size_t bytes = static_cast<size_t>(count * volume->cluster_size);
      stored.resize(at + bytes);
      uint32_t error =
          ReadVolume(volume, (run->lcn + vcn - run->vcn) * volume->cluster_size,
                     &stored[at], bytes);
      if (error != kErrorSuccess) return error;
      stored_clusters += count;
    }
    vcn += count;
  }
  if (stored_clusters == clusters) {
    memcpy(&unit->bytes[0], &stored[0], unit_bytes);
  } else if (stored_clusters == 0) {
    memset(&unit->bytes[0], 0, unit_bytes);
  } else if (!Lznt1Decompress(stored.data(), stored.size(), &unit->bytes[0],
                              unit_bytes)) {
    return kErrorFileCorrupt;
  }
  unit->index = index;
  return kErrorSuccess;
}

// Reads [offset, offset + length) of a stream, which the caller keeps
// within its size; bytes past the initialized size read as zeros.
uint32_t ReadStream(NtfsVolume* volume, const Stream& stream, uint64_t offset,
                    void* buffer, size_t length, UnitCache* unit) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (offset > stream.size || length > stream.size - offset)
    return kErrorInvalidParameter;
  if (stream.resident) {
    if (length > 0) memcpy(out, &stream.value[offset], length);
    return kErrorSuccess;
  }
  uint64_t end = offset + length;
  if (end > stream.initialized_size) {
    uint64_t zeros_from = std::max(offset, stream.initialized_size);
    memset(out + (zeros_from - offset), 0,
           static_cast<size_t>(end - zeros_from));
    if (zeros_from == offset) return kErrorSuccess;
    length = static_cast<size_t>(zeros_from - offset);
  }
  if (stream.unit_bytes == 0)
    return ReadRuns(volume, stream, offset, out, length);
  UnitCache local;
  if (unit == nullptr) unit = &local;
  while (length > 0) {
    uint64_t index = offset / stream.unit_bytes;
    uint32_t error = DecodeUnit(volume, stream, index, unit);
    if (error != kErrorSuccess) return error;
    size_t within = static_cast<size_t>(offset - index * stream.unit_bytes);
    size_t count = std::min<size_t>(length, unit->bytes.size() - within);
    memcpy(out, &unit->bytes[within], count);
    out += count;
    offset += count;
    length -= count;
  }
  return kErrorSuccess;
}

// MFT record `number`, its fixups applied. The bytes stay valid until the
// next call.
uint32_t ReadRecord(NtfsVolume* volume, uint64_t number,
                    const uint8_t** bytes) {
  for (const CachedRecord& cached : volume->records) {
    if (cached.number == number) {
      *bytes = cached.bytes.data();
      return kErrorSuccess;
    }
  }
  if (number >= volume->mft_records) return kErrorFileNotFound;
  CachedRecord& slot = volume->records[volume->next_record_slot];
  volume->next_record_slot = (volume->next_record_slot + 1) % kCachedRecords;
  slot.number = kNoRecord;
  slot.bytes.resize(volume->record_size);
  uint32_t error = ReadStream(volume, volume->mft, number * volume->record_size,
                              slot.bytes.data(), volume->record_size, nullptr);
  if (error != kErrorSuccess) return error;
  // A record that was never used holds no file; one that was and is not
  // whole is damage.
  static const uint8_t kUnused[4] = {};
  if (memcmp(slot.bytes.data(), kUnused, 4) == 0) return kErrorFileNotFound;
  error = ApplyFixups(slot.bytes.data(), volume->record_size, "FILE");
  if (error != kErrorSuccess) return error;
  slot.number = number;
  *bytes = slot.bytes.data();
  return kErrorSuccess;
}

void ClearRecordCache(NtfsVolume* volume) {
  for (CachedRecord& cached : volume->records) cached.number = kNoRecord;
}

struct ListEntry {
  uint32_t type;
  uint16_t id;
  uint64_t record;
};

// The entries of an attribute list, each checked to lie within the list.
uint32_t SplitAttributeList(const std::vector<uint8_t>& list,
                            std::vector<ListEntry>* entries) {
  size_t offset = 0;
  while (list.size() - offset >= 0x1A) {
    const uint8_t* entry = &list[offset];
    size_t length = Get16(entry + 4);
    if (length < 0x1A || length > list.size() - offset ||
        entry[7] + 2 * size_t{entry[6]} > length)
      return kErrorFileCorrupt;
    ListEntry parsed{Get32(entry), Get16(entry + 0x18),
                     Get64(entry + 0x10) & kRecordMask};
    if (parsed.type != kAttributeList) entries->push_back(parsed);
    offset += length;
  }
  return kErrorSuccess;
}

// Takes the attribute of `type` and `id` out of `from` into `to`.
uint32_t TakeAttribute(std::vector<Attribute>* from, uint32_t type, uint16_t id,
                       std::vector<Attribute>* to) {
  for (Attribute& attribute : *from) {
    if (attribute.type == type && attribute.id() == id) {
      to->push_back(std::move(attribute));
      attribute.type = kEndOfAttributes;  // taken
      return kErrorSuccess;
    }
  }
  return kErrorFileCorrupt;
}

// The attributes of the file whose base record is `number`. Fails with
// kErrorFileNotFound when the record holds no file.
uint32_t LoadFile(NtfsVolume* volume, uint64_t number, FileRecords* file) {
  const uint8_t* record = nullptr;
  uint32_t error = ReadRecord(volume, number, &record);
  if (error != kErrorSuccess) return error;
  file->flags = Get16(record + 0x16);
  file->sequence = Get16(record + 0x10);
  file->records.assign(1, number);
  file->list.clear();
  if ((file->flags & kRecordInUse) == 0 ||
      (Get64(record + 0x20) & kRecordMask) != 0)
    return kErrorFileNotFound;
  std::vector<Attribute> base;
  error = SplitAttributes(record, volume->record_size, &base);
  if (error != kErrorSuccess) return error;

  const Attribute* list_attribute = nullptr;
  for (const Attribute& attribute : base)
    if (attribute.type == kAttributeList) list_attribute = &attribute;
  if (list_attribute == nullptr) {
    file->attributes = std::move(base);
    return kErrorSuccess;
  }

  // The list says where each attribute is, the base record's own included.
  file->list.push_back(*list_attribute);
  std::vector<uint8_t> list;
  FileRecords holder;
  holder.attributes.push_back(*list_attribute);
  Stream stream;
  bool found = false;
  error =
      BuildStream(*volume, holder, kAttributeList, nullptr, 0, &stream, &found);
  if (error != kErrorSuccess) return error;
  if (stream.size > kMostListBytes) return kErrorFileCorrupt;
  list.resize(static_cast<size_t>(stream.size));
  error = ReadStream(volume, stream, 0, list.data(), list.size(), nullptr);
  if (error != kErrorSuccess) return error;
  std::vector<ListEntry> entries;
  error = SplitAttributeList(list, &entries);
  if (error != kErrorSuccess) return error;

  std::stable_sort(entries.begin(), entries.end(),
                   [](const ListEntry& a, const ListEntry& b) {
                     return a.record < b.record;
                   });
  file->attributes.clear();
  size_t extension_records = 0;
  for (size_t i = 0; i < entries.size();) {
    uint64_t owner = entries[i].record;
    std::vector<Attribute> found_there;
    std::vector<Attribute>* attributes = &base;
    if (owner != number) {
      if (++extension_records > kMostExtensionRecords) return kErrorFileCorrupt;
      file->records.push_back(owner);
      const uint8_t* extension = nullptr;
      error = ReadRecord(volume, owner, &extension);
      if (error == kErrorFileNotFound) return kErrorFileCorrupt;
      if (error != kErrorSuccess) return error;
      if ((Get16(extension + 0x16) & kRecordInUse) == 0 ||
          (Get64(extension + 0x20) & kRecordMask) != number)
        return kErrorFileCorrupt;
      error = SplitAttributes(extension, volume->record_size, &found_there);
      if (error != kErrorSuccess) return error;
      attributes = &found_there;
    }
    for (; i < entries.size() && entries[i].record == owner; ++i) {
      error = TakeAttribute(attributes, entries[i].type, entries[i].id,
                            &file->attributes);
      if (error != kErrorSuccess) return error;
    }
  }
  return kErrorSuccess;
}

char16_t Upper(const NtfsVolume& volume, char16_t unit) {
  return volume.upcase[unit];
}

bool EqualIgnoringCase(const NtfsVolume& volume, const WideString& a,
                       const WideString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(volume, a[i]) != Upper(volume, b[i])) return false;
  return true;
}

// One folder's index: its B-tree read from the root node down, in order.
struct IndexWalk {
  NtfsVolume* volume;
  Stream allocation;
  std::vector<uint8_t> bitmap;
  uint32_t block_size = 0;
  uint32_t vcn_unit = 0;
  std::set<uint64_t> visited;
  std::vector<IndexName>* names;
};

uint32_t WalkNode(IndexWalk* walk, const uint8_t* node, size_t node_size,
                  size_t depth);

uint32_t WalkChild(IndexWalk* walk, uint64_t vcn, size_t depth) {
  if (depth >= kMostIndexDepth || walk->block_size == 0 ||
      !walk->visited.insert(vcn).second)
    return kErrorFileCorrupt;
  if (vcn > walk->allocation.size / walk->vcn_unit) return kErrorFileCorrupt;
  uint64_t offset = vcn * walk->vcn_unit;
  if (offset % walk->block_size != 0 ||
      walk->allocation.size - offset < walk->block_size)
    return kErrorFileCorrupt;
  uint64_t block = offset / walk->block_size;
  if (block / 8 >= walk->bitmap.size() ||
      (walk->bitmap[static_cast<size_t>(block / 8)] & (1 << (block % 8))) == 0)
    return kErrorFileCorrupt;
  std::vector<uint8_t> bytes(walk->block_size);
  uint32_t error = ReadStream(walk->volume, walk->allocation, offset,
                              bytes.data(), bytes.size(), nullptr);
  if (error != kErrorSuccess) return error;
  error = ApplyFixups(bytes.data(), bytes.size(), "INDX");
  if (error != kErrorSuccess) return error;
  if (Get64(&bytes[0x10]) != vcn) return kErrorFileCorrupt;
  return WalkNode(walk, &bytes[0x18], bytes.size() - 0x18, depth + 1);
}

// Walks a node (an index header and its entries, within `node_size` bytes)
// in order: each entry's child before the entry, the last entry's child
// after them all.
uint32_t WalkNode(IndexWalk* walk, const uint8_t* node, size_t node_size,
                  size_t depth) {
  if (node_size < 0x10) return kErrorFileCorrupt;
  size_t offset = Get32(node), end = Get32(node + 4);
  if (end > node_size || offset < 0x10 || offset > end)
    return kErrorFileCorrupt;
  for (;;) {
    if (end - offset < 0x10) return kErrorFileCorrupt;
    const uint8_t* entry = node + offset;
    size_t length = Get16(entry + 8), key_length = Get16(entry + 0xA);
    uint16_t flags = Get16(entry + 0xC);
    bool has_child = (flags & kEntryHasChild) != 0;
    if (length < 0x10 + (has_child ? 8u : 0u) || length > end - offset)
      return kErrorFileCorrupt;
    if (has_child) {
      uint32_t error = WalkChild(walk, Get64(entry + length - 8), depth);
      if (error != kErrorSuccess) return error;
    }
    if ((flags & kEntryIsLast) != 0) return kErrorSuccess;
    size_t room = length - 0x10 - (has_child ? 8 : 0);
    const uint8_t* key = entry + 0x10;
    if (key_length > room || key_length < 0x42 ||
        0x42 + 2 * size_t{key[0x40]} > key_length)
      return kErrorFileCorrupt;
    if (walk->names->size() >= kMostFolderEntries) return kErrorNotEnoughMemory;
    IndexName name;
    name.name.resize(key[0x40]);
    for (size_t i = 0; i < name.name.size(); ++i)
      name.name[i] = static_cast<char16_t>(Get16(key + 0x42 + 2 * i));
    name.name_space = key[0x41];
    name.record = Get64(entry) & kRecordMask;
    name.sequence = static_cast<uint16_t>(Get64(entry) >> 48);
    name.is_folder = (Get32(key + 0x38) & kFileNameIsFolder) != 0;
    walk->names->push_back(std::move(name));
    offset += length;
  }
}

const char16_t kI30[] = u"$I30";

// The entries of the folder whose record is `number`, as ListNtfsFolder
// gives them.
uint32_t ListRecord(NtfsVolume* volume, uint64_t number,
                    std::vector<NtfsEntry>* entries) {
  FileRecords file;
  uint32_t error = LoadFile(volume, number, &file);
  if (error == kErrorFileNotFound) return kErrorPathNotFound;
  if (error != kErrorSuccess) return error;
  if ((file.flags & kRecordIsFolder) == 0) return kErrorPathNotFound;

  IndexWalk walk;
  walk.volume = volume;
  std::vector<IndexName> names;
  walk.names = &names;
  Stream root;
  bool found = false;
  error = BuildStream(*volume, file, kIndexRoot, kI30, 4, &root, &found);
  if (error != kErrorSuccess) return error;
  if (!found || !root.resident || root.value.size() < 0x20 ||
      Get32(&root.value[0]) != kFileName)
    return kErrorFileCorrupt;
  uint32_t block_size = Get32(&root.value[8]);
  error = BuildStream(*volume, file, kIndexAllocation, kI30, 4,
                      &walk.allocation, &found);
  if (error != kErrorSuccess) return error;
  if (found && IsPowerOfTwo(block_size) && block_size >= kFixupStride &&
      block_size <= 65536 && !walk.allocation.resident) {
    walk.block_size = block_size;
    walk.vcn_unit = block_size >= volume->cluster_size ? volume->cluster_size
                                                       : kFixupStride;
    Stream bitmap;
    error = BuildStream(*volume, file, kBitmap, kI30, 4, &bitmap, &found);
    if (error != kErrorSuccess) return error;
    if (bitmap.size > kMostBitmapBytes) return kErrorFileCorrupt;
    walk.bitmap.resize(static_cast<size_t>(bitmap.size));
    error = ReadStream(volume, bitmap, 0, walk.bitmap.data(),
                       walk.bitmap.size(), nullptr);
    if (error != kErrorSuccess) return error;
  }
  error = WalkNode(&walk, &root.value[0x10], root.value.size() - 0x10, 0);
  if (error != kErrorSuccess) return error;

  // A file's 8.3 name is an index entry of its own; it goes with the
  // file's Win32 name, and stands alone only for a file without another.
  std::map<uint64_t, const WideString*> short_names;
  std::set<uint64_t> long_named;
  for (const IndexName& name : names) {
    if (name.name_space == kDosName)
      short_names.emplace(name.record, &name.name);
    else
      long_named.insert(name.record);
  }
  entries->clear();
  for (const IndexName& name : names) {
    if (number == kRootRecord && name.record < kFirstUserRecord) continue;
    NtfsEntry entry;
    entry.name = name.name;
    entry.record = name.record;
    entry.sequence = name.sequence;
    entry.is_folder = name.is_folder;
    if (name.name_space == kDosName) {
      if (long_named.count(name.record) != 0) continue;
      entry.short_name = name.name;
    } else if (name.name_space == kWin32AndDosName) {
      entry.short_name = name.name;
    } else if (name.name_space == kWin32Name) {
      auto short_name = short_names.find(name.record);
      if (short_name != short_names.end())
        entry.short_name = *short_name->second;
    }
    entries->push_back(std::move(entry));
  }
  return kErrorSuccess;
}

// The entry of `entries` that `name` names, as Windows finds it: its long
// name exactly, or else the first whose long or 8.3 name equals it once
// upper-cased.
const NtfsEntry* FindEntry(const NtfsVolume& volume,
                           const std::vector<NtfsEntry>& entries,
                           const WideString& name) {
  for (const NtfsEntry& entry : entries)
    if (entry.name == name) return &entry;
  for (const NtfsEntry& entry : entries) {
    if (EqualIgnoringCase(volume, entry.name, name) ||
        (!entry.short_name.empty() &&
         EqualIgnoringCase(volume, entry.short_name, name)))
      return &entry;
  }
  return nullptr;
}

// The record of the folder at a rooted path.
uint32_t FindFolder(NtfsVolume* volume, const WideString& path,
                    uint64_t* record) {
  uint64_t current = kRootRecord;
  WideString key;
  std::vector<NtfsEntry> entries;
  size_t start = 0;
  while (start <= path.size()) {
    size_t separator = path.find(u'\\', start);
    if (separator == WideString::npos) separator = path.size();
    WideString component = path.substr(start, separator - start);
    start = separator + 1;
    if (component.empty()) continue;
    key += u'\\';
    key += component;
    auto cached = volume->folders.find(key);
    if (cached != volume->folders.end()) {
      current = cached->second;
      continue;
    }
    uint32_t error = ListRecord(volume, current, &entries);
    if (error != kErrorSuccess) return error;
    const NtfsEntry* entry = FindEntry(*volume, entries, component);
    if (entry == nullptr || !entry->is_folder) return kErrorPathNotFound;
    current = entry->record;
    if (volume->folders.size() >= kCachedFolders) volume->folders.clear();
    volume->folders[key] = current;
  }
  *record = current;
  return kErrorSuccess;
}

const char16_t kNoName[] = u"";

// Makes the data stream `name` of `record` (the unnamed one when `name` is
// empty) the volume's current one.
uint32_t SelectData(NtfsVolume* volume, uint64_t record,
                    const WideString& name = WideString()) {
  if (volume->data_record == record && volume->data_name == name)
    return kErrorSuccess;
  volume->data_record = kNoRecord;
  volume->data_unit.index = kNoRecord;
  FileRecords file;
  uint32_t error = LoadFile(volume, record, &file);
  if (error != kErrorSuccess) return error;
  error = BuildStream(*volume, file, kData, name.c_str(), name.size(),
                      &volume->data, &volume->has_data);
  if (error != kErrorSuccess) return error;
  volume->data_is_folder = (file.flags & kRecordIsFolder) != 0;
  volume->data_record = record;
  volume->data_name = name;
  return kErrorSuccess;
}

// The volume's own upper-case table, over the default for whatever part of
// it cannot be read.
void ReadUpcase(NtfsVolume* volume) {
  volume->upcase = DefaultUpcase();
  if (SelectData(volume, kUpcaseRecord) != kErrorSuccess || !volume->has_data)
    return;
  size_t bytes = static_cast<size_t>(
      std::min<uint64_t>(volume->data.size, kUpcaseUnits * 2));
  std::vector<uint8_t> table(bytes);
  if (ReadStream(volume, volume->data, 0, table.data(), bytes,
                 &volume->data_unit) != kErrorSuccess)
    return;
  for (size_t unit = 0; unit < bytes / 2; ++unit)
    volume->upcase[unit] = static_cast<char16_t>(Get16(&table[2 * unit]));
}

// Reads the boot sector's geometry; false when it is no NTFS boot sector.
bool ReadBootSector(const uint8_t* boot, NtfsVolume* volume,
                    uint64_t* mft_cluster) {
  if (memcmp(boot + 3, "NTFS    ", 8) != 0 || boot[510] != 0x55 ||
      boot[511] != 0xAA)
    return false;
  uint32_t sector = Get16(boot + 0xB);
  if (!IsPowerOfTwo(sector) || sector < 256 || sector > 4096) return false;
  uint8_t per_cluster = boot[0xD];
  uint64_t cluster = 0;
  if (per_cluster <= 0x80) {
    if (!IsPowerOfTwo(per_cluster)) return false;
    cluster = uint64_t{sector} * per_cluster;
  } else {
    unsigned shift = 256u - per_cluster;
    if (shift > 12) return false;
    cluster = uint64_t{sector} << shift;
  }
  if (cluster > (2u << 20)) return false;
  uint64_t sectors = Get64(boot + 0x28);
  if (sectors == 0 || sectors > kMostStreamBytes / sector) return false;
  volume->cluster_size = static_cast<uint32_t>(cluster);
  volume->total_clusters = sectors * sector / cluster;
  if (volume->total_clusters == 0) return false;
  *mft_cluster = Get64(boot + 0x30);
  if (*mft_cluster >= volume->total_clusters) return false;
  int8_t per_record = static_cast<int8_t>(boot[0x40]);
  uint64_t record = 0;
  if (per_record > 0)
    record = cluster * static_cast<uint64_t>(per_record);
  else if (per_record >= -16 && per_record <= -9)
    record = uint64_t{1} << -per_record;
  if (!IsPowerOfTwo(record) || record < kFixupStride || record > 65536)
    return false;
  volume->record_size = static_cast<uint32_t>(record);
  // The backup boot sector lies just past the last cluster.
  volume->readable_bytes = sectors * sector + sector;
  if (volume->reader.size != 0)
    volume->readable_bytes =
        std::min(volume->readable_bytes, volume->reader.size);
  return true;
}

}  // namespace

void NtfsVolumeCloser::operator()(NtfsVolume* volume) const { delete volume; }

std::vector<char16_t> DefaultUpcase() {
  std::vector<char16_t> table(kUpcaseUnits);
  for (size_t unit = 0; unit < kUpcaseUnits; ++unit)
    table[unit] = static_cast<char16_t>(unit);
  for (char16_t unit = u'a'; unit <= u'z'; ++unit) table[unit] = unit - 0x20;
  for (char16_t unit = 0xE0; unit <= 0xFE; ++unit)
    if (unit != 0xF7) table[unit] = unit - 0x20;
  table[0xFF] = 0x178;
  return table;
}

uint32_t OpenNtfsVolume(const VolumeReader& reader, NtfsVolumePtr* volume) {
  if (reader.read == nullptr) return kErrorInvalidParameter;
  if (reader.size != 0 && reader.size < 512) return kErrorUnrecognizedVolume;
  NtfsVolumePtr opened(new NtfsVolume);
  opened->reader = reader;
  opened->readable_bytes = 512;
  uint8_t boot[512];
  uint32_t error = ReadVolume(opened.get(), 0, boot, sizeof boot);
  if (error != kErrorSuccess) return error;
  uint64_t mft_cluster = 0;
  if (!ReadBootSector(boot, opened.get(), &mft_cluster))
    return kErrorUnrecognizedVolume;
  opened->records.resize(kCachedRecords);

  // Record 0 is first read where the boot sector puts it; its first $DATA
  // extent then reaches the records of any further extents.
  NtfsVolume* v = opened.get();
  std::vector<uint8_t> first(v->record_size);
  error =
      ReadVolume(v, mft_cluster * v->cluster_size, first.data(), first.size());
  if (error != kErrorSuccess) return error;
  error = ApplyFixups(first.data(), first.size(), "FILE");
  if (error != kErrorSuccess) return error;
  if ((Get16(&first[0x16]) & kRecordInUse) == 0) return kErrorFileCorrupt;
  FileRecords mft;
  error = SplitAttributes(first.data(), first.size(), &mft.attributes);
  if (error != kErrorSuccess) return error;
  for (Attribute& attribute : mft.attributes)
    if (attribute.type == kData && attribute.non_resident() &&
        attribute.lowest_vcn() != 0)
      attribute.type = kEndOfAttributes;
  bool found = false;
  error = BuildStream(*v, mft, kData, kNoName, 0, &v->mft, &found);
  if (error != kErrorSuccess) return error;
  if (!found || v->mft.resident || v->mft.unit_bytes != 0)
    return kErrorFileCorrupt;
  v->mft_records = v->mft.size / v->record_size;

  error = LoadFile(v, kMftRecord, &mft);
  if (error == kErrorFileNotFound) error = kErrorFileCorrupt;
  if (error != kErrorSuccess) return error;
  Stream whole;
  error = BuildStream(*v, mft, kData, kNoName, 0, &whole, &found);
  if (error != kErrorSuccess) return error;
  if (!found || whole.resident || whole.unit_bytes != 0)
    return kErrorFileCorrupt;
  v->mft = std::move(whole);
  v->mft_records = v->mft.size / v->record_size;
  ClearRecordCache(v);

  ReadUpcase(v);
  *volume = std::move(opened);
  return kErrorSuccess;
}

uint32_t ListNtfsFolder(NtfsVolume* volume, const WideString& path,
                        std::vector<NtfsEntry>* entries) {
  uint64_t record = 0;
  uint32_t error = FindFolder(volume, path, &record);
  if (error != kErrorSuccess) return error;
  return ListRecord(volume, record, entries);
}

uint32_t ListNtfsFolderAt(NtfsVolume* volume, uint64_t record,
                          std::vector<NtfsEntry>* entries) {
  return ListRecord(volume, record, entries);
}

const std::vector<char16_t>& NtfsUpcase(const NtfsVolume* volume) {
  return volume->upcase;
}

uint32_t GetNtfsFileInfo(NtfsVolume* volume, uint64_t record,
                         NtfsFileInfo* info) {
  FileRecords file;
  uint32_t error = LoadFile(volume, record, &file);
  if (error != kErrorSuccess) return error;
  *info = NtfsFileInfo();
  info->is_folder = (file.flags & kRecordIsFolder) != 0;
  info->sequence = file.sequence;
  for (const Attribute& attribute : file.attributes) {
    if (attribute.type == kStandardInformation && !attribute.non_resident() &&
        attribute.value_length() >= 0x24) {
      uint32_t attributes = Get32(attribute.value() + 0x20);
      info->compressed |= (attributes & kFileCompressed) != 0;
      info->encrypted |= (attributes & kFileEncrypted) != 0;
      info->sparse |= (attributes & kFileSparse) != 0;
      info->has_reparse_point |= (attributes & kFileReparsePoint) != 0;
    }
    if (attribute.type == kReparsePoint) info->has_reparse_point = true;
  }
  error = SelectData(volume, record);
  if (error != kErrorSuccess) return error;
  if (volume->has_data) {
    const Stream& data = volume->data;
    info->size = data.size;
    info->compressed |= data.unit_bytes != 0;
    info->encrypted |= (data.flags & kAttributeEncrypted) != 0;
    info->sparse |= (data.flags & kAttributeSparse) != 0;
  }
  return kErrorSuccess;
}

uint32_t ReadNtfsFile(NtfsVolume* volume, uint64_t record, uint64_t offset,
                      void* buffer, size_t length, size_t* bytes_read) {
  return ReadNtfsStream(volume, record, WideString(), offset, buffer, length,
                        bytes_read);
}

uint32_t GetNtfsStreamSize(NtfsVolume* volume, uint64_t record,
                           const WideString& stream, uint64_t* size) {
  uint32_t error = SelectData(volume, record, stream);
  if (error != kErrorSuccess) return error;
  if (!volume->has_data) return kErrorFileNotFound;
  *size = volume->data.size;
  return kErrorSuccess;
}

uint32_t ReadNtfsStream(NtfsVolume* volume, uint64_t record,
                        const WideString& stream, uint64_t offset, void* buffer,
                        size_t length, size_t* bytes_read) {
  *bytes_read = 0;
  uint32_t error = SelectData(volume, record, stream);
  if (error != kErrorSuccess) return error;
  if (volume->data_is_folder && stream.empty()) return kErrorAccessDenied;
  if (!volume->has_data || offset >= volume->data.size || length == 0)
    return kErrorSuccess;
  size_t count = static_cast<size_t>(
      std::min<uint64_t>(length, volume->data.size - offset));
  error = ReadStream(volume, volume->data, offset, buffer, count,
                     &volume->data_unit);
  if (error != kErrorSuccess) return error;
  *bytes_read = count;
  return kErrorSuccess;
}

uint32_t ReadNtfsReparsePoint(NtfsVolume* volume, uint64_t record,
                              std::vector<uint8_t>* value) {
  FileRecords file;
  uint32_t error = LoadFile(volume, record, &file);
  if (error != kErrorSuccess) return error;
  Stream stream;
  bool found = false;
  error =
      BuildStream(*volume, file, kReparsePoint, kNoName, 0, &stream, &found);
  if (error != kErrorSuccess) return error;
  if (!found) return kErrorFileNotFound;
  // A reparse point holds at most 16 KiB of data after its 8-byte header.
  if (stream.size > kMostReparseBytes) return kErrorFileCorrupt;
  value->resize(static_cast<size_t>(stream.size));
  return ReadStream(volume, stream, 0, value->data(), value->size(), nullptr);
}

uint32_t GetNtfsFileExtents(NtfsVolume* volume, uint64_t record,
                            std::vector<VolumeExtent>* extents) {
  FileRecords file;
  uint32_t error = LoadFile(volume, record, &file);
  if (error != kErrorSuccess) return error;
  extents->clear();
  const uint64_t cluster = volume->cluster_size;
  for (uint64_t number : file.records) {
    // A record may span clusters that lie apart in the MFT's runs.
    uint64_t offset = number * volume->record_size;
    uint64_t left = volume->record_size;
    while (left > 0) {
      const Run* run = RunAt(volume->mft, offset / cluster);
      if (run == nullptr || run->lcn == kSparseRun) return kErrorFileCorrupt;
      uint64_t within = offset - run->vcn * cluster;
      uint64_t count = std::min(left, run->length * cluster - within);
      extents->push_back({run->lcn * cluster + within, count});
      offset += count;
      left -= count;
    }
  }
  std::vector<const Attribute*> placed;
  for (const Attribute& attribute : file.list) placed.push_back(&attribute);
  for (const Attribute& attribute : file.attributes)
    if (attribute.type == kData) placed.push_back(&attribute);
  for (const Attribute* attribute : placed) {
    if (!attribute->non_resident()) continue;
    std::vector<Run> runs;
    size_t pairs = Get16(&attribute->bytes[0x20]);
    error = DecodeRuns(*volume, &attribute->bytes[pairs],
                       attribute->bytes.size() - pairs, attribute->lowest_vcn(),
                       &runs);
    if (error != kErrorSuccess) return error;
    for (const Run& run : runs)
      if (run.lcn != kSparseRun)
        extents->push_back({run.lcn * cluster, run.length * cluster});
  }
  return kErrorSuccess;
}
