// WOF's chunks decompressed by wimlib, whose XPRESS and LZX are those of the
// WIM format that WOF shares.
#include <wimlib.h>

#include "volume/wof.h"

struct WofDecompressor {
  wimlib_decompressor* wimlib = nullptr;
};

bool CanReadWofFiles() { return true; }

void WofDecompressorCloser::operator()(WofDecompressor* decompressor) const {
  wimlib_free_decompressor(decompressor->wimlib);
  delete decompressor;
}

WofDecompressorPtr NewWofDecompressor(WofAlgorithm algorithm,
                                      uint32_t chunk_size) {
  wimlib_compression_type type = algorithm == WofAlgorithm::kLzx
                                     ? WIMLIB_COMPRESSION_TYPE_LZX
                                     : WIMLIB_COMPRESSION_TYPE_XPRESS;
  WofDecompressorPtr decompressor(new WofDecompressor);
  if (wimlib_create_decompressor(type, chunk_size, &decompressor->wimlib) != 0)
    return nullptr;
  return decompressor;
}

bool DecompressWofChunk(WofDecompressor* decompressor, const uint8_t* in,
                        size_t in_size, uint8_t* out, size_t out_size) {
  return wimlib_decompress(in, in_size, out, out_size, decompressor->wimlib) ==
         0;
}
