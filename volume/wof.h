// Files that the Windows Overlay Filter keeps compressed (CompactOS, or
// `compact /exe`), read as Windows reads them. Such a file has a reparse
// point of the tag kWofReparseTag, an unnamed data stream of sparse zeros
// whose size is the file's, and its bytes compressed in chunks in the named
// stream WofCompressedData: a table of where each chunk but the first
// starts, counted from the table's end, then the chunks in order. A chunk
// that did not shrink is stored as it is.
//
// The chunks are decompressed through wimlib (wof-wimlib.cc); a build
// without it (wof-none.cc) reads no such file and says kErrorNotSupported.
// Only the chunks that a read needs are decompressed.
//
// The reparse point and the stream are the attacker's: every table entry is
// checked against its neighbours and the stream's size before a byte is read
// at it, a chunk is never read past what the stream holds, and one that does
// not decompress to its size is damage (kErrorFileCorrupt).
#ifndef VOLUME_WOF_H_
#define VOLUME_WOF_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/error_codes.h"

// The reparse tag of a WOF file (IO_REPARSE_TAG_WOF).
constexpr uint32_t kWofReparseTag = 0x80000017;

// The named stream that holds a WOF file's compressed chunks.
extern const char16_t kWofStreamName[];

// True when `value`, a reparse point's value as NTFS keeps it (tag, data
// length, two reserved bytes, data), carries WOF's tag.
bool IsWofReparsePoint(const std::vector<uint8_t>& value);

// True when this build decompresses WOF files; false in a build without
// wimlib, whose OpenWofFile fails with kErrorNotSupported.
bool CanReadWofFiles();

// The WofCompressedData stream as the caller reads it: `read` puts exactly
// `length` bytes from `offset` into `buffer` and returns kErrorSuccess, or
// returns why it cannot. `context` stays valid while the file is open.
struct WofStream {
  void* context = nullptr;
  uint32_t (*read)(void* context, uint64_t offset, void* buffer,
                   size_t length) = nullptr;
  uint64_t size = 0;
};

struct WofFile;
struct WofFileCloser {
  void operator()(WofFile* file) const;
};
using WofFilePtr = std::unique_ptr<WofFile, WofFileCloser>;

// Opens the WOF file whose reparse point's value is `reparse_point`, whose
// size (that of its unnamed stream) is `size` and whose chunks `stream`
// reads. Fails with kErrorNotSupported in a build without wimlib and for a
// WIMBoot file, whose bytes lie in a WIM file elsewhere; with
// kErrorFileCorrupt for a reparse point of another version, provider or
// algorithm than those Windows writes, and for a stream too short to hold
// its chunk table.
uint32_t OpenWofFile(const std::vector<uint8_t>& reparse_point, uint64_t size,
                     const WofStream& stream, WofFilePtr* file);

// Reads exactly `length` bytes from `offset` of the file, which the caller
// keeps within its size. Fails with kErrorFileCorrupt where the chunk table
// or a chunk is damaged, and with the stream's error where it cannot be
// read.
uint32_t ReadWofFile(WofFile* file, uint64_t offset, void* buffer,
                     size_t length);

// The decompressors, given by wof-wimlib.cc over wimlib and by wof-none.cc
// in builds without it.
struct WofDecompressor;
struct WofDecompressorCloser {
  void operator()(WofDecompressor* decompressor) const;
};
using WofDecompressorPtr =
    std::unique_ptr<WofDecompressor, WofDecompressorCloser>;

// The WOF compression algorithms, as a file's reparse point names them.
enum class WofAlgorithm : uint32_t {
  kXpress4k = 0,
  kLzx = 1,
  kXpress8k = 2,
  kXpress16k = 3,
};

// A decompressor of `algorithm` for chunks of `chunk_size` bytes; null when
// none can be had (no memory, or no wimlib).
WofDecompressorPtr NewWofDecompressor(WofAlgorithm algorithm,
                                      uint32_t chunk_size);

// Decompresses `in` into exactly `out_size` bytes; false when the data is
// not what the algorithm makes of that many bytes.
bool DecompressWofChunk(WofDecompressor* decompressor, const uint8_t* in,
                        size_t in_size, uint8_t* out, size_t out_size);

#endif  // VOLUME_WOF_H_
