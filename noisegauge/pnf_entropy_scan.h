// The walk of noisegauge: the average windowed entropy of every precompiled
// setup-information file (*.pnf) in the inf folder below the Windows folder,
// and a report for each file whose average lies above the threshold.
#ifndef NOISEGAUGE_PNF_ENTROPY_SCAN_H_
#define NOISEGAUGE_PNF_ENTROPY_SCAN_H_

#include <cstdint>

#include "common/platform.h"
#include "common/text.h"

// Averages above this (strictly) are reported.
constexpr double kEntropyThreshold = 0.6;

// The windows measured in one file and the sum of their entropies.
struct PnfEntropy {
  double sum = 0.0;
  int64_t windows = 0;  // a sparse file of 256 GiB holds 2^31
};

// Measures the open `file` from its current position: reads a 256-byte
// window, steps back 128 bytes, and goes on while a read fills the window, so
// the last window holds fewer than 256 bytes (between 0 and 255 for a file
// below 256 bytes, otherwise between 128 and 255). A failed step back is
// reported on the console and the measurement goes on; a failed read is
// logged and ends it. `name` names the file in these messages.
PnfEntropy MeasurePnfFile(const PlatformFile& file, const WideString& name);

// Walks "<Windows folder>\inf\*.pnf", measures each file and reports those
// whose average window entropy is above kEntropyThreshold. Needs an open run
// log.
void ScanPnfEntropy();

#endif  // NOISEGAUGE_PNF_ENTROPY_SCAN_H_
