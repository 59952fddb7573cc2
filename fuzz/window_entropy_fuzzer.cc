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

#include "noisegauge/defined_entropy.h"
#include "noisegauge/entropy.h"

namespace {

// A window is at most 256 bytes long; the walk moves it by half of that.
constexpr size_t kWindow = 256;
constexpr size_t kStep = 128;

void ExpectSame(double expected, double actual, const char* what,
                size_t index) {
  if (memcmp(&expected, &actual, sizeof(double)) == 0) return;
  fprintf(stderr, "%s %zu: %a, expected %a\n", what, index, actual, expected);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t n = static_cast<uint32_t>(size < kWindow ? size : kWindow);
  ExpectSame(DefinedEntropy(data, n), WindowEntropy(data, n),
             "WindowEntropy of bytes", n);

  // As many windows as the input holds, in a buffer of exactly the size they
  // need, so that a read past it is caught.
  if (size < kWindow) return 0;
  size_t count = (size - kStep) / kStep;
  std::vector<uint8_t> bytes(data, data + kStep * (count + 1));
  std::vector<double> entropies(count);
  SlidingWindowEntropies(bytes.data(), count, entropies.data());
  for (size_t i = 0; i < count; ++i) {
    ExpectSame(DefinedEntropy(bytes.data() + kStep * i, kWindow), entropies[i],
               "SlidingWindowEntropies, window", i);
  }
  return 0;
}
