#include "noisegauge/entropy.h"

#include <cmath>

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
constexpr size_t kBatch = 4;

// How often each byte value occurs in a window, kept in four parts by the
// byte's position modulo 4: a run of one value then updates four counters
// in turn, not one counter again and again.
struct SlidingCounts {
  uint16_t part[4][256];
};

// Sums the terms of each window in ascending byte order, as WindowEntropy
// does, so that each result is the same to the last bit. A count of 0 adds
// +0.0, which leaves every sum as it was.
void SumTerms(const uint16_t (*counts)[256], size_t windows,
              const FullWindowTerms& terms, double* entropies) {
  double sums[kBatch] = {};
  for (int value = 0; value < 256; ++value) {
    for (size_t w = 0; w < kBatch; ++w)
      sums[w] += terms.of_count[counts[w][value]];
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
  const FullWindowTerms& terms = Terms();
  SlidingCounts sliding = {};
  for (uint32_t i = 0; i < kFullWindow; ++i) ++sliding.part[i % 4][bytes[i]];

  uint16_t batch[kBatch][256] = {};
  size_t in_batch = 0;
  for (size_t window = 0; window < count; ++window) {
    if (window > 0) {
      // The window moves by half its length: the first half of the last
      // window leaves it, the half after the last window joins it. A byte
      // and the one that replaces it are 256 apart, in the same part.
      const uint8_t* leaving = bytes + (window - 1) * kStep;
      const uint8_t* joining = leaving + kFullWindow;
      for (uint32_t i = 0; i < kStep; i += 4) {
        for (uint32_t j = 0; j < 4; ++j) {
          --sliding.part[j][leaving[i + j]];
          ++sliding.part[j][joining[i + j]];
        }
      }
    }
    for (int value = 0; value < 256; ++value) {
      batch[in_batch][value] = sliding.part[0][value] + sliding.part[1][value] +
                               sliding.part[2][value] + sliding.part[3][value];
    }
    if (++in_batch == kBatch) {
      SumTerms(batch, kBatch, terms, entropies + window + 1 - kBatch);
      in_batch = 0;
    }
  }
  if (in_batch > 0)
    SumTerms(batch, in_batch, terms, entropies + count - in_batch);
}
