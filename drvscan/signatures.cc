#include "drvscan/signatures.h"

#include <cstdio>
#include <cstring>

// SSE2 is part of every x86-64 processor; the 32-bit programs use none.
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define KIT_PAIR_FILTER 1
#endif

#include "common/console.h"
#include "common/run_log.h"

namespace {

struct SignatureList {
  SignatureRows rows;
};

// The mask of pattern byte `index` of row `row`: a stream of bytes drawn
// from `seed`, so that no two rows are masked alike.
constexpr uint8_t MaskByte(uint8_t seed, size_t row, size_t index) {
  uint32_t x = (seed + 1u) * 0x01000193u ^
               static_cast<uint32_t>(row * 131 + index) * 0x9e3779b1u;
  x ^= x >> 15;
  x *= 0x2c1b3c6du;
  x ^= x >> 12;
  return static_cast<uint8_t>(x >> 24);
}

// Masks clear patterns or unmasks masked ones: the same exclusive-or.
constexpr SignatureList Masked(const SignatureList& list, uint8_t seed) {
  SignatureList masked = list;
  for (size_t row = 0; row < kSignatureCount; ++row) {
    SignatureRecord& record = masked.rows[row];
    for (size_t i = 0; i < record.length; ++i)
      record.pattern[i] ^= MaskByte(seed, row, i);
  }
  return masked;
}

constexpr uint8_t kMaskSeed = 0x5a;

// Read when the table is unmasked, so that the compiler cannot do the
// unmasking itself and put the clear patterns into the code.
const volatile uint8_t mask_seed = kMaskSeed;

// The rows are written here in clear and masked by the compiler; only the
// masked bytes are in the program.
//
// Rows 1, 2, 4 and 5 carry a 32-bit constant of the decryption code as an
// immediate operand (little-endian); row 3 ends a stack access followed by
// the pushes of a call; rows 6 to 11 are 16-byte runs of the driver's code,
// named after their first three bytes.
constexpr SignatureList kMaskedSignatures = Masked(
    {{{u"decrypt magic1", {0xb8, 0x5c, 0x17, 0xe9, 0x42}, 5},
      {u"decrypt magic2", {0x56, 0x81, 0xf1, 0x3a, 0x90, 0x6e, 0x2b}, 7},
      {u"unknown magic",
       {0x44, 0x24, 0x10, 0x50, 0x51, 0x55, 0x6a, 0x02, 0x53},
       9},
      {u"imul magic1", {0x69, 0xc0, 0xd5, 0x0b, 0x8e, 0x61}, 6},
      {u"C6 2A xor", {0x57, 0xb9, 0x2a, 0xc6, 0x2a, 0xc6, 0xeb, 0x0d}, 8},
      {u"30 76 60",
       {0x30, 0x76, 0x60, 0x8d, 0x49, 0x00, 0x8b, 0x54, 0x24, 0x44, 0x8d, 0x1c,
        0x16, 0x83, 0xc6, 0x0c},
       16},
      {u"89 74 24",
       {0x89, 0x74, 0x24, 0x4c, 0x8d, 0x74, 0x24, 0x3c, 0x8d, 0x44, 0x24, 0x44,
        0xe8, 0x75, 0xfe, 0xff},
       16},
      {u"FF 8D 74",
       {0xff, 0x8d, 0x74, 0x24, 0x2c, 0x8d, 0x44, 0x24, 0x44, 0xe8, 0x68, 0xfe,
        0xff, 0xff, 0x8b, 0x74},
       16},
      {u"83 FE 07",
       {0x83, 0xfe, 0x07, 0x7e, 0xd6, 0xeb, 0x03, 0x83, 0xc6, 0x01, 0x83, 0xee,
        0x02, 0x78, 0x13, 0x8b},
       16},
      {u"1D C4 33",
       {0x1d, 0xc4, 0x33, 0x01, 0x00, 0x90, 0x8b, 0x54, 0xb4, 0x38, 0x52, 0xff,
        0xd3, 0x83, 0xee, 0x01},
       16},
      {u"79 F4 8B",
       {0x79, 0xf4, 0x8b, 0xc7, 0x5f, 0x5e, 0x5d, 0x5b, 0x83, 0xc4, 0x4c, 0xc3,
        0xcc, 0xcc, 0xcc, 0xcc},
       16}}},
    kMaskSeed);

// Every signature is at least this long, so that an offset closer than this
// to the end of the data holds none.
constexpr size_t kShortestSignature = 5;

constexpr bool NoSignatureIsShorter() {
  for (const SignatureRecord& record : kMaskedSignatures.rows)
    if (record.length < kShortestSignature) return false;
  return true;
}
static_assert(NoSignatureIsShorter(), "the search skips the last offsets");

// The search looks at every offset's first four bytes (its key) and compares
// the signatures only where a key may start one. Each key is hashed to one of
// 16384 flags, a table that stays in the first-level cache; in machine code
// about one offset in two thousand raises a flag.
constexpr int kFilterBits = 14;

struct SignatureFilter {
  uint8_t may_start[1 << kFilterBits];
};

uint32_t LoadKey(const uint8_t* bytes) {
  uint32_t key;
  memcpy(&key, bytes, sizeof(key));
  return key;
}

size_t FilterSlot(uint32_t key) {
  return (key * 0x9e3779b1u) >> (32 - kFilterBits);
}

const SignatureFilter& Filter() {
  static const SignatureFilter filter = [] {
    SignatureFilter built = {};
    for (const SignatureRecord& record : SignatureTable())
      built.may_start[FilterSlot(LoadKey(record.pattern))] = 1;
    return built;
  }();
  return filter;
}

// Compares the signatures not found yet at the flagged offsets in
// [begin, end), in ascending order, so the first match of each is kept.
void CheckOffsets(const uint8_t* data, size_t length, size_t begin, size_t end,
                  size_t first[kSignatureCount]) {
  const SignatureFilter& filter = Filter();
  const SignatureRows& table = SignatureTable();
  for (size_t offset = begin; offset < end; ++offset) {
    if (!filter.may_start[FilterSlot(LoadKey(data + offset))]) continue;
    for (size_t i = 0; i < kSignatureCount; ++i) {
      const SignatureRecord& record = table[i];
      if (first[i] == kNotFound && record.length <= length - offset &&
          memcmp(data + offset, record.pattern, record.length) == 0)
        first[i] = offset;
    }
  }
}

#ifdef KIT_PAIR_FILTER
// The first two bytes of every signature, each repeated in all sixteen
// lanes, for the search of sixteen offsets at a time.
struct PairFilter {
  __m128i first[kSignatureCount];
  __m128i second[kSignatureCount];
};

const PairFilter& Pairs() {
  static const PairFilter pairs = [] {
    PairFilter built;
    const SignatureRows& table = SignatureTable();
    for (size_t i = 0; i < kSignatureCount; ++i) {
      built.first[i] = _mm_set1_epi8(static_cast<char>(table[i].pattern[0]));
      built.second[i] = _mm_set1_epi8(static_cast<char>(table[i].pattern[1]));
    }
    return built;
  }();
  return pairs;
}

// The first offset from `offset` on that is not looked at here: runs of
// sixteen offsets none of which begins with the first two bytes of a
// signature are passed over, and the others are checked one by one.
size_t SkipByPairs(const uint8_t* data, size_t length, size_t offset,
                   size_t end, size_t first[kSignatureCount]) {
  const PairFilter& pairs = Pairs();
  for (; offset + 16 <= end; offset += 16) {
    __m128i at =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + offset));
    __m128i next =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + offset + 1));
    __m128i hit = _mm_setzero_si128();
    for (size_t i = 0; i < kSignatureCount; ++i) {
      hit = _mm_or_si128(hit,
                         _mm_and_si128(_mm_cmpeq_epi8(at, pairs.first[i]),
                                       _mm_cmpeq_epi8(next, pairs.second[i])));
    }
    if (_mm_movemask_epi8(hit) != 0)
      CheckOffsets(data, length, offset, offset + 16, first);
  }
  return offset;
}
#endif

}  // namespace

