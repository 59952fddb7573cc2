#include "volume/wof.h"

#include <wimlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(std::string* to, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    to->push_back(static_cast<char>(value >> (8 * i)));
}

// The fields of a WOF reparse point, as Windows writes them by default.
struct Reparse {
  uint32_t tag = kWofReparseTag;
  uint32_t wof_version = 1;
  uint32_t provider = 2;
  uint32_t provider_version = 1;
  uint32_t algorithm = 0;
  uint16_t length = 16;  // of the data
  size_t data_bytes = 16;
};

Bytes ValueOf(const Reparse& reparse) {
  std::string value;
  Put(&value, reparse.tag, 4);
  Put(&value, reparse.length, 2);
  Put(&value, 0, 2);
  std::string data;
  Put(&data, reparse.wof_version, 4);
  Put(&data, reparse.provider, 4);
  Put(&data, reparse.provider_version, 4);
  Put(&data, reparse.algorithm, 4);
  data.resize(reparse.data_bytes);
  value += data;
  return Bytes(value.begin(), value.end());
}

Bytes ReparseFor(uint32_t algorithm) {
  Reparse reparse;
  reparse.algorithm = algorithm;
  return ValueOf(reparse);
}

uint32_t ChunkSizeOf(uint32_t algorithm) {
  const uint32_t sizes[] = {4096, 32768, 8192, 16384};
  return sizes[algorithm];
}

// A stream in memory that counts what is read of it; a read past its end
// fails the test.
struct MemoryStream {
  std::string bytes;
  uint64_t bytes_read = 0;

  static uint32_t Read(void* context, uint64_t offset, void* buffer,
                       size_t length) {
    MemoryStream* stream = static_cast<MemoryStream*>(context);
    if (offset > stream->bytes.size() ||
        length > stream->bytes.size() - offset) {
      ADD_FAILURE() << "read of " << length << " bytes at " << offset
                    << " past the stream's " << stream->bytes.size();
      return kErrorIoDevice;
    }
    memcpy(buffer, stream->bytes.data() + offset, length);
    stream->bytes_read += length;
    return kErrorSuccess;
  }

  WofStream AsWofStream() {
    WofStream stream;
    stream.context = this;
    stream.read = Read;
    stream.size = bytes.size();
    return stream;
  }
};

// The stream of chunks stored as given: the table of where each but the
// first starts, then the chunks.
std::string StreamOf(const std::vector<std::string>& stored,
                     int entry_size = 4) {
  std::string table, data;
  for (size_t i = 0; i < stored.size(); ++i) {
    if (i > 0) Put(&table, data.size(), entry_size);
    data += stored[i];
  }
  return table + data;
}

// `bytes` cut into chunks, each compressed by wimlib as Windows compresses
// it, or kept as it is where it does not shrink.
std::vector<std::string> Chunks(const std::string& bytes, uint32_t algorithm) {
  const uint32_t chunk_size = ChunkSizeOf(algorithm);
  wimlib_compressor* compressor = nullptr;
  EXPECT_EQ(
      wimlib_create_compressor(algorithm == 1 ? WIMLIB_COMPRESSION_TYPE_LZX
                                              : WIMLIB_COMPRESSION_TYPE_XPRESS,
                               chunk_size, 0, &compressor),
      0);
  std::vector<std::string> chunks;
  for (size_t at = 0; at < bytes.size(); at += chunk_size) {
    std::string chunk = bytes.substr(at, chunk_size);
    std::string out(chunk.size(), '\0');
    size_t size = wimlib_compress(chunk.data(), chunk.size(), &out[0],
                                  chunk.size() - 1, compressor);
    chunks.push_back(size == 0 ? chunk : out.substr(0, size));
  }
  wimlib_free_compressor(compressor);
  return chunks;
}

// Bytes that compress well in places and not at all in others.
std::string Sample(size_t size) {
  std::string bytes;
  uint32_t state = 12345;
  while (bytes.size() < size) {
    bytes += "INFO: driver " + std::to_string(bytes.size() % 977) + "\r\n";
    if (bytes.size() % 7 == 0) {
      for (int i = 0; i < 300; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes.push_back(static_cast<char>(state >> 24));
      }
    }
  }
  bytes.resize(size);
  return bytes;
}

