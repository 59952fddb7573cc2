// What the walks are told of a volume that they examine other than through
// the system's own listing: the volume inside an evidence image, and a
// folder's comparison with the raw volume under it. The volume code fills
// these in; the platform layer hands them to the walks.
#ifndef VOLUME_EXAMINED_VOLUME_H_
#define VOLUME_EXAMINED_VOLUME_H_

#include <cstddef>
#include <cstdint>

#include "common/error_codes.h"
#include "common/text.h"

// Why the walks cannot examine an evidence image.
enum class ImageProblem {
  kNone,
  kCannotOpen,      // missing, or not to be read
  kBadBackingFile,  // a QCOW image's backing file: missing, or not read
  kIsFolder,
  kNoReadableVolume,  // no file system that can be read
  kNoWindowsFolder,   // file systems, but none with the Windows folder
  kEncrypted,         // a BitLocker volume
  kBadVolumeOffset,   // VORLKIT_VOLUME names no byte offset
  kNotSupported,      // this build reads no images
};

// The volume of an evidence image that the walks examine.
struct ImageVolumeInfo {
  // Rooted and spelled as the volume spells them: "\Windows" and
  // "\Windows\System32".
  WideString windows_folder;
  WideString system_folder;
  WideString file_system;  // "NTFS", "FAT32", ...
  uint64_t offset = 0;     // where the volume begins in the image, in bytes
};

// One step through the shadow copies of an evidence image's volume, after
// the walk of the volume itself: a copy to examine, or one that cannot be.
struct ShadowCopyStep {
  size_t number = 0;     // 1 the oldest to `count` the newest; 0 the catalog
  size_t count = 0;      // of the volume's copies; 0 when the catalog failed
  uint64_t created = 0;  // FILETIME: 100 ns since 1601, UTC
  uint32_t error = kErrorSuccess;  // why the copy cannot be examined
  // Whether the copy holds anything for the walk that the volume does not:
  // a new or changed file where the walk looks, or no such folder at all.
  bool has_news = false;
};

// Whether a folder's listing was compared with the volume's own structures,
// read raw: the Windows programs do so on an NTFS volume that they can open
// raw (from an administrator's console), unless VORLKIT_RAW is 0; with
// VORLKIT_RAW=1 a comparison that cannot run is a failure with its code.
struct FolderComparison {
  enum class State { kNotRun, kRan, kFailed };
  State state = State::kNotRun;
  WideString volume;               // the raw volume, "\\.\C:"
  uint32_t error = kErrorSuccess;  // why it failed
};

#endif  // VOLUME_EXAMINED_VOLUME_H_
