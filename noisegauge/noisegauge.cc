// noisegauge: reports the setup-information files whose bytes look like
// encrypted or packed data, by their average windowed entropy.
#include "common/entry.h"
#include "common/run_log.h"
#include "common/usage.h"
#include "noisegauge/pnf_entropy_scan.h"

namespace {

const char kWhatItDoes[] =
    "Measures the average windowed byte entropy of every *.pnf file in the\n"
    "inf folder of the Windows folder and reports each file above 0.6: data\n"
    "that looks encrypted or packed among the setup-information files.\n";

}  // namespace

int WideMain(int argc, char16_t** argv) {
  if (AnswerAboutProgram(argc, argv, "noisegauge", kWhatItDoes)) return 0;
  if (!OpenRunLog(argc, argv)) return 1;
  WriteRunHeader(argc > 0 ? argv[0] : u"");
  if (StartExamination()) {
    // The volume's own walk, then one for each of its shadow copies.
    do ScanPnfEntropy();
    while (NextExamination());
  }
  CloseRunLog();
  return 0;
}
