// noisegauge: reports the setup-information files whose bytes look like
// encrypted or packed data, by their average windowed entropy.
#include "common/entry.h"
#include "common/run_log.h"
#include "noisegauge/pnf_entropy_scan.h"

int WideMain(int argc, char16_t** argv) {
  if (!OpenRunLog(argc, argv)) return 1;
  WriteRunHeader(argc > 0 ? argv[0] : u"");
  ScanPnfEntropy();
  CloseRunLog();
  return 0;
}
