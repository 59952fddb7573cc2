#include "noisegauge/entropy.h"

#include <cmath>

double WindowEntropy(const uint8_t* bytes, uint32_t n) {
  if (n == 0) return 0.0;

  uint32_t counts[256] = {};
  for (uint32_t i = 0; i < n; ++i) ++counts[bytes[i]];

  // The terms are added in ascending byte order, each as p * log256(p) with
  // the logarithm taken as log10(p) / log10(256): the printed averages depend
  // on these last bits, so the order and the expression stay fixed.
  double sum = 0.0;
  for (int value = 0; value < 256; ++value) {
    if (counts[value] == 0) continue;
    double p = static_cast<double>(counts[value]) / n;
    sum += p * (std::log10(p) / std::log10(256.0));
  }
  // A window of one value sums to 0 (or -0): report it as +0.
  return sum != 0.0 ? -sum : 0.0;
}
