// The pairing walk of pairscan: every precompiled setup-information file
// (*.pnf) in the inf folder below the Windows folder should have a setup
// information file (.inf) of the same stem beside it.
#ifndef PAIRSCAN_PNF_PAIRS_H_
#define PAIRSCAN_PNF_PAIRS_H_

#include "common/text.h"

// The stem of the entry `entry_name` of `windows_folder`\inf: the entry's full
// path cut at the first dot of the entry name (the folder part may hold dots
// of its own and is kept whole). "C:\WIN.NT" and "setup.api.pnf" give
// "C:\WIN.NT\inf\setup"; a name without a dot is kept whole.
WideString PnfStem(const WideString& windows_folder,
                   const WideString& entry_name);

// Walks the *.pnf entries of the inf folder below the Windows folder and
// reports, by echo then log, each one whose stem + ".inf" does not exist;
// announces every entry on the console after its check. A failure to start
// the walk is logged and echoed, and ends it.
void ScanPnfPairs();

#endif  // PAIRSCAN_PNF_PAIRS_H_
