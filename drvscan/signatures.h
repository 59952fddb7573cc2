// The built-in driver signatures and the search of one file's bytes for them.
#ifndef DRVSCAN_SIGNATURES_H_
#define DRVSCAN_SIGNATURES_H_

#include <cstddef>
#include <cstdint>

#include "common/text.h"

// One named run of machine code from a Vorl kernel driver.
struct SignatureRecord {
  char16_t name[128];    // zero-terminated, the rest zero-filled
  uint8_t pattern[128];  // only the first `length` bytes count
  uint32_t length;       // 1 to 128
};

constexpr size_t kSignatureCount = 11;

using SignatureRows = SignatureRecord[kSignatureCount];

// The signatures in the order in which they are tried and reported. The
// program holds the patterns masked, so that no byte-signature scanner takes
// it for the malware; they are unmasked in memory on the first call.
const SignatureRows& SignatureTable();

// Marks a signature that FindSignatures did not find.
constexpr size_t kNotFound = SIZE_MAX;

// Finds every signature's first occurrence in `data` in one pass: sets
// first[i] to the smallest offset at which row i's pattern lies wholly within
// the data, or to kNotFound.
void FindSignatures(const uint8_t* data, size_t length,
                    size_t first[kSignatureCount]);

// Searches `data` for every signature in table order. A signature longer than
// the data gets a skipping notice on the console; the first occurrence of a
// signature is reported on the console (with its bytes) and in the log (with
// `file_name`); later occurrences of the same signature are not looked for.
// With `reported`, a second set of bytes of the same file is searched: the
// signatures it marks are not reported again, and each one found is marked.
void ScanBuffer(const WideString& file_name, const uint8_t* data, size_t length,
                bool reported[kSignatureCount] = nullptr);

// True when the record's pattern bytes equal the bytes at `data`, which must
// hold at least `record.length` bytes. On a match prints the console report.
bool MatchAt(const uint8_t* data, const SignatureRecord& record);

// Prints the record's pattern bytes in hex, eight to a line.
void DumpPattern(const SignatureRecord& record);

#endif  // DRVSCAN_SIGNATURES_H_
