// Prints the bits of the window entropies of many windows of made-up bytes,
// one hexadecimal double a line, so that the builds can be compared to the
// last bit: noisegauge prints averages of these values, and every build must
// print the same. It starts through the kit's entry point, as the programs
// do, so that whatever that sets up for arithmetic is in force.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/console.h"
#include "common/entry.h"
#include "noisegauge/entropy.h"

namespace {

constexpr int kWindows = 20000;

// A fixed sequence of pseudo-random numbers, the same on every build.
uint32_t NextRandom(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

void PrintBits(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  static const char kHex[] = "0123456789abcdef";
  char line[18];
  for (int i = 0; i < 16; ++i) line[i] = kHex[(bits >> (60 - 4 * i)) & 15];
  line[16] = '\n';
  line[17] = '\0';
  ConsolePrintBytes(line);
}

}  // namespace

int WideMain(int, char16_t**) {
  uint32_t state = 1;
  // Windows of every length, with byte values drawn from ranges of every
  // width, so that the counts, and the terms summed, vary widely.
  std::vector<uint8_t> bytes(128 * (kWindows + 1));
  for (uint8_t& byte : bytes) {
    uint32_t width = 1 + (NextRandom(&state) >> 6) % 256;
    byte = static_cast<uint8_t>(NextRandom(&state) % width);
  }
  for (int i = 0; i < kWindows; ++i) {
    uint32_t length = i % 3 == 0 ? NextRandom(&state) % 257 : 256;
    PrintBits(WindowEntropy(bytes.data() + 128 * i, length));
  }
  std::vector<double> sliding(kWindows);
  SlidingWindowEntropies(bytes.data(), kWindows, sliding.data());
  for (double value : sliding) PrintBits(value);
  return 0;
}
