// Volume shadow copies in the end-to-end tests' NTFS volumes. No Linux tool
// makes them, so the tests write them as Windows leaves them on disk: each
// older state of a volume, built with mkntfs and ntfs-3g, is kept by a copy
// whose store holds the 16 KiB blocks where that state differs from the next
// newer one. The catalog and the stores fill files of
// \System Volume Information that ntfs-3g allocates, written straight into
// their clusters on the raw volume so that no NTFS structure changes.
// libvshadow's tools are the judge of what is written.
#ifndef TESTS_E2E_SHADOW_COPIES_H_
#define TESTS_E2E_SHADOW_COPIES_H_

#include <string>

#include "tests/e2e/images.h"

// Builds the NTFS volume of `recipe` with a shadow copy of each state in its
// `shadows`; BuildVolume calls it for such a recipe.
BuiltImage MakeShadowedVolume(const VolumeRecipe& recipe);

// "" when libvshadow reads the shadow copies of every volume of `image` as
// they were written, otherwise what differs: vshadowinfo lists each copy in
// catalog order with its creation time, and each copy that vshadowmount shows
// equals its state, block for block, outside the stores' own space. An E01
// is read through ewfmount, other containers through their raw disk.
std::string CheckShadowCopies(const BuiltImage& image);

#endif  // TESTS_E2E_SHADOW_COPIES_H_
