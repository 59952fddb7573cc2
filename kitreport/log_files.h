// The files kitreport reads and the streams it writes. Unlike the tools'
// platform layer, which walks a Windows folder with Windows rules (backslash
// separators, ASCII case ignored, only regular files opened), these take the
// operator's paths exactly as given, read a pipe or standard input as well
// as a file, and tell the files of a folder from its subfolders. Failures
// are Windows error codes on every platform, as in the tools' messages.
// Output goes through WriteToStandardStream (common/platform.h).
#ifndef KITREPORT_LOG_FILES_H_
#define KITREPORT_LOG_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/text.h"

// True when `path` names a folder (or a link to one).
bool IsFolder(const WideString& path);

// The regular files directly in `folder` (links followed), as paths joined
// to it, in the order of their names' code units.
uint32_t ListFolderFiles(const WideString& folder,
                         std::vector<WideString>* paths);

// All bytes of the file at `path`, or of standard input for "-".
uint32_t ReadWholeFile(const WideString& path, std::string* bytes);

#endif  // KITREPORT_LOG_FILES_H_
