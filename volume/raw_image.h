// Raw evidence images on POSIX systems, read by the kit itself rather than
// by the image library, so that examining one leaves every file of it
// exactly as it was, its access time included.
#ifndef VOLUME_RAW_IMAGE_H_
#define VOLUME_RAW_IMAGE_H_

#include <string>

#include "volume/image_volume.h"

// True when the image at `path` is held in a container format (E01 and the
// other EWF formats, VHD, VMDK, AFF), which only the library reads. False
// for a raw image, a block device and anything else.
bool IsContainerImage(const std::string& path);

// True when the file at `path` begins as a QCOW image does, whatever its
// version (volume/qcow_image.h reads those).
bool IsQcowImage(const std::string& path);

// Opens a file of an image for reading without touching its access time,
// which only the file's owner (or root) may ask for; others open it as
// usual. The descriptor, or -1 with errno set.
int OpenForImageReading(const std::string& path);

// Reads exactly `length` bytes from `offset` of the open file `fd`; false
// when they cannot all be read.
bool ReadImageFileAt(int fd, uint64_t offset, void* buffer, size_t length);

// Opens a raw image for reading through `*reader`: one file or block device,
// or the segments of a split image named by its first (name.001, then
// name.002 and on while they exist). The files stay open for the rest of
// the run. Fails with the Windows code of the first file that cannot be
// opened.
uint32_t OpenRawImage(const std::string& path, ImageReader* reader);

#endif  // VOLUME_RAW_IMAGE_H_
