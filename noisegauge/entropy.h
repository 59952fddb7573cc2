// The entropy of one window of bytes, the measure noisegauge judges files by.
#ifndef NOISEGAUGE_ENTROPY_H_
#define NOISEGAUGE_ENTROPY_H_

#include <cstddef>
#include <cstdint>

// The Shannon entropy of the `n` bytes at `bytes` in base 256: 0 when one
// value fills the window (or it is empty), 1 when all 256 values are equally
// frequent. At most log256(n). Never returns -0.0.
double WindowEntropy(const uint8_t* bytes, uint32_t n);

// The entropies of `count` windows of 256 bytes that start every 128 bytes
// from `bytes`, which holds 128 * (count + 1) bytes: entropies[i] is
// WindowEntropy(bytes + 128 * i, 256), to the last bit. Each 128 bytes are
// counted once, for the two windows that hold them.
void SlidingWindowEntropies(const uint8_t* bytes, size_t count,
                            double* entropies);

#endif  // NOISEGAUGE_ENTROPY_H_
