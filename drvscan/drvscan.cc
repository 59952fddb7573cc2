// drvscan: searches the kernel driver files for the built-in Vorl signatures.
#include "common/entry.h"
#include "common/run_log.h"
#include "common/usage.h"
#include "drvscan/driver_scan.h"

namespace {

const char kWhatItDoes[] =
    "Searches every *.sys file in the drivers folder of the Windows system\n"
    "folder (system32\\drivers) for the eleven byte signatures of the Vorl\n"
    "kernel-mode malware and reports each signature found in a file.\n";

}  // namespace

int WideMain(int argc, char16_t** argv) {
  if (AnswerAboutProgram(argc, argv, "drvscan", kWhatItDoes)) return 0;
  if (!OpenRunLog(argc, argv)) return 1;
  WriteRunHeader(argc > 0 ? argv[0] : u"");
  if (StartExamination()) {
    // The volume's own walk, then one for each of its shadow copies.
    do ScanDriverFolder();
    while (NextExamination());
  }
  CloseRunLog();
  return 0;
}
