// The cross-view of a folder: what the system lists compared with what the
// volume's own structures hold, read raw. A kernel-mode implant can filter
// the system's listing of its files, never the bytes on the disk; an entry
// that the volume holds and the system does not list is hidden from the
// walks, and they examine it from the volume.
#ifndef VOLUME_CROSS_VIEW_H_
#define VOLUME_CROSS_VIEW_H_

#include <cstdint>
#include <vector>

#include "common/text.h"

// An entry as the system's folder search lists it: its name and, where the
// file system keeps one, its 8.3 name.
struct ListedEntry {
  WideString name;
  WideString short_name;
};

// An entry of the folder as the volume's index holds it.
struct VolumeEntry {
  WideString name;
  WideString short_name;  // empty when it has none
  uint64_t record = 0;    // where the volume keeps the file
  bool is_folder = false;
};

// One entry of the walk over a compared folder.
struct WalkEntry {
  WideString name;
  bool hidden = false;  // the volume holds it, the system's listing does not
  uint64_t record = 0;  // of a hidden entry, or of a listed one the volume
                        // holds; 0 when the volume holds no such entry
  bool on_volume = false;
};

// The walk over a folder: every listed entry in the system's order, and
// each entry of `on_volume` (the volume's entries that match the walk's
// pattern, in the index's order) that the system does not list, marked
// hidden and placed where the index has it among the listed ones. The
// system lists an entry when one of its names is, unit for unit, the
// entry's name or its 8.3 name.
std::vector<WalkEntry> MergeListings(const std::vector<ListedEntry>& listed,
                                     const std::vector<VolumeEntry>& on_volume);

#endif  // VOLUME_CROSS_VIEW_H_
