// Images in a build without The Sleuth Kit's library: none can be read, and
// the walks say so instead of examining anything.
#include "common/image_volume.h"

struct ImageVolume {};

void ImageVolumeCloser::operator()(ImageVolume* volume) const { delete volume; }

bool CanReadImages() { return false; }

uint32_t OpenImageVolume(const std::string&, const ImageSelection&,
                         ImageVolumePtr*, ImageVolumeInfo*,
                         ImageProblem* problem) {
  *problem = ImageProblem::kNotSupported;
  return kErrorNotSupported;
}

uint32_t OpenImageVolumeThrough(const ImageReader&, const ImageSelection&,
                                ImageVolumePtr*, ImageVolumeInfo*,
                                ImageProblem* problem) {
  *problem = ImageProblem::kNotSupported;
  return kErrorNotSupported;
}

uint32_t ListImageFolder(ImageVolume*, const WideString&,
                         std::vector<WideString>*) {
  return kErrorNotSupported;
}

bool ImageEntryExists(ImageVolume*, const WideString&) { return false; }

uint32_t OpenImageFile(ImageVolume*, const WideString&, PlatformFile*) {
  return kErrorNotSupported;
}

bool IsImageFileHandle(PlatformFile::Handle) { return false; }

uint32_t ReadImageFile(ImageVolume*, PlatformFile::Handle, void*, uint32_t,
                       uint32_t* bytes_read) {
  *bytes_read = 0;
  return kErrorNotSupported;
}

uint32_t StepBackImageFile(ImageVolume*, PlatformFile::Handle, uint32_t) {
  return kErrorNotSupported;
}

uint32_t ImageFileSize(ImageVolume*, PlatformFile::Handle, uint64_t*) {
  return kErrorNotSupported;
}

void CloseImageFile(ImageVolume*, PlatformFile::Handle) {}
