// Files kept compressed as Windows' CompactOS keeps them (WOF), written on
// an NTFS volume through ntfs-3g: the chunks come from wimlib's compressors,
// whose XPRESS and LZX are the WIM format's that WOF shares. For the image
// tests and for the benchmark's images.
#ifndef TESTS_E2E_WOF_FILES_H_
#define TESTS_E2E_WOF_FILES_H_

#include <cstdint>
#include <string>

// The WOF algorithms, as the reparse point names them.
enum WofAlgorithmNumber {
  kWofXpress4k = 0,
  kWofLzx = 1,
  kWofXpress8k = 2,
  kWofXpress16k = 3,
};

// The chunk size of `algorithm`: 4, 32, 8 or 16 KiB.
uint32_t WofChunkSize(int algorithm);

// The WofCompressedData stream of `bytes` as Windows writes it: the table of
// where each chunk but the first starts, then each chunk compressed, or as
// it is where compression does not shrink it.
std::string WofCompressedStream(const std::string& bytes, int algorithm);

// The value of a reparse point of WOF (tag, data length, reserved, data):
// WOF version 1, then the provider (2 the file provider, 1 WIMBoot) and,
// for the file provider, its version 1 and `algorithm`.
std::string WofReparseValue(int algorithm, uint32_t provider = 2,
                            uint32_t wof_version = 1);

// Makes the file at `path` on an ntfs-3g mount with
// streams_interface=windows a WOF file of `size` bytes: its unnamed stream
// cut to nothing and made a hole of its size, `stream` written as its
// WofCompressedData stream (none when empty) and `reparse` set last as its
// reparse point, after which ntfs-3g changes the file no more. "" when
// done, otherwise what failed.
std::string MakeWofFile(const std::string& path, uint64_t size,
                        const std::string& stream, const std::string& reparse);

#endif  // TESTS_E2E_WOF_FILES_H_
