// WindowEntropy against the entropy computed here straight from its
// definition. noisegauge prints averages of these values, so the two must
// agree to the last bit, not just closely.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "noisegauge/entropy.h"

namespace {

// A window is at most 256 bytes long.
constexpr size_t kWindow = 256;

// Counts every byte value; then, from value 0 up, adds p * log256(p) with
// log256(p) taken as log10(p) / log10(256); negates the sum, and gives +0.0
// for a sum of zero.
double DirectEntropy(const uint8_t* bytes, uint32_t n) {
  if (n == 0) return 0.0;
  uint32_t counts[256] = {};
  for (uint32_t i = 0; i < n; ++i) counts[bytes[i]] += 1;
  double sum = 0.0;
  for (int value = 0; value <= 255; ++value) {
    if (counts[value] == 0) continue;
    double p = static_cast<double>(counts[value]) / static_cast<double>(n);
    sum += p * (std::log10(p) / std::log10(256.0));
  }
  if (sum == 0.0) return 0.0;
  return -sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t n = static_cast<uint32_t>(size < kWindow ? size : kWindow);
  double expected = DirectEntropy(data, n);
  double actual = WindowEntropy(data, n);
  if (memcmp(&expected, &actual, sizeof(double)) != 0) {
    fprintf(stderr, "WindowEntropy of %u bytes: %a, expected %a\n", n, actual,
            expected);
    abort();
  }
  return 0;
}