std::string Noise(size_t size, uint32_t state) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes.push_back(static_cast<char>(state >> 24));
  }
  return bytes;
}

struct OpenedWof {
  MemoryStream stream;
  WofFilePtr file;
  uint32_t error = kErrorSuccess;
};

// Opens a WOF file of `size` bytes over `stream_bytes`. Held by pointer,
// since the file keeps the stream's address.
std::unique_ptr<OpenedWof> Open(const Bytes& reparse, uint64_t size,
                                std::string stream_bytes) {
  std::unique_ptr<OpenedWof> opened(new OpenedWof);
  opened->stream.bytes = std::move(stream_bytes);
  opened->error =
      OpenWofFile(reparse, size, opened->stream.AsWofStream(), &opened->file);
  return opened;
}

std::string Read(WofFile* file, uint64_t offset, size_t length,
                 uint32_t* error) {
  std::string out(length, '\0');
  *error = ReadWofFile(file, offset, &out[0], length);
  return out;
}

// The file read as drvscan reads it, 64 KiB at a time, and as noisegauge
// does, 256 bytes with a step back of 128; each must give `expected`.
void ExpectReadsAs(WofFile* file, const std::string& expected,
                   const std::string& what) {
  std::string whole;
  for (size_t at = 0; at < expected.size(); at += 65536) {
    uint32_t error = 0;
    whole +=
        Read(file, at, std::min<size_t>(65536, expected.size() - at), &error);
    ASSERT_EQ(error, kErrorSuccess) << what << " at " << at;
  }
  EXPECT_TRUE(whole == expected) << what << ": read in 64 KiB";
  for (size_t at = 0; at < expected.size(); at += 128) {
    size_t length = std::min<size_t>(256, expected.size() - at);
    uint32_t error = 0;
    std::string window = Read(file, at, length, &error);
    ASSERT_EQ(error, kErrorSuccess) << what << " at " << at;
    ASSERT_TRUE(window == expected.substr(at, length))
        << what << ": the window at " << at;
  }
}

TEST(Wof, TellsWofReparsePointsByTheirTag) {
  EXPECT_TRUE(IsWofReparsePoint(ReparseFor(0)));
  Reparse symlink;
  symlink.tag = 0xA000000C;
  EXPECT_FALSE(IsWofReparsePoint(ValueOf(symlink)));
  EXPECT_FALSE(IsWofReparsePoint(Bytes{0x17, 0, 0}));
  EXPECT_TRUE(CanReadWofFiles());
}

// Each algorithm, with chunks that shrank and chunks stored as they are,
// read in whole reads and in windows that straddle every chunk boundary.
TEST(Wof, ReadsEveryAlgorithmAsTheOriginalBytes) {
  for (uint32_t algorithm : {0u, 1u, 2u, 3u}) {
    const uint32_t chunk = ChunkSizeOf(algorithm);
    struct {
      const char* what;
      std::string bytes;
    } files[] = {
        {"one byte", "M"},
        {"exactly one chunk", Sample(chunk)},
        {"a short last chunk", Sample(5 * chunk + 777)},
        {"a chunk of noise among others",
         Sample(chunk) + Noise(chunk, 9) + Sample(chunk + 10)},
    };
    for (const auto& f : files) {
      const std::string what =
          std::string(f.what) + ", algorithm " + std::to_string(algorithm);
      std::vector<std::string> stored = Chunks(f.bytes, algorithm);
      if (f.bytes.size() > 1) {
        ASSERT_LT(stored[0].size(), chunk) << what << ": nothing compressed";
      }
      auto opened =
          Open(ReparseFor(algorithm), f.bytes.size(), StreamOf(stored));
      ASSERT_EQ(opened->error, kErrorSuccess) << what;
      ExpectReadsAs(opened->file.get(), f.bytes, what);
    }
  }
}

// Past 4 GiB each entry of the table takes 8 bytes. The stream is made up
// as it is read: chunks stored as they are, each byte its own offset's.
struct HugeStream {
  uint64_t chunks = 0;
  int entry_size = 4;
  uint64_t table_size() const { return (chunks - 1) * entry_size; }