const SignatureRows& SignatureTable() {
  static const SignatureList table = Masked(kMaskedSignatures, mask_seed);
  return table.rows;
}

void FindSignatures(const uint8_t* data, size_t length,
                    size_t first[kSignatureCount]) {
  for (size_t i = 0; i < kSignatureCount; ++i) first[i] = kNotFound;
  if (length < kShortestSignature) return;

  const SignatureFilter& filter = Filter();
  const size_t end = length - kShortestSignature + 1;
  size_t offset = 0;
#ifdef KIT_PAIR_FILTER
  // Every signature is longer than two bytes, so the second byte of the last
  // offset searched still lies in the data.
  offset = SkipByPairs(data, length, offset, end, first);
#endif
  // Eight offsets at a time, with one branch: most runs of eight raise no
  // flag, and those that do are looked at again one offset at a time.
  for (; offset + 8 <= end; offset += 8) {
    uint8_t flagged = 0;
    for (size_t j = 0; j < 8; ++j)
      flagged |= filter.may_start[FilterSlot(LoadKey(data + offset + j))];
    if (flagged) CheckOffsets(data, length, offset, offset + 8, first);
  }
  CheckOffsets(data, length, offset, end, first);
}

void ScanBuffer(const WideString& file_name, const uint8_t* data, size_t length,
                bool reported[kSignatureCount]) {
  // The first occurrence of a signature is where a search of every offset in
  // turn would stop, so reporting them in table order gives the same output.
  size_t first[kSignatureCount];
  FindSignatures(data, length, first);
  const SignatureRows& table = SignatureTable();
  for (size_t i = 0; i < kSignatureCount; ++i) {
    const SignatureRecord& record = table[i];
    if (length < record.length) {
      ConsolePrint(
          u"\nINFO: Skipping current pattern \"%ls\" [buffer length < pattern "
          u"length]\n",
          {record.name});
      continue;
    }
    if (reported && reported[i]) continue;
    if (first[i] != kNotFound && MatchAt(data + first[i], record)) {
      LogOnly(u"SUSPICIOUS: File %ls matches pattern called %ls\r\n",
              {file_name, record.name});
      if (reported) reported[i] = true;
    }
  }
}

bool MatchAt(const uint8_t* data, const SignatureRecord& record) {
  if (memcmp(data, record.pattern, record.length) != 0) return false;
  ConsolePrint(u"SUSPICIOUS: Pattern %ls is matching: ", {record.name});
  DumpPattern(record);
  return true;
}

void DumpPattern(const SignatureRecord& record) {
  for (uint32_t i = 0; i < record.length; ++i) {
    char text[8];
    snprintf(text, sizeof(text), i % 8 == 0 ? "\n%02x " : "%02x ",
             record.pattern[i]);
    ConsolePrintBytes(text);
  }
  ConsolePrintBytes("\n");
}
