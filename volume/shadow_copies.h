// The shadow copies that Windows keeps of an NTFS volume (the Volume Shadow
// Copy Service): each is the volume as it was when the copy was made, kept
// by copy-on-write in stores inside the volume itself. They are read
// through Debian's libvshadow over the volume's own bytes; the kit parses
// nothing of their format itself. A driver that an attacker deleted from
// the volume often lives on in them.
//
// The stores are the attacker's as much as the volume: how many there are,
// how large each says its volume is and how many blocks each holds are
// bounded before they are used.
#ifndef VOLUME_SHADOW_COPIES_H_
#define VOLUME_SHADOW_COPIES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/error_codes.h"
#include "volume/ntfs_volume.h"

// The copy-on-write block of the stores: a saved block replaces this many
// bytes of the volume.
constexpr uint64_t kShadowBlockBytes = 16 * 1024;

struct ShadowCopies;
struct ShadowCopiesCloser {
  void operator()(ShadowCopies* copies) const;
};
using ShadowCopiesPtr = std::unique_ptr<ShadowCopies, ShadowCopiesCloser>;

// True when this build reads shadow copies; false in a build without
// libvshadow, which reads none.
bool CanReadShadowCopies();

// Opens the shadow copies of the volume that `volume` reads, which must
// stay readable while they are open. A volume without any succeeds with
// none. Fails with kErrorFileCorrupt when the volume says it keeps shadow
// copies but their catalog cannot be read or lists too many.
uint32_t OpenShadowCopies(const VolumeReader& volume, ShadowCopiesPtr* copies);

// How many copies there are. They are numbered from 1, the oldest, to the
// count, the newest, by their creation times.
size_t ShadowCopyCount(const ShadowCopies* copies);

// When copy `number` was made, as a Windows FILETIME: 100-nanosecond
// intervals since 1601-01-01, UTC.
uint64_t ShadowCopyCreated(const ShadowCopies* copies, size_t number);

// Opens copy `number` as a volume that `*reader` reads, valid while
// `copies` is open. `*from_stores` gets the volume offsets, in ascending
// order, of the blocks of kShadowBlockBytes that a read of the copy may
// take from a store rather than from the volume itself; every other byte of
// the copy is the volume's own (but for blocks that were free when the
// newest copy was made, which it reads as zeros and in which no file of a
// copy lies). Fails with kErrorFileCorrupt when the copy's store, or a
// store after it, cannot be read or is out of bounds.
uint32_t OpenShadowCopy(ShadowCopies* copies, size_t number,
                        VolumeReader* reader,
                        std::vector<uint64_t>* from_stores);

#endif  // VOLUME_SHADOW_COPIES_H_
