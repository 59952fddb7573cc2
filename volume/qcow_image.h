// QCOW evidence images: the disks of QEMU and KVM (Proxmox, OpenStack and
// other clouds), versions 1 to 3, compressed or not, alone or on a chain of
// backing files. The kit opens every file of the chain itself, without
// touching its access time where the system lets it, and reads the data
// that each image holds through Debian's libqcow. Which image of the chain
// holds a cluster it reads from the images' own tables
// (volume/qcow_format.h), as QEMU does: libqcow takes a cluster that an
// image marks as zeros for the backing file's, or for the bytes it once
// held, and stops reading where a backing file is smaller than the image.
#ifndef VOLUME_QCOW_IMAGE_H_
#define VOLUME_QCOW_IMAGE_H_

#include <string>

#include "volume/examined_volume.h"
#include "volume/image_volume.h"

// Opens the QCOW image at `path` and the backing files it names, each
// found as QEMU finds it, for reading through `*reader` as one disk. They
// stay open for the rest of the run. On failure returns the error code and
// sets `*problem`: kCannotOpen for the image itself (kErrorNotSupported in
// a build without libqcow and for a version or feature it does not read,
// kErrorModuleNotFound when libqcow is not installed, kErrorFileEncrypted
// for an encrypted image, kErrorFileCorrupt for a damaged one),
// kBadBackingFile for a backing file that is missing, damaged, in a format
// other than QCOW or raw, or one already in the chain or too deep in it
// (kErrorCantResolveFilename; 64 backing files at most).
uint32_t OpenQcowImage(const std::string& path, ImageReader* reader,
                       ImageProblem* problem);

#endif  // VOLUME_QCOW_IMAGE_H_
