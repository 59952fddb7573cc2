// The entropy of one window of bytes, the measure noisegauge judges files by.
#ifndef NOISEGAUGE_ENTROPY_H_
#define NOISEGAUGE_ENTROPY_H_

#include <cstdint>

// The Shannon entropy of the `n` bytes at `bytes` in base 256: 0 when one
// value fills the window (or it is empty), 1 when all 256 values are equally
// frequent. At most log256(n). Never returns -0.0.
double WindowEntropy(const uint8_t* bytes, uint32_t n);

#endif  // NOISEGAUGE_ENTROPY_H_
