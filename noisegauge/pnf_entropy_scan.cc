#include "noisegauge/pnf_entropy_scan.h"

#include <cstring>

#include "common/console.h"
#include "common/format.h"
#include "common/run_log.h"
#include "common/text.h"
#include "noisegauge/entropy.h"

namespace {

constexpr uint32_t kWindowSize = 256;
constexpr uint32_t kWindowStep = 128;

// The file is read in blocks of this size, and the windows are taken from
// the block: one system call per block instead of a read and a step back
// for every window.
constexpr uint32_t kBlockSize = 65536;
constexpr size_t kMostWindowsInBlock =
    (kBlockSize - kWindowSize) / kWindowStep + 1;

// The folder walked when the platform cannot name the Windows folder.
constexpr char16_t kFallbackWindowsFolder[] = u"c:\\WINDOWS";

}  // namespace

PnfEntropy MeasurePnfFile(const PlatformFile& file, const WideString& name) {
  // The windows are those of reading 256 bytes and stepping back 128 while a
  // read fills the window: full windows every 128 bytes, then one shorter
  // window at the end. A step back after a full window always succeeds, so
  // only the one after the last window is asked of the platform, from the
  // end of the file, where the last read would have left the position.
  //
  // A read fails where the file cannot be read, as on a bad sector; then the
  // windows before that place still count. So when a block cannot be read,
  // each read asks only for the bytes the next window lacks, the very bytes
  // the window's own read would have been the first to ask for, and the
  // read that fails is that of the first window that reaches the place.
  PnfEntropy result;
  static uint8_t block[kBlockSize];
  uint32_t start = 0;  // where the next window begins in the block
  uint32_t end = 0;    // how much of the block holds the file's bytes
  bool file_ended = false;
  bool window_by_window = false;
  for (;;) {
    uint32_t held = end - start;
    if (held < kWindowSize && !file_ended) {
      // Keeps the bytes from the next window on, and reads what follows.
      memmove(block, block + start, held);
      start = 0;
      end = held;
      uint32_t wanted =
          window_by_window ? kWindowSize - held : kBlockSize - end;
      uint32_t bytes_read = 0;
      uint32_t error = ReadFromFile(file, block + end, wanted, &bytes_read);
      if (error != kErrorSuccess && !window_by_window) {
        // A failed read leaves the position where it was.
        window_by_window = true;
        continue;
      }
      if (error != kErrorSuccess) {
        LogAndEcho(
            u"ERROR: %s - Could not read the specified file. Error code: "
            u"0x%x\r\n",
            {name, error});
        return result;
      }
      end += bytes_read;
      file_ended = bytes_read < wanted;
      continue;
    }

    if (held < kWindowSize) {
      result.sum += WindowEntropy(block + start, held);
      ++result.windows;
      // In a file shorter than the step this fails, and the console says so.
      uint32_t error = StepBack(file, kWindowStep);
      if (error != kErrorSuccess) {
        ConsolePrint(
            u"ERROR: %s - Could not set file pointer. Error code: 0x%x\r\n",
            {name, error});
      }
      return result;
    }

    size_t windows = (held - kWindowSize) / kWindowStep + 1;
    double entropies[kMostWindowsInBlock];
    SlidingWindowEntropies(block + start, windows, entropies);
    // Added one by one in file order, so that the sum is the same to the
    // last bit as when each window was read on its own.
    for (size_t i = 0; i < windows; ++i) {
      result.sum += entropies[i];
      ++result.windows;
    }
    start += static_cast<uint32_t>(windows) * kWindowStep;
  }
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
  ReportFolderComparison(entries.comparison(),
                         FormatText(u"%ls\\inf", {windows_folder}));
  if (error != kErrorSuccess) {
    LogAndEcho(u"ERROR: Could not get directory entry. Error code: 0x%x\r\n",
               {error});
    return;
  }

  do {
    const WideString shown = NameForMessages(name);
    if (entries.hidden()) ReportHiddenEntry(shown);
    ConsolePrint(u"INFO: Checking file %s\n", {shown});
    PlatformFile file;
    error = OpenForReading(FormatText(u"%ls\\inf\\%ls", {windows_folder, name}),
                           &file);
    if (error != kErrorSuccess) {
      LogAndEcho(
          u"ERROR: %s - Could not open PNF file for reading. Error code: "
          u"0x%x\r\n",
          {shown, error});
      continue;
    }
    PnfEntropy entropy = MeasurePnfFile(file, shown);
    // With no window measured there is no average, and nothing to report.
    if (entropy.windows > 0) {
      double average = entropy.sum / static_cast<double>(entropy.windows);
      if (average > kEntropyThreshold) {
        LogAndEcho(u"SUSPICIOUS: The entropy of %ls is above threshold: %f\r\n",
                   {shown, average});
      }
    }
  } while (entries.Next(&name));
}
