// WindowEntropy, and the sliding windows noisegauge walks a file with,
// against the entropy computed here straight from its definition. noisegauge
// prints averages of these values, so they must agree to the last bit, not
// just closely.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "noisegauge/entropy.h"

namespace {

// A window is at most 256 bytes long; the walk moves it by half of that.
constexpr size_t kWindow = 256;
constexpr size_t kStep = 128;

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

void ExpectSame(double expected, double actual, const char* what,
                size_t index) {
  if (memcmp(&expected, &actual, sizeof(double)) == 0) return;
  fprintf(stderr, "%s %zu: %a, expected %a\n", what, index, actual, expected);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t n = static_cast<uint32_t>(size < kWindow ? size : kWindow);
  ExpectSame(DirectEntropy(data, n), WindowEntropy(data, n),
             "WindowEntropy of bytes", n);

  // As many windows as the input holds, in a buffer of exactly the size they
  // need, so that a read past it is caught.
  if (size < kWindow) return 0;
  size_t count = (size - kStep) / kStep;
  std::vector<uint8_t> bytes(data, data + kStep * (count + 1));
  std::vector<double> entropies(count);
  SlidingWindowEntropies(bytes.data(), count, entropies.data());
  for (size_t i = 0; i < count; ++i) {
    ExpectSame(DirectEntropy(bytes.data() + kStep * i, kWindow), entropies[i],
               "SlidingWindowEntropies, window", i);
  }
  return 0;
}
