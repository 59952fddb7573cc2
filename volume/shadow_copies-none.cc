// Shadow copies in a build without Debian's libvshadow: none are read, and
// the volume alone is examined.
#include "volume/shadow_copies.h"

struct ShadowCopies {};

void ShadowCopiesCloser::operator()(ShadowCopies* copies) const {
  delete copies;
}

bool CanReadShadowCopies() { return false; }

uint32_t OpenShadowCopies(const VolumeReader&, ShadowCopiesPtr* copies) {
  copies->reset(new ShadowCopies);
  return kErrorSuccess;
}

size_t ShadowCopyCount(const ShadowCopies*) { return 0; }

uint64_t ShadowCopyCreated(const ShadowCopies*, size_t) { return 0; }

uint32_t OpenShadowCopy(ShadowCopies*, size_t, VolumeReader*,
                        std::vector<uint64_t>*) {
  return kErrorNotSupported;
}
