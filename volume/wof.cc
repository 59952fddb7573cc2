#include "volume/wof.h"

#include <algorithm>
#include <cstring>

const char16_t kWofStreamName[] = u"WofCompressedData";

namespace {

// The reparse point's data: the WOF version and provider, then the file
// provider's version and algorithm, each 32 bits.
constexpr size_t kReparseHeaderSize = 8;
constexpr size_t kWofHeaderSize = 8;
constexpr size_t kFileProviderSize = 8;
constexpr uint32_t kWofVersion = 1;
constexpr uint32_t kWimBootProvider = 1;
constexpr uint32_t kFileProvider = 2;
constexpr uint32_t kFileProviderVersion = 1;

// The most bytes of chunks that one step of a read decompresses and holds,
// with their stored bytes: a read of any length goes in steps of this size.
constexpr uint64_t kMostBytesPerStep = 256 << 10;

constexpr uint64_t kNoChunk = UINT64_MAX;

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Get64(const uint8_t* p) {
  uint64_t high = Get32(p + 4);
  return high << 32 | Get32(p);
}

// What the reparse point says of a file of the file provider: its algorithm
// and chunk size.
uint32_t ParseReparsePoint(const std::vector<uint8_t>& value,
                           WofAlgorithm* algorithm, uint32_t* chunk_size) {
  if (!IsWofReparsePoint(value) || value.size() < kReparseHeaderSize)
    return kErrorFileCorrupt;
  size_t length = Get16(&value[4]);
  if (length > value.size() - kReparseHeaderSize || length < kWofHeaderSize)
    return kErrorFileCorrupt;
  const uint8_t* data = &value[kReparseHeaderSize];
  if (Get32(data) != kWofVersion) return kErrorFileCorrupt;
  uint32_t provider = Get32(data + 4);
  if (provider == kWimBootProvider) return kErrorNotSupported;
  if (provider != kFileProvider ||
      length < kWofHeaderSize + kFileProviderSize ||
      Get32(data + 8) != kFileProviderVersion)
    return kErrorFileCorrupt;
  switch (Get32(data + 12)) {
    case 0:
      *algorithm = WofAlgorithm::kXpress4k;
      *chunk_size = 4096;
      return kErrorSuccess;
    case 1:
      *algorithm = WofAlgorithm::kLzx;
      *chunk_size = 32768;
      return kErrorSuccess;
    case 2:
      *algorithm = WofAlgorithm::kXpress8k;
      *chunk_size = 8192;
      return kErrorSuccess;
    case 3:
      *algorithm = WofAlgorithm::kXpress16k;
      *chunk_size = 16384;
      return kErrorSuccess;
  }
  return kErrorFileCorrupt;
}

}  // namespace

struct WofFile {
  WofStream stream;
  uint64_t size = 0;
  uint32_t chunk_size = 0;
  uint64_t chunk_count = 0;
  uint32_t entry_size = 4;  // of the table's entries
  uint64_t table_size = 0;
  uint64_t data_size = 0;  // of the stream after the table
  WofDecompressorPtr decompressor;

  // One step of a read: the table's entries for its chunks, where each of
  // them starts in the data and ends (the next one's start), and their
  // bytes as stored.
  std::vector<uint8_t> entries;
  std::vector<uint64_t> starts;
  std::vector<uint8_t> stored;
  // The chunk last read in part, decompressed, since the next read most
  // likely takes the rest of it or steps back into it.
  std::vector<uint8_t> cached;
  uint64_t cached_chunk = kNoChunk;

  uint32_t ChunkBytes(uint64_t chunk) const {
    return chunk + 1 < chunk_count
               ? chunk_size
               : static_cast<uint32_t>(size - chunk * chunk_size);
  }
};

