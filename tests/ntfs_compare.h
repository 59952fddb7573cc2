// Holds the kit's own NTFS reader against The Sleuth Kit's library on one
// NTFS volume: every folder from the root down, walked through both.
#ifndef TESTS_NTFS_COMPARE_H_
#define TESTS_NTFS_COMPARE_H_

#include <cstdint>
#include <string>

// Walks every folder of the NTFS volume at byte `volume_offset` of the raw
// image at `image_path` through the kit's reader and through libtsk, and
// checks that the reader lists each folder's allocated entries (names, 8.3
// names, records, folder or not) as libtsk does, in the index's collation
// order (upper case by the volume's $UpCase, ties by the units), and reads
// every file's unnamed data stream to the same bytes. Returns true when
// they agree; otherwise false, with one line for each difference (the
// first hundred) in `*differences`.
bool CompareNtfsReaderWithLibtsk(const std::string& image_path,
                                 uint64_t volume_offset,
                                 std::string* differences);

#endif  // TESTS_NTFS_COMPARE_H_
