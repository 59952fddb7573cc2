#include "noisegauge/pnf_entropy_scan.h"

#include "common/console.h"
#include "common/format.h"
#include "common/run_log.h"
#include "noisegauge/entropy.h"

namespace {

constexpr uint32_t kWindowSize = 256;
constexpr uint32_t kWindowStep = 128;

// The folder walked when the platform cannot name the Windows folder.
constexpr char16_t kFallbackWindowsFolder[] = u"c:\\WINDOWS";

}  // namespace

PnfEntropy MeasurePnfFile(const PlatformFile& file, const WideString& name) {
  PnfEntropy result;
  uint8_t window[kWindowSize];
  uint32_t bytes_read = 0;
  do {
    uint32_t error = ReadFromFile(file, window, kWindowSize, &bytes_read);
    if (error != kErrorSuccess) {
      LogAndEcho(
          u"ERROR: %s - Could not read the specified file. Error code: "
          u"0x%x\r\n",
          {name, error});
      break;
    }
    result.sum += WindowEntropy(window, bytes_read);
    ++result.windows;
    // Back by half a window, so that the next window overlaps this one. In a
    // file shorter than the step this fails, and the loop ends anyway.
    error = StepBack(file, kWindowStep);
    if (error != kErrorSuccess) {
      ConsolePrint(
          u"ERROR: %s - Could not set file pointer. Error code: 0x%x\r\n",
          {name, error});
    }
  } while (bytes_read == kWindowSize);
  return result;
}

void ScanPnfEntropy() {
  WideString windows_folder;
  uint32_t error = GetWindowsFolder(&windows_folder);
  if (error != kErrorSuccess) {
    LogAndEcho(
        u"ERROR: Could not retrieve windows directory. Error code: 0x%x\r\n",
        {error});
    windows_folder = kFallbackWindowsFolder;
  }

  FolderEntries entries;
  WideString name;
  error =
      entries.Start(FormatText(u"%ls\\inf\\*.pnf", {windows_folder}), &name);
  if (error != kErrorSuccess) {
    LogAndEcho(u"ERROR: Could not get directory entry. Error code: 0x%x\r\n",
               {error});
    return;
  }

  do {
    ConsolePrint(u"INFO: Checking file %s\n", {name});
    PlatformFile file;
    error = OpenForReading(FormatText(u"%ls\\inf\\%ls", {windows_folder, name}),
                           &file);
    if (error != kErrorSuccess) {
      LogAndEcho(
          u"ERROR: %s - Could not open PNF file for reading. Error code: "
          u"0x%x\r\n",
          {name, error});
      continue;
    }
    PnfEntropy entropy = MeasurePnfFile(file, name);
    // With no window measured there is no average, and nothing to report.
    if (entropy.windows > 0) {
      double average = entropy.sum / entropy.windows;
      if (average > kEntropyThreshold) {
        LogAndEcho(u"SUSPICIOUS: The entropy of %ls is above threshold: %f\r\n",
                   {name, average});
      }
    }
  } while (entries.Next(&name));
}