  static char ByteAt(uint64_t offset) {
    return static_cast<char>((offset * 2654435761u) >> 13);
  }

  static uint32_t Read(void* context, uint64_t offset, void* buffer,
                       size_t length) {
    const HugeStream* stream = static_cast<const HugeStream*>(context);
    char* out = static_cast<char*>(buffer);
    for (size_t i = 0; i < length; ++i) {
      uint64_t at = offset + i;
      if (at < stream->table_size()) {
        uint64_t entry = at / stream->entry_size;
        out[i] = static_cast<char>(((entry + 1) * 4096) >>
                                   (8 * (at % stream->entry_size)));
      } else {
        out[i] = ByteAt(at - stream->table_size());
      }
    }
    return kErrorSuccess;
  }
};

TEST(Wof, TakesEntriesOfEightBytesPastFourGibibytes) {
  for (uint64_t size : {uint64_t{0xFFFFFFFF}, uint64_t{0x100000000} + 5000}) {
    HugeStream huge;
    huge.chunks = (size + 4095) / 4096;
    huge.entry_size = size > 0xFFFFFFFF ? 8 : 4;
    WofStream stream;
    stream.context = &huge;
    stream.read = HugeStream::Read;
    stream.size = huge.table_size() + size;
    WofFilePtr file;
    ASSERT_EQ(OpenWofFile(ReparseFor(0), size, stream, &file), kErrorSuccess);
    uint32_t error = 0;
    std::string tail = Read(file.get(), size - 6000, 6000, &error);
    ASSERT_EQ(error, kErrorSuccess) << size;
    for (size_t i = 0; i < tail.size(); ++i)
      ASSERT_EQ(tail[i], HugeStream::ByteAt(size - 6000 + i))
          << size << " at " << i;
  }
}

// A read takes from the stream the chunks it needs and no others, and a
// window that steps back into a chunk just read takes it from memory.
TEST(Wof, ReadsOnlyTheChunksAReadNeeds) {
  const std::string bytes = Noise(1000 * 4096, 3);
  auto opened = Open(ReparseFor(0), bytes.size(), StreamOf(Chunks(bytes, 0)));
  ASSERT_EQ(opened->error, kErrorSuccess);
  uint32_t error = 0;
  EXPECT_EQ(Read(opened->file.get(), 500 * 4096 + 10, 100, &error),
            bytes.substr(500 * 4096 + 10, 100));
  ASSERT_EQ(error, kErrorSuccess);
  EXPECT_LE(opened->stream.bytes_read, 4096u + 8);
  opened->stream.bytes_read = 0;
  for (size_t at = 500 * 4096; at < 503 * 4096 - 256; at += 128) {
    ASSERT_EQ(Read(opened->file.get(), at, 256, &error), bytes.substr(at, 256));
    ASSERT_EQ(error, kErrorSuccess);
  }
  EXPECT_LE(opened->stream.bytes_read, 2 * (4096u + 8));
}

TEST(Wof, RefusesReparsePointsItCannotRead) {
  struct Case {
    const char* what;
    Reparse reparse;
    uint32_t error;
  } cases[] = {
      {"WIMBoot, whose data lies in a WIM file",
       [] {
         Reparse r;
         r.provider = 1;
         r.length = 8;
         r.data_bytes = 8;
         return r;
       }(),
       kErrorNotSupported},
      {"another WOF version",
       [] {
         Reparse r;
         r.wof_version = 2;
         return r;
       }(),
       kErrorFileCorrupt},
      {"an unknown provider",
       [] {
         Reparse r;
         r.provider = 3;
         return r;
       }(),
       kErrorFileCorrupt},
      {"another file provider version",
       [] {
         Reparse r;
         r.provider_version = 2;
         return r;
       }(),
       kErrorFileCorrupt},
      {"an unknown algorithm",
       [] {
         Reparse r;
         r.algorithm = 4;
         return r;
       }(),
       kErrorFileCorrupt},
      {"data too short for the file provider",
       [] {
         Reparse r;
         r.length = 12;
         return r;
       }(),
       kErrorFileCorrupt},
      {"a data length past the value",
       [] {
         Reparse r;
         r.length = 17;
         return r;
       }(),
       kErrorFileCorrupt},
      {"no data at all",
       [] {
         Reparse r;
         r.length = 0;
         r.data_bytes = 0;
         return r;
       }(),
       kErrorFileCorrupt},
  };
  const std::string bytes = Sample(5000);
  const std::string stream = StreamOf(Chunks(bytes, 0));
  for (const Case& c : cases) {
    auto opened = Open(ValueOf(c.reparse), bytes.size(), stream);
    EXPECT_EQ(opened->error, c.error) << c.what;
    EXPECT_EQ(opened->stream.bytes_read, 0u) << c.what;
  }
}

