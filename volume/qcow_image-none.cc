// QCOW images in a build without libqcow: none can be read, and the walks
// say so instead of taking the image for a raw one.
#include "volume/qcow_image.h"

uint32_t OpenQcowImage(const std::string&, ImageReader*,
                       ImageProblem* problem) {
  *problem = ImageProblem::kCannotOpen;
  return kErrorNotSupported;
}
