// Images in a build without The Sleuth Kit's library: none can be read, and
// the walks say so instead of examining anything.
#include "volume/image_volume.h"

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

uint32_t OpenImageFile(ImageVolume*, const WideString&, size_t*) {
  return kErrorNotSupported;
}

uint32_t ReadImageFile(ImageVolume*, size_t, void*, uint32_t,
                       uint32_t* bytes_read) {
  *bytes_read = 0;
  return kErrorNotSupported;
}

uint32_t StepBackImageFile(ImageVolume*, size_t, uint32_t) {
  return kErrorNotSupported;
}

uint32_t ImageFileSize(ImageVolume*, size_t, uint64_t*) {
  return kErrorNotSupported;
}

void CloseImageFile(ImageVolume*, size_t) {}

uint32_t OpenImageShadowCopies(ImageVolume*, std::vector<uint64_t>* created) {
  created->clear();
  return kErrorSuccess;
}

uint32_t UseImageShadowCopy(ImageVolume*, size_t number) {
  return number == 0 ? kErrorSuccess : kErrorNotSupported;
}
