// The entropy of a window straight from its definition, for the tests, the
// fuzzer and the benchmark to hold noisegauge's fast paths against: count
// the values, then from value 0 up add p * (log10(p) / log10(256)) for each
// value that occurs, and negate; +0.0 for a sum of 0. The printed averages
// depend on every bit of this, so the fast paths must agree to the last bit.
#ifndef NOISEGAUGE_DEFINED_ENTROPY_H_
#define NOISEGAUGE_DEFINED_ENTROPY_H_

#include <cmath>
#include <cstdint>

inline double DefinedEntropy(const uint8_t* bytes, uint32_t n) {
  if (n == 0) return 0.0;
  uint32_t counts[256] = {};
  for (uint32_t i = 0; i < n; ++i) ++counts[bytes[i]];
  double sum = 0.0;
  for (int value = 0; value < 256; ++value) {
    if (counts[value] == 0) continue;
    double p = static_cast<double>(counts[value]) / n;
    sum += p * (std::log10(p) / std::log10(256.0));
  }
  return sum != 0.0 ? -sum : 0.0;
}

#endif  // NOISEGAUGE_DEFINED_ENTROPY_H_
