// pairscan: reports every *.pnf file in the inf folder below the Windows
// folder that has no .inf file of the same stem, in the shared run log.
#include "common/entry.h"
#include "common/run_log.h"
#include "pairscan/pnf_pairs.h"

int WideMain(int argc, char16_t** argv) {
  if (!OpenRunLog(argc, argv)) return 1;
  WriteRunHeader(argc > 0 ? argv[0] : u"");
  ScanPnfPairs();
  CloseRunLog();
  return 0;
}
