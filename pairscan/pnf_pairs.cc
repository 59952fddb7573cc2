#include "pairscan/pnf_pairs.h"

#include <cstdint>

#include "common/console.h"
#include "common/format.h"
#include "common/platform.h"
#include "common/run_log.h"
#include "common/text.h"

WideString PnfStem(const WideString& windows_folder,
                   const WideString& entry_name) {
  // Only the name is searched for the dot: a dot in the folder part would
  // otherwise give every entry one and the same stem.
  return FormatText(
      u"%ls\\inf\\%ls",
      {windows_folder, entry_name.substr(0, entry_name.find(u'.'))});
}

void ScanPnfPairs() {
  // The folder the walk falls back to, as noisegauge does; GetWindowsFolder
  // leaves it unchanged when it fails.
  WideString windows_folder = u"c:\\WINDOWS";
  uint32_t error = GetWindowsFolder(&windows_folder);
  if (error != kErrorSuccess) {
    LogAndEcho(
        u"ERROR: Could not retrieve windows directory. Error code: 0x%x\r\n",
        {error});
  }

  FolderEntries entries;
  WideString name;
  error =
      entries.Start(FormatText(u"%ls\\inf\\*.pnf", {windows_folder}), &name);
  ReportFolderComparison(entries.comparison(),
                         FormatText(u"%ls\\inf", {windows_folder}));
  if (error != kErrorSuccess) {
    LogAndEcho(u"ERROR: Could not get directory list. Error code: 0x%x\r\n",
               {error});
    return;
  }
  do {
    if (entries.hidden()) {
      ReportHiddenEntry(NameForMessages(
          FormatText(u"%ls\\inf\\%ls", {windows_folder, name})));
    }
    WideString stem = PnfStem(windows_folder, name);
    const WideString shown = NameForMessages(stem);
    if (!EntryExists(stem + u".inf")) {
      EchoThenLog(u"SUSPICIOUS: There is no corresponding inf file for %ls\r\n",
                  {shown});
    }
    ConsolePrint(u"INFO: Checking file %ls\n", {shown});
  } while (entries.Next(&name));
}
