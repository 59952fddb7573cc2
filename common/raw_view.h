// The Windows programs' raw view of a folder: the folder listed again from
// the NTFS structures of the volume that holds it, read raw through
// "\\.\C:", and compared with what the system lists, so that a file that a
// kernel-mode implant hides from the listing is still found and examined.
// The platform layer calls it; the walks see only hidden entries.
#ifndef COMMON_RAW_VIEW_H_
#define COMMON_RAW_VIEW_H_

#include <vector>

#include "common/cross_view.h"
#include "common/platform.h"

// The walk over `folder` ("C:\Windows\inf", as the walk names it) whose
// search pattern is `pattern` ("*.pnf"): what `list` gives (the system's
// listing, asked for again when an entry seems hidden; `*list_error` is its
// result) merged with the volume's entries, each hidden entry checked again
// after a moment, `exists` probing the system by name. Fills `*comparison`;
// when the comparison does not run, the walk is the system's listing alone.
std::vector<WalkEntry> CompareWithVolume(
    const WideString& folder, const WideString& pattern,
    uint32_t (*list)(const WideString& search_pattern,
                     std::vector<ListedEntry>* listed),
    bool (*exists)(const WideString& path), FolderComparison* comparison,
    uint32_t* list_error);

// For a path that the walk of a compared folder yielded: true when the
// entry is hidden from the listing (the volume holds it, the system does
// not), and whether the volume holds an entry of that name at all.
bool IsHiddenOnVolume(const WideString& path);
bool ExistsOnVolume(const WideString& path);

// Opens the file of a compared folder from the raw volume; see OpenOnVolume.
// `for_comparison` refuses files whose bytes the system rightly takes from
// elsewhere than the volume's data stream.
uint32_t OpenFromVolume(const WideString& path, bool for_comparison,
                        PlatformFile* file);

// The file services for a file that OpenFromVolume opened.
bool IsVolumeFileHandle(PlatformFile::Handle handle);
uint32_t ReadVolumeFile(PlatformFile::Handle handle, void* buffer,
                        uint32_t size, uint32_t* bytes_read);
uint32_t StepBackVolumeFile(PlatformFile::Handle handle, uint32_t distance);
uint32_t VolumeFileSize(PlatformFile::Handle handle, uint64_t* size);
void CloseVolumeFile(PlatformFile::Handle handle);

// The absolute form of `folder`, by GetFullPathNameW, which also settles a
// relative or drive-relative folder, "." and ".."; from the platform half.
uint32_t FullFolderPath(const std::u16string& folder, std::u16string* full);

// Waits for the system's cache to reach the disk, and reads the volumes
// afresh from then on.
void RefreshRawVolumes();

#endif  // COMMON_RAW_VIEW_H_
