// pairscan: reports every *.pnf file in the inf folder below the Windows
// folder that has no .inf file of the same stem, in the shared run log.
#include "common/entry.h"
#include "common/run_log.h"
#include "common/usage.h"
#include "pairscan/pnf_pairs.h"

namespace {

const char kWhatItDoes[] =
    "Reports every *.pnf file in the inf folder of the Windows folder that\n"
    "has no .inf file of the same stem beside it.\n";

}  // namespace

int WideMain(int argc, char16_t** argv) {
  if (AnswerAboutProgram(argc, argv, "pairscan", kWhatItDoes)) return 0;
  if (!OpenRunLog(argc, argv)) return 1;
  WriteRunHeader(argc > 0 ? argv[0] : u"");
  if (StartExamination()) {
    // The volume's own walk, then one for each of its shadow copies.
    do ScanPnfPairs();
    while (NextExamination());
  }
  CloseRunLog();
  return 0;
}
