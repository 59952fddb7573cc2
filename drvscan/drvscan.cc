// drvscan: searches the kernel driver files for the built-in Vorl signatures.
#include "common/entry.h"
#include "common/run_log.h"
#include "drvscan/driver_scan.h"

int WideMain(int argc, char16_t** argv) {
  if (!OpenRunLog(argc, argv)) return 1;
  WriteRunHeader(argc > 0 ? argv[0] : u"");
  ScanDriverFolder();
  CloseRunLog();
  return 0;
}
