#include "noisegauge/entropy.h"
#include "noisegauge/defined_entropy.h"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Repeated(uint8_t value, size_t count) {
  return std::vector<uint8_t>(count, value);
}

// `count` bytes counting up from 0, so each value up to count - 1 appears once.
std::vector<uint8_t> Ascending(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a,
                            const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The entropy in base 256 of a window with the given value frequencies,
// computed with natural logarithms as a check independent of the code.
double ExpectedEntropy(std::initializer_list<double> probabilities) {
  double sum = 0.0;
  for (double p : probabilities) sum -= p * std::log(p);
  return sum / std::log(256.0);
}

TEST(WindowEntropyTest, Table) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uint32_t n;  // bytes measured; may be fewer than `bytes` holds
    double expected;
  } cases[] = {
      {"every value once", Ascending(256), 256, 1.0},
      {"one value throughout", Repeated(0x41, 256), 256, 0.0},
      {"single byte", Repeated(0xff, 1), 1, 0.0},
      {"two values, 128 each", Concat(Repeated(0x00, 128), Repeated(0xff, 128)),
       256, 0.125},
      {"128 distinct values", Ascending(128), 128, 0.875},
      {"empty window ignores the bytes after it", Ascending(256), 0, 0.0},
      {"counts of the lowest and the highest value",
       {0x00, 0x00, 0xff, 0xff, 0xff},
       5,
       ExpectedEntropy({0.4, 0.6})},
      {"only the first n bytes count", Concat(Repeated(7, 3), Ascending(200)),
       3, 0.0},
  };
  // The cases run one after another in one process, so counts left over from
  // an earlier call would show up in a later one.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    double entropy = WindowEntropy(c.bytes.data(), c.n);
    EXPECT_DOUBLE_EQ(c.expected, entropy);
    if (c.expected == 0.0) {
      EXPECT_EQ(0.0, entropy);
      EXPECT_FALSE(std::signbit(entropy)) << "negative zero";
    }
  }
}

uint64_t Bits(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// Stretches of random bytes, of a few values, of one value repeated, and of
// every value in turn, each from 1 to 700 bytes long, so that windows see
// every mix and cross from one kind into the next.
std::vector<uint8_t> MixedBytes(size_t size) {
  std::mt19937 random(3);
  std::vector<uint8_t> bytes;
  while (bytes.size() < size) {
    size_t length = 1 + random() % 700;
    uint32_t kind = random() % 4;
    uint8_t base = static_cast<uint8_t>(random());
    uint32_t few = 2 + random() % 14;
    for (size_t i = 0; i < length; ++i) {
      switch (kind) {
        case 0:
          bytes.push_back(static_cast<uint8_t>(random()));
          break;
        case 1:
          bytes.push_back(static_cast<uint8_t>(base + random() % few));
          break;
        case 2:
          bytes.push_back(base);
          break;
        case 3:
          bytes.push_back(static_cast<uint8_t>(base + i));
          break;
      }
    }
  }
  bytes.resize(size);
  return bytes;
}

TEST(WindowEntropyTest, EqualsTheDefinitionToTheLastBit) {
  std::vector<uint8_t> bytes = MixedBytes(300000);
  // Every length a window can have, at many places.
  for (size_t offset = 0; offset + 256 <= bytes.size(); offset += 97) {
    uint32_t n = static_cast<uint32_t>(offset % 257);
    ASSERT_EQ(Bits(DefinedEntropy(&bytes[offset], n)),
              Bits(WindowEntropy(&bytes[offset], n)))
        << n << " bytes at " << offset;
  }
}

TEST(SlidingWindowEntropiesTest, EqualsTheDefinitionToTheLastBit) {
  std::vector<uint8_t> bytes = MixedBytes(300000);
  // One long slide, whose counts would drift if a byte were missed, and
  // short ones of every length up to a few batches of windows.
  std::vector<size_t> counts = {(bytes.size() - 1000) / 128 - 1};
  for (size_t count = 0; count <= 20; ++count) counts.push_back(count);
  for (size_t count : counts) {
    const uint8_t* start = &bytes[count * 131 % 1000];
    std::vector<double> entropies(count + 1, -1.0);
    SlidingWindowEntropies(start, count, entropies.data());
    for (size_t i = 0; i < count; ++i) {
      ASSERT_EQ(Bits(DefinedEntropy(start + 128 * i, 256)), Bits(entropies[i]))
          << "window " << i << " of " << count;
    }
    EXPECT_EQ(entropies[count], -1.0) << "written past window " << count;
  }
}

}  // namespace
