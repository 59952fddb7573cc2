// A volume inside an evidence image, read through The Sleuth Kit's library
// and shown the way Windows shows it: folders listed in the order Windows
// lists them, names matched without regard to case by the volume's own rule
// and by their 8.3 short names too, files read as their unnamed data stream.
// Portable C++ over libtsk and the standard library, so that any build that
// has libtsk can read an image through it.
//
// Everything in an image is the attacker's: every count, offset and name
// read from it is checked before it is used, and a failure inside the image
// is a Windows error code like any other.
#ifndef VOLUME_IMAGE_VOLUME_H_
#define VOLUME_IMAGE_VOLUME_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/text.h"
#include "volume/examined_volume.h"

// Which volume of an image to examine, and which folder in it.
struct ImageSelection {
  // The Windows folder inside the volume, any case, with or without its
  // leading backslash; empty for \Windows on the first volume that holds
  // \Windows\System32.
  WideString windows_folder;
  // Only the volume that begins at this byte of the image, when set.
  bool has_volume_offset = false;
  uint64_t volume_offset = 0;
};

struct ImageVolume;
struct ImageVolumeCloser {
  void operator()(ImageVolume* volume) const;
};
using ImageVolumePtr = std::unique_ptr<ImageVolume, ImageVolumeCloser>;

// True when this build reads images; false in a build without libtsk, whose
// every other function here fails with kErrorNotSupported.
bool CanReadImages();

// Opens the image at `path` (UTF-8; a split image by its first segment),
// in any format libtsk reads, and finds the volume and the Windows folder in
// it. On failure returns the error code and sets `*problem`.
uint32_t OpenImageVolume(const std::string& path,
                         const ImageSelection& selection,
                         ImageVolumePtr* volume, ImageVolumeInfo* info,
                         ImageProblem* problem);

// An image that the caller reads itself: `read` puts up to `length` bytes
// from `offset` into `buffer` and returns how many, or -1 when they cannot
// be read. `context` stays valid while the volume is open.
struct ImageReader {
  void* context = nullptr;
  int64_t (*read)(void* context, uint64_t offset, void* buffer,
                  size_t length) = nullptr;
  uint64_t size = 0;
};

// The same over an image read through `reader`, which the library takes
// for a raw image.
uint32_t OpenImageVolumeThrough(const ImageReader& reader,
                                const ImageSelection& selection,
                                ImageVolumePtr* volume, ImageVolumeInfo* info,
                                ImageProblem* problem);

// The entries of the folder that match the wildcard pattern of a search
// ("\Windows\inf\*.pnf"): files and folders whose long or 8.3 name matches,
// each name of a file once, in the order Windows lists them. A backslash
// within a name comes as the unit 0xDC5C, so that the name, joined to its
// folder, still names that entry. Fails with kErrorPathNotFound when the
// folder is missing and kErrorFileNotFound when nothing matches.
uint32_t ListImageFolder(ImageVolume* volume, const WideString& search_pattern,
                         std::vector<WideString>* names);

// True exactly when an entry of that name (long or 8.3) exists.
bool ImageEntryExists(ImageVolume* volume, const WideString& path);

// Opens a file of the volume for reading, as the file number `*file`. A
// folder, or anything else that is not a file, fails with
// kErrorAccessDenied.
uint32_t OpenImageFile(ImageVolume* volume, const WideString& path,
                       size_t* file);

// The file services of the platform layer for a file that OpenImageFile
// opened: a read at the file's position, a step back from it, its size.
uint32_t ReadImageFile(ImageVolume* volume, size_t file, void* buffer,
                       uint32_t size, uint32_t* bytes_read);
uint32_t StepBackImageFile(ImageVolume* volume, size_t file, uint32_t distance);
uint32_t ImageFileSize(ImageVolume* volume, size_t file, uint64_t* size);
void CloseImageFile(ImageVolume* volume, size_t file);

// Opens the shadow copies of the volume examined, if it is NTFS and keeps
// any: `*created` gets their creation times (FILETIME, 100 ns since 1601,
// UTC), oldest first; none for a volume without them. Fails with
// kErrorFileCorrupt when their catalog cannot be read.
uint32_t OpenImageShadowCopies(ImageVolume* volume,
                               std::vector<uint64_t>* created);

// Makes shadow copy `number` (1 the oldest) the source of every listing,
// lookup and read of the volume, or the volume itself again for 0. In a
// copy, a listing holds only the entries that are new or changed against
// the volume: of a long name that the volume's folder lacks, or whose bytes
// differ there. Fails with the copy's error, the volume itself then in use.
uint32_t UseImageShadowCopy(ImageVolume* volume, size_t number);

#endif  // VOLUME_IMAGE_VOLUME_H_
