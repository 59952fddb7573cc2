// Builds without wimlib read no WOF file: opening one fails with
// kErrorNotSupported.
#include "volume/wof.h"

struct WofDecompressor {};

bool CanReadWofFiles() { return false; }

void WofDecompressorCloser::operator()(WofDecompressor* decompressor) const {
  delete decompressor;
}

WofDecompressorPtr NewWofDecompressor(WofAlgorithm, uint32_t) {
  return nullptr;
}

bool DecompressWofChunk(WofDecompressor*, const uint8_t*, size_t, uint8_t*,
                        size_t) {
  return false;
}
