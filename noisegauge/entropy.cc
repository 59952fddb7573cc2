#include "noisegauge/entropy.h"

#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t kFullWindow = 256;
constexpr uint32_t kStep = 128;

// One byte value's part of a window's entropy: p * log256(p) for a value
// that fills `count` of the window's `n` bytes, with the logarithm taken as
// log10(p) / log10(256). The printed averages depend on the last bits of
// these terms, so every path takes them from this one expression.
double Term(uint32_t count, uint32_t n) {
  double p = static_cast<double>(count) / n;
  return p * (std::log10(p) / std::log10(256.0));
}

// The terms of a full window, by count; a count of 0 has none.
struct FullWindowTerms {
  double of_count[kFullWindow + 1];
};

const FullWindowTerms& Terms() {
  static const FullWindowTerms terms = [] {
    FullWindowTerms built = {};
    for (uint32_t count = 1; count <= kFullWindow; ++count)
      built.of_count[count] = Term(count, kFullWindow);
    return built;
  }();
  return terms;
}

// The sum is negated, and a window of one value (whose sum is 0) gives +0.
double FromSum(double sum) { return sum != 0.0 ? -sum : 0.0; }

// The windows whose entropies are summed side by side: each sum is a chain
// of additions that must wait for the one before, and several chains keep
// the processor busy while each waits.
constexpr size_t kBatch = 8;

// Counts of byte values in one full window, a byte each. Only a window that
// holds one value throughout has a count of 256, which wraps to 0; its
// entropy is +0.0 either way, since the term of a count of 256 is
// 1 * (0 / log10(256)) = +0.0.
using WindowCounts = uint8_t[256];

// Counts the byte values of a half window. Four sets of counters take the
// bytes in turn, so that a run of one value does not wait on one counter.
void CountHalf(const uint8_t* bytes, uint8_t counts[256]) {
  uint8_t part[4][256] = {};
  for (uint32_t i = 0; i < kStep; i += 4) {
    for (uint32_t j = 0; j < 4; ++j) ++part[j][bytes[i + j]];
  }
  for (int value = 0; value < 256; ++value) {
    counts[value] = static_cast<uint8_t>(part[0][value] + part[1][value] +
                                         part[2][value] + part[3][value]);
  }
}

// A bit for each of the eight bytes of `x` that is not 0, the bit of the
// byte at the lowest address first.
uint32_t NonZeroBytes(uint64_t x) {
  const uint64_t low7 = 0x7f7f7f7f7f7f7f7full;
  uint64_t high = (((x & low7) + low7) | x) & ~low7;
  return static_cast<uint32_t>((high >> 7) * 0x0102040810204080ull >> 56);
}

// Sums the terms of each window in ascending byte order, as WindowEntropy
// does, so that each result is the same to the last bit. Only the values
// that occur in one of the windows are visited; where one occurs in some
// windows only, the others add the term of a count of 0, which is +0.0 and
// leaves their sums as they were.
void SumTerms(const WindowCounts* counts, size_t windows,
              const FullWindowTerms& terms, double* entropies) {
  double sums[kBatch] = {};
  for (int word = 0; word < 4; ++word) {
    uint64_t present = 0;
    for (int group = 0; group < 8; ++group) {
      uint64_t occurs = 0;
      for (size_t w = 0; w < kBatch; ++w) {
        uint64_t eight;
        memcpy(&eight, &counts[w][word * 64 + group * 8], sizeof(eight));
        occurs |= eight;
      }
      present |= uint64_t{NonZeroBytes(occurs)} << (group * 8);
    }
    for (; present != 0; present &= present - 1) {
      int value = word * 64 + __builtin_ctzll(present);
      for (size_t w = 0; w < kBatch; ++w)
        sums[w] += terms.of_count[counts[w][value]];
    }
  }
  for (size_t w = 0; w < windows; ++w) entropies[w] = FromSum(sums[w]);
}

}  // namespace

double WindowEntropy(const uint8_t* bytes, uint32_t n) {
  if (n == 0) return 0.0;

  uint32_t counts[256] = {};
  for (uint32_t i = 0; i < n; ++i) ++counts[bytes[i]];

  // The terms are added in ascending byte order: the order, like the terms,
  // decides the last bits of the sum.
  const FullWindowTerms& terms = Terms();
  double sum = 0.0;
  for (int value = 0; value < 256; ++value) {
    uint32_t count = counts[value];
    if (count == 0) continue;
    sum += n == kFullWindow ? terms.of_count[count] : Term(count, n);
  }
  return FromSum(sum);
}

void SlidingWindowEntropies(const uint8_t* bytes, size_t count,
                            double* entropies) {
  // A window's counts are those of its two halves, and each half is counted
  // once, for the two windows that hold it.
  const FullWindowTerms& terms = Terms();
  uint8_t halves[2][256];
  CountHalf(bytes, halves[0]);
  WindowCounts batch[kBatch] = {};
  size_t in_batch = 0;
  for (size_t window = 0; window < count; ++window) {
    const uint8_t* first = halves[window % 2];
    uint8_t* second = halves[(window + 1) % 2];
    CountHalf(bytes + (window + 1) * kStep, second);
    for (int value = 0; value < 256; ++value)
      batch[in_batch][value] =
          static_cast<uint8_t>(first[value] + second[value]);
    if (++in_batch == kBatch) {
      SumTerms(batch, kBatch, terms, entropies + window + 1 - kBatch);
      in_batch = 0;
    }
  }
  if (in_batch > 0)
    SumTerms(batch, in_batch, terms, entropies + count - in_batch);
}