// Three chunks of 4 KiB: the first stored as it is, the others compressed,
// the last short.
struct Damaged {
  std::string bytes = Noise(4096, 5) + Sample(4096 + 3000);
  std::vector<std::string> stored = Chunks(bytes, 0);
  std::string stream = StreamOf(stored);
  uint32_t Entry(int index) const {
    uint32_t value = 0;
    memcpy(&value, &stream[4 * index], 4);
    return value;
  }
  void SetEntry(int index, uint32_t value) {
    std::string entry;
    Put(&entry, value, 4);
    stream.replace(4 * index, 4, entry);
  }
};

// Damage to the table or the chunks fails the reads that need them with
// 0x570 and no others; none reads past the stream.
TEST(Wof, FailsReadsOfDamagedChunks) {
  Damaged base;
  ASSERT_EQ(base.stored[0].size(), 4096u);
  ASSERT_LT(base.stored[1].size(), 4096u);
  ASSERT_LT(base.stored[2].size(), 3000u);
  struct Case {
    const char* what;
    void (*damage)(Damaged*);
    int intact_chunk;  // still read; -1 for none
  } cases[] = {
      {"an entry before the one before it",
       [](Damaged* d) { d->SetEntry(1, d->Entry(0) - 1); }, 0},
      {"an entry past the stream",
       [](Damaged* d) {
         d->SetEntry(1, static_cast<uint32_t>(d->stream.size()));
       },
       0},
      {"two entries alike, an empty chunk",
       [](Damaged* d) { d->SetEntry(1, d->Entry(0)); }, 0},
      {"a chunk stored longer than it decompresses to",
       [](Damaged* d) {
         d->stream.insert(8 + 4096, 1, 'x');
         d->SetEntry(0, 4097);
         d->SetEntry(1, d->Entry(1) + 1);
       },
       1},
      {"a chunk of garbage",
       [](Damaged* d) {
         for (uint32_t at = d->Entry(0); at < d->Entry(1); ++at)
           d->stream[8 + at] = '\xff';
       },
       2},
      {"a chunk that decompresses to fewer bytes",
       [](Damaged* d) {
         std::string shorter = Chunks(Sample(2000), 0)[0];
         d->stream = StreamOf({d->stored[0], shorter, d->stored[2]});
       },
       0},
      {"the stream cut short within a chunk",
       [](Damaged* d) { d->stream.resize(8 + d->Entry(1) - 10); }, 0},
  };
  for (const Case& c : cases) {
    Damaged damaged;
    c.damage(&damaged);
    auto opened = Open(ReparseFor(0), damaged.bytes.size(), damaged.stream);
    ASSERT_EQ(opened->error, kErrorSuccess) << c.what;
    uint32_t error = 0;
    Read(opened->file.get(), 0, damaged.bytes.size(), &error);
    EXPECT_EQ(error, kErrorFileCorrupt) << c.what;
    if (c.intact_chunk >= 0) {
      size_t at = 4096 * c.intact_chunk;
      size_t length = std::min<size_t>(4096, damaged.bytes.size() - at);
      EXPECT_EQ(Read(opened->file.get(), at, length, &error),
                damaged.bytes.substr(at, length))
          << c.what;
      EXPECT_EQ(error, kErrorSuccess) << c.what;
    }
  }
  // A stream too short for the table is found at once.
  auto opened =
      Open(ReparseFor(0), base.bytes.size(), base.stream.substr(0, 7));
  EXPECT_EQ(opened->error, kErrorFileCorrupt);
}

}  // namespace