namespace {

// Fills file->starts with where each chunk from `first` to `last` starts in
// the data after the table, and where `last` ends, and checks each against
// its neighbours: no chunk ends before it starts, past the stream or
// holding more bytes than it decompresses to.
uint32_t LocateChunks(WofFile* file, uint64_t first, uint64_t last) {
  // Entry i - 1 of the table says where chunk i starts; the first chunk
  // starts right after the table and the last ends with the stream.
  uint64_t from = std::max<uint64_t>(first, 1);
  uint64_t to = std::min(last + 1, file->chunk_count - 1);
  const size_t entry_size = file->entry_size;
  if (from <= to) {
    file->entries.resize(static_cast<size_t>(to - from + 1) * entry_size);
    uint32_t error =
        file->stream.read(file->stream.context, (from - 1) * entry_size,
                          file->entries.data(), file->entries.size());
    if (error != kErrorSuccess) return error;
  }
  file->starts.clear();
  for (uint64_t chunk = first; chunk <= last + 1; ++chunk) {
    uint64_t start = 0;
    if (chunk == file->chunk_count) {
      start = file->data_size;
    } else if (chunk > 0) {
      const uint8_t* entry =
          &file->entries[static_cast<size_t>(chunk - from) * entry_size];
      start = entry_size == 8 ? Get64(entry) : Get32(entry);
    }
    file->starts.push_back(start);
  }
  for (uint64_t chunk = first; chunk <= last; ++chunk) {
    uint64_t start = file->starts[chunk - first];
    uint64_t end = file->starts[chunk - first + 1];
    if (end < start || end > file->data_size || end == start ||
        end - start > file->ChunkBytes(chunk))
      return kErrorFileCorrupt;
  }
  return kErrorSuccess;
}

// Puts chunk `chunk`, stored as `in` of `in_size` bytes, into `out` whole.
uint32_t DecodeChunk(WofFile* file, uint64_t chunk, const uint8_t* in,
                     size_t in_size, uint8_t* out) {
  uint32_t bytes = file->ChunkBytes(chunk);
  // A chunk that compression did not shrink is kept as it is.
  if (in_size == bytes) {
    memcpy(out, in, bytes);
    return kErrorSuccess;
  }
  return DecompressWofChunk(file->decompressor.get(), in, in_size, out, bytes)
             ? kErrorSuccess
             : kErrorFileCorrupt;
}

// Reads the part of [*offset, end) that lies in the chunks `first` to
// `last` into *out, and moves both on by as much.
uint32_t ReadStep(WofFile* file, uint64_t first, uint64_t last,
                  uint64_t* offset, uint64_t end, uint8_t** out) {
  uint32_t error = LocateChunks(file, first, last);
  if (error != kErrorSuccess) return error;
  uint64_t stored_start = file->starts.front();
  file->stored.resize(static_cast<size_t>(file->starts.back() - stored_start));
  error =
      file->stream.read(file->stream.context, file->table_size + stored_start,
                        file->stored.data(), file->stored.size());
  if (error != kErrorSuccess) return error;
  for (uint64_t chunk = first; chunk <= last; ++chunk) {
    const uint8_t* in =
        file->stored.data() + (file->starts[chunk - first] - stored_start);
    size_t in_size = static_cast<size_t>(file->starts[chunk - first + 1] -
                                         file->starts[chunk - first]);
    uint64_t chunk_start = chunk * file->chunk_size;
    uint32_t chunk_bytes = file->ChunkBytes(chunk);
    size_t from = static_cast<size_t>(*offset - chunk_start);
    size_t to =
        static_cast<size_t>(std::min<uint64_t>(end - chunk_start, chunk_bytes));
    if (from == 0 && to == chunk_bytes) {
      error = DecodeChunk(file, chunk, in, in_size, *out);
    } else {
      file->cached_chunk = kNoChunk;
      file->cached.resize(file->chunk_size);
      error = DecodeChunk(file, chunk, in, in_size, file->cached.data());
      if (error == kErrorSuccess) {
        file->cached_chunk = chunk;
        memcpy(*out, file->cached.data() + from, to - from);
      }
    }
    if (error != kErrorSuccess) return error;
    *out += to - from;
    *offset += to - from;
  }
  return kErrorSuccess;
}

}  // namespace

bool IsWofReparsePoint(const std::vector<uint8_t>& value) {
  return value.size() >= 4 && Get32(value.data()) == kWofReparseTag;
}

void WofFileCloser::operator()(WofFile* file) const { delete file; }

uint32_t OpenWofFile(const std::vector<uint8_t>& reparse_point, uint64_t size,
                     const WofStream& stream, WofFilePtr* file) {
  if (!CanReadWofFiles()) return kErrorNotSupported;
  WofAlgorithm algorithm = WofAlgorithm::kXpress4k;
  uint32_t chunk_size = 0;
  uint32_t error = ParseReparsePoint(reparse_point, &algorithm, &chunk_size);
  if (error != kErrorSuccess) return error;
  WofFilePtr opened(new WofFile);
  opened->stream = stream;
  opened->size = size;
  opened->chunk_size = chunk_size;
  opened->chunk_count = size / chunk_size + (size % chunk_size != 0);
  // Entries of 32 bits reach no further than 4 GiB of compressed data.
  opened->entry_size = size > UINT32_MAX ? 8 : 4;
  if (opened->chunk_count > 1)
    opened->table_size = (opened->chunk_count - 1) * opened->entry_size;
  if (opened->table_size > stream.size) return kErrorFileCorrupt;
  opened->data_size = stream.size - opened->table_size;
  opened->decompressor = NewWofDecompressor(algorithm, chunk_size);
  if (!opened->decompressor) return kErrorNotEnoughMemory;
  *file = std::move(opened);
  return kErrorSuccess;
}

uint32_t ReadWofFile(WofFile* file, uint64_t offset, void* buffer,
                     size_t length) {
  if (offset > file->size || length > file->size - offset)
    return kErrorInvalidParameter;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  const uint64_t end = offset + length;
  const uint64_t chunks_per_step = kMostBytesPerStep / file->chunk_size;
  while (offset < end) {
    uint64_t chunk = offset / file->chunk_size;
    if (chunk == file->cached_chunk) {
      size_t from = static_cast<size_t>(offset - chunk * file->chunk_size);
      size_t count = static_cast<size_t>(
          std::min<uint64_t>(end - offset, file->ChunkBytes(chunk) - from));
      memcpy(out, file->cached.data() + from, count);
      out += count;
      offset += count;
      continue;
    }
    // This chunk and those after it that the read needs, short of the one
    // held decompressed already.
    uint64_t last =
        std::min((end - 1) / file->chunk_size, chunk + chunks_per_step - 1);
    if (file->cached_chunk > chunk && file->cached_chunk <= last)
      last = file->cached_chunk - 1;
    uint32_t error = ReadStep(file, chunk, last, &offset, end, &out);
    if (error != kErrorSuccess) return error;
  }
  return kErrorSuccess;
}
