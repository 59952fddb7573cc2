// The Windows programs' raw view of a folder: the folder listed again from
// the NTFS structures of the volume that holds it, read raw through
// "\\.\C:", and compared with what the system lists, so that a file that a
// kernel-mode implant hides from the listing is still found and examined.
// The platform layer calls it; the walks see only hidden entries.
#ifndef VOLUME_RAW_VIEW_H_
#define VOLUME_RAW_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error_codes.h"
#include "common/text.h"
#include "volume/cross_view.h"
#include "volume/examined_volume.h"

// VORLKIT_RAW's choice: 0 turns the comparison off, 1 requires it, and
// otherwise it runs where it can.
enum class RawMode { kOff, kWhereItCan, kRequired };

// One folder to compare, with what the platform layer knows of it and of
// the process.
struct RawViewRequest {
  WideString folder;   // as the walk names it ("C:\Windows\inf")
  WideString pattern;  // the walk's wildcard pattern ("*.pnf")
  // The absolute form of a folder, by GetFullPathNameW.
  uint32_t (*full_path)(const WideString& folder, WideString* full) = nullptr;
  RawMode mode = RawMode::kWhereItCan;
  // A 32-bit process on 64-bit Windows, which is shown SysWOW64 where it
  // asks for the system folder.
  bool under_wow64 = false;
};

// The walk over the request's folder: what `list` gives (the system's
// listing, asked for again when an entry seems hidden; `*list_error` is its
// result) merged with the volume's entries, each hidden entry checked again
// after a moment, `exists` probing the system by name. Fills `*comparison`;
// when the comparison does not run, the walk is the system's listing alone.
std::vector<WalkEntry> CompareWithVolume(
    const RawViewRequest& request,
    uint32_t (*list)(const WideString& search_pattern,
                     std::vector<ListedEntry>* listed),
    bool (*exists)(const WideString& path), FolderComparison* comparison,
    uint32_t* list_error);

// For a path that the walk of a compared folder yielded: true when the
// entry is hidden from the listing (the volume holds it, the system does
// not), and whether the volume holds an entry of that name at all.
bool IsHiddenOnVolume(const WideString& path);
bool ExistsOnVolume(const WideString& path);

// Opens the file of a compared folder from the raw volume as the file
// number `*file`; see OpenOnVolume in the platform layer. `for_comparison`
// refuses files whose bytes the system rightly takes from elsewhere than
// the volume's data stream. Otherwise a file that WOF keeps compressed
// (CompactOS) opens, and its reads fail with kErrorNotSupported.
uint32_t OpenFromVolume(const WideString& path, bool for_comparison,
                        size_t* file);

// The file services for a file that OpenFromVolume opened.
uint32_t ReadVolumeFile(size_t file, void* buffer, uint32_t size,
                        uint32_t* bytes_read);
uint32_t StepBackVolumeFile(size_t file, uint32_t distance);
uint32_t VolumeFileSize(size_t file, uint64_t* size);
void CloseVolumeFile(size_t file);

// Waits for the system's cache to reach the disk, and reads the volumes
// afresh from then on.
void RefreshRawVolumes();

#endif  // VOLUME_RAW_VIEW_H_
