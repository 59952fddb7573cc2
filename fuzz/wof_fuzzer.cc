// The reading of files that WOF keeps compressed (CompactOS), over a reparse
// point, a size and a WofCompressedData stream that the fuzzer makes: the
// input's first 24 bytes are the reparse point's value, the next 8 the
// file's size and the rest the stream. The file is read as drvscan reads
// it, 64 KiB at a time, then as noisegauge does, 256 bytes with steps of
// 128. No input may crash, hang or read past the stream; a window that lies
// in reads that succeeded succeeds too and gives the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "volume/wof.h"

namespace {

// A forged size can make a file of exabytes: each is read this far at most.
constexpr uint64_t kMostBytesRead = 1 << 20;
constexpr size_t kPiece = 65536;
constexpr size_t kWindow = 256;
constexpr size_t kStep = 128;
constexpr size_t kReparseBytes = 24;
constexpr size_t kHeaderBytes = kReparseBytes + 8;

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "wof reader: %s\n", what);
  abort();
}

struct Input {
  const uint8_t* bytes;
  size_t size;
};

uint32_t ReadStream(void* context, uint64_t offset, void* buffer,
                    size_t length) {
  const Input* stream = static_cast<const Input*>(context);
  Check(offset <= stream->size && length <= stream->size - offset,
        "a read past the stream");
  memcpy(buffer, stream->bytes + offset, length);
  return kErrorSuccess;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderBytes) return 0;
  std::vector<uint8_t> reparse(data, data + kReparseBytes);
  uint64_t file_size = 0;
  for (int i = 7; i >= 0; --i)
    file_size = file_size << 8 | data[kReparseBytes + i];
  Input input{data + kHeaderBytes, size - kHeaderBytes};
  WofStream stream;
  stream.context = &input;
  stream.read = ReadStream;
  stream.size = input.size;
  WofFilePtr file;
  if (OpenWofFile(reparse, file_size, stream, &file) != kErrorSuccess) return 0;

  const size_t length =
      static_cast<size_t>(std::min<uint64_t>(file_size, kMostBytesRead));
  std::vector<uint8_t> whole(length);
  std::vector<bool> piece_read;
  for (size_t at = 0; at < length; at += kPiece) {
    size_t count = std::min(kPiece, length - at);
    piece_read.push_back(ReadWofFile(file.get(), at, &whole[at], count) ==
                         kErrorSuccess);
  }
  uint8_t window[kWindow];
  for (size_t at = 0; at < length; at += kStep) {
    size_t count = std::min(kWindow, length - at);
    uint32_t error = ReadWofFile(file.get(), at, window, count);
    bool in_read_pieces =
        piece_read[at / kPiece] && piece_read[(at + count - 1) / kPiece];
    if (!in_read_pieces) continue;
    Check(error == kErrorSuccess, "a window of bytes read before failed");
    Check(memcmp(window, &whole[at], count) == 0,
          "a window reads otherwise than before");
  }
  return 0;
}
